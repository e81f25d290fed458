#include "raw/func_sts.h"

#include <string_view>

#include <fmt/format.h>

#include "fs.h"
#include "text.h"

namespace kestrune::raw::func_sts {

namespace {

constexpr std::size_t kPreambleSize = 32;
constexpr std::size_t kDescriptorSize = 48;
constexpr std::size_t kNameOffset = 6;
constexpr std::size_t kNameSize = 42;

// Bytes of a value of each channel type: u8, i16, u32, f32.
constexpr std::size_t kValueWidth[] = {1, 2, 4, 4};
constexpr std::size_t kValueTypes = std::size(kValueWidth);

std::string descriptor_name(Bytes field) {
    std::size_t len = 0;
    while (len < field.size() && field[len] != 0) ++len;
    const std::string decoded = text::lossy_utf8(field.first(len));
    return std::string(text::trim(decoded));
}

}  // namespace

Result<FuncSts> FuncSts::from_bytes(Bytes bytes) {
    const std::size_t size = bytes.size();
    if (size < kPreambleSize)
        return parse_error(
            fmt::format("_FUNCnnn.STS too small: {} bytes (need at least {})", size, kPreambleSize));

    const std::size_t data_offset = read_u16le(bytes, 0);
    const std::size_t record_size = read_u16le(bytes, 4);
    const std::size_t n_desc = read_u16le(bytes, 6);
    const std::size_t expected_offset = kPreambleSize + n_desc * kDescriptorSize;
    if (data_offset != expected_offset)
        return parse_error(fmt::format("_FUNCnnn.STS: data_offset {} does not match preamble + n_desc*48 = {}",
                                       data_offset, expected_offset));
    if (size < data_offset)
        return parse_error(fmt::format("_FUNCnnn.STS: file too small for declared {} descriptor records", n_desc));

    FuncSts sts;
    sts.channels.reserve(n_desc);
    for (std::size_t i = 0; i < n_desc; ++i) {
        const Bytes desc = bytes.subspan(kPreambleSize + i * kDescriptorSize, kDescriptorSize);
        const std::uint16_t value_type = read_u16le(desc, 2);
        if (value_type >= kValueTypes)
            return parse_error(fmt::format("_FUNCnnn.STS: unknown channel encoding type {}", value_type));
        ChannelDescriptor channel;
        channel.tag = read_u16le(desc, 0);
        channel.value_type = value_type;
        channel.offset = read_u16le(desc, 4);
        channel.name = descriptor_name(desc.subspan(kNameOffset, kNameSize));
        sts.channels.push_back(std::move(channel));
    }

    if (record_size == 0) return parse_error("_FUNCnnn.STS: scan_record_size is zero");

    // Whole records only; a partial record at the end of the file is dropped.
    sts.scan_record_size = record_size;
    sts.n_scans = (size - data_offset) / record_size;
    const Bytes records = bytes.subspan(data_offset, sts.n_scans * record_size);
    sts.data.assign(records.begin(), records.end());
    return sts;
}

Result<FuncSts> FuncSts::from_path(const std::filesystem::path& path) {
    auto bytes = fs::read_file(path);
    if (!bytes) return fail(std::move(bytes.error()));
    return from_bytes(*bytes);
}

std::optional<double> FuncSts::value_at(const ChannelDescriptor& channel, std::size_t scan) const noexcept {
    if (scan >= n_scans || channel.value_type >= kValueTypes) return std::nullopt;
    const Bytes all(data);
    if (scan_record_size == 0 || all.size() / scan_record_size < n_scans) return std::nullopt;
    const Bytes record = all.subspan(scan * scan_record_size, scan_record_size);
    // Written so that no sum can wrap: the value must lie wholly inside the record.
    const std::size_t width = kValueWidth[channel.value_type];
    if (width > record.size() || channel.offset > record.size() - width) return std::nullopt;
    switch (channel.value_type) {
        case 0: return static_cast<double>(read_u8(record, channel.offset));
        case 1: return static_cast<double>(read_i16le(record, channel.offset));
        case 2: return static_cast<double>(read_u32le(record, channel.offset));
        default: return static_cast<double>(read_f32le(record, channel.offset));
    }
}

namespace {

std::optional<double> named_value(const FuncSts& sts, std::string_view name, std::size_t scan) noexcept {
    for (const ChannelDescriptor& channel : sts.channels)
        if (channel.name == name) return sts.value_at(channel, scan);
    return std::nullopt;
}

}  // namespace

std::optional<double> FuncSts::collision_energy(std::size_t scan) const noexcept {
    return named_value(*this, "Collision Energy", scan);
}

std::optional<double> FuncSts::etd_fragmentation_mode(std::size_t scan) const noexcept {
    return named_value(*this, "ETD Fragmentation Mode", scan);
}

}  // namespace kestrune::raw::func_sts
