#include "raw/functions_inf.h"

#include <fmt/format.h>

#include "fs.h"

namespace kestrune::raw::functions_inf {

Result<FunctionTable> FunctionTable::from_bytes(Bytes bytes) {
    if (bytes.size() % kRecordSize != 0)
        return parse_error(fmt::format("_FUNCTNS.INF: file size {} is not a multiple of {} (record size)",
                                       bytes.size(), kRecordSize));
    const std::size_t n = bytes.size() / kRecordSize;
    FunctionTable table;
    table.functions.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const Bytes rec = bytes.subspan(i * kRecordSize, kRecordSize);
        FunctionInfo info;
        info.index = static_cast<std::uint32_t>(i + 1);
        info.function_type = read_u8(rec, 0);
        info.scan_subtype = read_u8(rec, 1);
        info.cycle_time_s = read_f32le(rec, 2);  // unaligned: starts at byte 2
        info.tof_depth = read_u16le(rec, 16);
        info.interscan_delay_s = read_f32le(rec, 28);
        info.scan_time_s = read_f32le(rec, 32);
        info.mz_low = read_f32le(rec, 160);
        info.mz_high = read_f32le(rec, 288);
        table.functions.push_back(info);
    }
    return table;
}

Result<FunctionTable> FunctionTable::from_path(const std::filesystem::path& path) {
    auto bytes = fs::read_file(path);
    if (!bytes) return fail(std::move(bytes.error()));
    return from_bytes(*bytes);
}

}  // namespace kestrune::raw::functions_inf
