// _FUNCnnn.DAT: decoders of one scan's bytes in the four data encodings,
// with the m/z calibration they all apply.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bytes.h"
#include "error.h"
#include "kestrune/types.h"
#include "raw/header.h"
#include "raw/index.h"

namespace kestrune::raw::data {

// The data encoding of a function's scans (public: kestrune/types.h), and
// its letter.
using kestrune::Encoding;
using kestrune::encoding_name;

// Bytes per data record that a 22-byte index counts: 6 for A, 8 otherwise.
inline std::uint64_t record_width(Encoding e) noexcept { return e == Encoding::A ? 6 : 8; }

// Whether the instrument text names a SYNAPT (ion-mobility) instrument:
// at least six bytes starting with "SYNAPT", ASCII case ignored.
bool is_synapt(std::string_view instrument);

// The encoding of a function and the note that explains the choice (built
// only when asked for).
struct EncodingChoice {
    Encoding encoding = Encoding::A;
    std::string note;
};

// A 30-byte index holds B on a SYNAPT instrument, else C; a 22-byte index
// holds D with 8-byte records, else A.
EncodingChoice choose_encoding(const ScanIndex& idx, std::string_view instrument, bool want_note);

// The record width (6 or 8) that neighbouring records' offsets and counts
// establish, or nothing.
std::optional<std::uint32_t> variant_a_record_width(const std::vector<ScanIndexA>& records);

// Data-file bytes a 22-byte index addresses; nothing for a 30-byte index or
// an empty one.
std::optional<std::uint64_t> index_end(const ScanIndex& idx, Encoding encoding);

// The bytes of one scan in its data file.
struct ScanBytes {
    std::uint64_t start = 0;
    std::uint64_t length = 0;
};

// The byte range of scan `scan` (< idx.size()): a 30-byte record runs to the
// next record's offset (the file's end for the last), a 22-byte record holds
// its peak count of records; clipped to the file's `dat_size`.
ScanBytes scan_bytes(const ScanIndex& idx, std::size_t scan, Encoding encoding, std::uint64_t dat_size);

struct DecodeParams {
    FunctionCal cal;
    double tof_constant = 0;  // flight time (us) of an ion of m/z 1
    double mz_low = 0;
    double mz_high = 0;
    double scan_time_ms = 0;
};

struct Spectrum {
    std::vector<double> mz;
    std::vector<float> intensity;
};

struct ImsSpectrum {
    std::vector<double> mz;
    std::vector<double> drift_time_ms;
    std::vector<float> intensity;
};

// The calibration root r(u): u for T0; for T1 the coefficient polynomial by
// Horner's rule from an accumulator of 0, last coefficient first.
double calibrate(const FunctionCal& cal, double u) noexcept;

// 6-byte records: intensity count, exponent nibble, 24-bit mantissa.
Result<Spectrum> decode_encoding_a(Bytes bytes, const DecodeParams& params);
// 8-byte IMS records: intensity, drift word, integer position.
Result<ImsSpectrum> decode_encoding_b(Bytes bytes, const DecodeParams& params);
// 8-byte records: intensity, fractional and integer flight-time position.
Result<Spectrum> decode_encoding_c(Bytes bytes, const DecodeParams& params);
// 8-byte records: 16.16 fixed-point intensity, exponent/mantissa position word.
Result<Spectrum> decode_encoding_d(Bytes bytes, const DecodeParams& params);

// Arrays a scan is decoded into; they keep their storage between scans.
struct ScanArrays {
    std::vector<double>& mz;
    std::vector<float>& intensity;
    std::vector<double>& drift_time_ms;
};

// Decodes one scan of `encoding` into `out`, which ends with one entry per
// peak (drift times for Encoding B only, else none): the decoders above
// without fresh arrays. Returns the number of peaks.
Result<std::size_t> decode_into(Encoding encoding, Bytes bytes, const DecodeParams& params, ScanArrays out);

namespace detail {
// Whether the decoders may take four records at a time with AVX2 (on by
// default where the processor has it). Both ways give the same bits; tests
// and benchmarks switch it off to run the one-record loop.
void set_vector_kernels(bool enabled) noexcept;
// Whether the four-record kernels are in use now.
bool vector_kernels() noexcept;
}  // namespace detail

}  // namespace kestrune::raw::data

namespace kestrune::raw {
using data::DecodeParams;
using data::Encoding;
}
