// Writes synthetic run directories (every file kind, well-formed or not) for
// the reader's tests and benchmarks.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "raw/functions_inf.h"
#include "raw/index.h"

namespace kestrune::testing {

using ByteVec = std::vector<std::uint8_t>;

// One 416-byte _FUNCTNS.INF record (the index field is not stored).
ByteVec function_record(const raw::functions_inf::FunctionInfo& info);
ByteVec index_a_image(const std::vector<raw::ScanIndexA>& records);
ByteVec index_b_image(const std::vector<raw::ScanIndexB>& records);

// Data records of the four encodings.
ByteVec record_a(std::uint16_t intensity, std::uint8_t exponent, std::uint32_t mantissa24);
ByteVec record_b(std::uint16_t intensity, std::uint16_t drift, std::uint16_t position);
ByteVec record_c(std::uint16_t intensity, std::uint16_t fraction, std::uint16_t position);
ByteVec record_d(std::uint32_t intensity, std::uint32_t position_word);

struct StsChannel {
    std::string name;  // at most 42 bytes
    std::uint16_t value_type = 3;
    std::uint16_t offset = 0;
    std::uint16_t tag = 0;
};
// A statistics file: preamble, descriptors, then the scan records as given.
ByteVec sts_image(const std::vector<StsChannel>& channels, std::uint16_t record_size,
                  const std::vector<ByteVec>& records);
// One statistics record of `size` bytes holding float `value` at `offset`.
ByteVec sts_float_record(std::uint16_t size, std::uint16_t offset, float value);

// "$$ Key: value" header text with the given calibration lines
// ("Cal Function n: value").
std::string header_text(std::optional<std::string> instrument,
                        const std::vector<std::pair<std::uint32_t, std::string>>& cal_lines);
std::string extern_text(double lteff, double veff, std::optional<double> pusher_interval = 64.0,
                        std::string_view polarity = "ES+");

enum class IndexLayout { A22, B30 };

struct RunFunction {
    raw::functions_inf::FunctionInfo info;
    IndexLayout layout = IndexLayout::A22;
    // Data bytes of each scan, written back to back into _FUNCnnn.DAT.
    std::vector<ByteVec> scans;
    // Variant A: the record width used for peak counts (6 or 8).
    std::uint32_t record_width = 6;
    std::vector<float> rt_min;  // per scan; missing values become 0.01 * scan
    std::optional<ByteVec> sts;
    bool write_idx = true;
    bool write_dat = true;
};

struct RunSpec {
    std::string header;
    std::string extern_inf;
    std::vector<RunFunction> functions;
};

// Writes the run-wide files and every function's files into `dir` (which
// must exist). Function n gets the record number n in _FUNCTNS.INF.
void write_run(const std::filesystem::path& dir, const RunSpec& spec);

}  // namespace kestrune::testing
