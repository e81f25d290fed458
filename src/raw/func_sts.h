// _FUNCnnn.STS: per-scan statistics channels of one function.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "bytes.h"
#include "error.h"

namespace kestrune::raw::func_sts {

struct ChannelDescriptor {
    std::string name;  // decoded (lossy UTF-8) and trimmed
    std::size_t offset = 0;
    std::uint16_t tag = 0;
    std::uint16_t value_type = 0;  // 0 u8, 1 i16, 2 u32, 3 f32
};

struct FuncSts {
    std::vector<ChannelDescriptor> channels;
    std::vector<std::uint8_t> data;  // n_scans * scan_record_size bytes
    std::size_t scan_record_size = 0;
    std::size_t n_scans = 0;

    static Result<FuncSts> from_bytes(Bytes bytes);
    static Result<FuncSts> from_path(const std::filesystem::path& path);

    std::optional<double> value_at(const ChannelDescriptor& channel, std::size_t scan) const noexcept;
    // The first channel named exactly "Collision Energy" / "ETD Fragmentation Mode".
    std::optional<double> collision_energy(std::size_t scan) const noexcept;
    std::optional<double> etd_fragmentation_mode(std::size_t scan) const noexcept;
};

}  // namespace kestrune::raw::func_sts

namespace kestrune::raw {
using func_sts::ChannelDescriptor;
using func_sts::FuncSts;
}
