// _HEADER.TXT: run metadata and one mass-calibration line per function.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"

namespace kestrune::raw::header {

enum class CalType : std::uint8_t { T0 = 0, T1 = 1 };

std::string_view cal_type_name(CalType t) noexcept;  // "T0" / "T1"

struct FunctionCal {
    std::vector<double> coefficients;  // in written order: element 0 is the constant term
    CalType cal_type = CalType::T0;
};

struct Header {
    std::optional<std::string> version;
    std::optional<std::string> acquired_name;
    std::optional<std::string> acquired_date;
    std::optional<std::string> acquired_time;
    std::optional<std::string> instrument;
    std::optional<std::string> operator_;  // "User Name"
    std::optional<std::string> sample_description;
    std::map<std::uint32_t, FunctionCal> calibration;

    static Result<Header> from_str(std::string_view text);
    static Result<Header> from_path(const std::filesystem::path& path);
    // The file's bytes with its texts as written: UTF-8 when the whole file
    // is valid UTF-8, otherwise Windows-1252 (as the acquisition software
    // writes on Windows).
    static Result<Header> from_bytes_as_written(std::string_view bytes);
};

// The instrument text of a header split at its first '#': the model, and
// the serial number unless it is empty or "NotSet".
struct InstrumentText {
    std::string model;
    std::optional<std::string> serial_number;
};
InstrumentText split_instrument(std::string_view text);

// Parses the value of a calibration line: comma-separated coefficients,
// the last piece being the type. (A step of the header parser that tests
// and fuzz targets reach directly.)
Result<FunctionCal> parse_cal_value(std::string_view value);

}  // namespace kestrune::raw::header

namespace kestrune::raw {
using header::CalType;
using header::FunctionCal;
using header::Header;
}
