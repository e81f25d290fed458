// _FUNCTNS.INF: one 416-byte record per acquisition function.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

#include "bytes.h"
#include "error.h"

namespace kestrune::raw::functions_inf {

inline constexpr std::size_t kRecordSize = 416;

struct FunctionInfo {
    std::uint32_t index = 0;  // 1-based position in the file
    std::uint8_t function_type = 0;
    std::uint8_t scan_subtype = 0;
    float cycle_time_s = 0;
    float interscan_delay_s = 0;
    float scan_time_s = 0;
    std::uint16_t tof_depth = 0;
    float mz_low = 0;
    float mz_high = 0;

    // Bit 7 of the subtype marks a lock-mass (reference) function.
    bool is_lock_mass() const noexcept { return (scan_subtype & 0x80) != 0; }
};

struct FunctionTable {
    std::vector<FunctionInfo> functions;

    static Result<FunctionTable> from_bytes(Bytes bytes);
    static Result<FunctionTable> from_path(const std::filesystem::path& path);
};

}  // namespace kestrune::raw::functions_inf

namespace kestrune::raw {
using functions_inf::FunctionTable;
}
