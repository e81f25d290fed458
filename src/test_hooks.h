// Internal steps of the core that tests, fuzz targets and benchmarks reach
// directly. Production code outside their own source files does not use
// them; each is defined beside the code it belongs to.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "error.h"
#include "raw/header.h"
#include "raw/index.h"
#include "reader/reader.h"

namespace kestrune::reader {

// The display name of a run directory: its final name component, or
// "bundle.raw" when it has none (empty, ".", a root, ending in "..").
std::string run_name(const std::filesystem::path& dir);

}  // namespace kestrune::reader

namespace kestrune::raw::header {

// Parses the value of a calibration line: comma-separated coefficients,
// the last piece being the type.
Result<FunctionCal> parse_cal_value(std::string_view value);

}  // namespace kestrune::raw::header

namespace kestrune::raw::data::detail {

// Whether the decoders may take four records at a time with AVX2 (on by
// default where the processor has it). Both ways give the same bits; tests
// and benchmarks switch it off to run the one-record loop.
void set_vector_kernels(bool enabled) noexcept;
// Whether the four-record kernels are in use now.
bool vector_kernels() noexcept;

}  // namespace kestrune::raw::data::detail
