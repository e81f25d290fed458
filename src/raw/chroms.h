// _CHROMS.INF (chromatogram channel descriptions) and _CHROnnn.DAT (samples).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "bytes.h"
#include "error.h"

namespace kestrune::raw::chroms {

inline constexpr std::size_t kHeaderSize = 128;
inline constexpr std::size_t kRecordSize = 85;
inline constexpr std::size_t kTextField = 81;

struct ChromChannel {
    std::string name;
    std::string units;
    std::size_t index = 0;
    double scale_f = 1.0;
    std::uint32_t source_type = 0;
};

struct ChromPoint {
    float rt_min = 0;
    float value = 0;
};

struct ChromsInf {
    std::vector<ChromChannel> channels;

    static Result<ChromsInf> from_bytes(Bytes bytes);
    static Result<ChromsInf> from_path(const std::filesystem::path& path);
};

// One character per byte; 0x80-0x9F by the Windows-1252 code page, its five
// unassigned bytes as the C1 controls of the same value.
std::string decode_cp1252(Bytes bytes);

// (scale_f, units) from the "$CC$" spec string of one record's text field;
// (1.0, "") when there is none or it cannot be read.
std::pair<double, std::string> parse_cc_spec(Bytes text_field);

// "_CHRO" + (index + 3) zero-padded to at least three digits + ".DAT": the
// samples file of the channel with 0-based `index`.
std::string channel_file_name(std::size_t index);

Result<std::vector<ChromPoint>> parse_chro_bytes(Bytes bytes);
Result<std::vector<ChromPoint>> read_chro_dat(const std::filesystem::path& path);

}  // namespace kestrune::raw::chroms

namespace kestrune::raw {
using chroms::ChromsInf;
}
