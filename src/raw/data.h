// _FUNCnnn.DAT: decoders of one scan's bytes in the four data encodings,
// with the m/z calibration they all apply.
#pragma once

#include <vector>

#include "bytes.h"
#include "error.h"
#include "raw/header.h"

namespace kestrune::raw::data {

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

}  // namespace kestrune::raw::data

namespace kestrune::raw {
using data::DecodeParams;
}
