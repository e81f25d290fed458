#include "raw/chroms.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

#include "fs.h"
#include "text.h"

namespace kestrune::raw::chroms {

namespace {

constexpr std::size_t kMinInfSize = 298;
constexpr std::size_t kChroHeaderSize = 128;
constexpr std::size_t kSampleSize = 8;
constexpr std::string_view kCcMarker = "$CC$";
constexpr std::size_t kCcPieces = 6;

// Code points of the bytes 0x80-0x9F; the five bytes the code page leaves
// unassigned keep their own value (C1 controls).
constexpr std::array<char16_t, 32> kHighControls = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  //
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  //
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  //
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

// The bytes before the first NUL, or all of them.
Bytes up_to_nul(Bytes bytes) {
    const void* nul = std::memchr(bytes.data(), 0, bytes.size());
    if (nul == nullptr) return bytes;
    return bytes.first(static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - bytes.data()));
}

}  // namespace

std::string decode_cp1252(Bytes bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (std::uint8_t b : bytes) {
        if (b >= 0x80 && b <= 0x9F) {
            text::append_utf8(out, kHighControls[b - 0x80]);
        } else {
            text::append_utf8(out, b);
        }
    }
    return out;
}

std::pair<double, std::string> parse_cc_spec(Bytes text_field) {
    const std::pair<double, std::string> none{1.0, std::string()};
    const std::string_view field = as_chars(text_field.first(std::min(text_field.size(), kTextField)));

    // The marker may sit anywhere in the field, also behind the name's NUL.
    const std::size_t at = field.find(kCcMarker);
    if (at == std::string_view::npos) return none;

    std::string_view rest = field.substr(at);
    rest = rest.substr(0, rest.find('\0'));

    // At most six pieces: the last one keeps any further commas.
    std::array<std::string_view, kCcPieces> pieces;
    std::size_t count = 0;
    while (count + 1 < kCcPieces) {
        const std::size_t comma = rest.find(',');
        if (comma == std::string_view::npos) break;
        pieces[count++] = rest.substr(0, comma);
        rest.remove_prefix(comma + 1);
    }
    pieces[count++] = rest;
    if (count < kCcPieces) return none;

    if (!text::is_valid_utf8(pieces[1])) return none;
    const std::optional<double> scale = text::parse_f64(text::trim(pieces[1]));
    if (!scale) return none;

    const std::string_view units = pieces[kCcPieces - 1];
    return {*scale, decode_cp1252(Bytes(reinterpret_cast<const std::uint8_t*>(units.data()), units.size()))};
}

Result<ChromsInf> ChromsInf::from_bytes(Bytes bytes) {
    const std::size_t size = bytes.size();
    if (size < kMinInfSize) {
        return parse_error(
            fmt::format("_CHROMS.INF too small: {} bytes (need at least {})", size, kMinInfSize));
    }
    const std::uint16_t record_size = read_u16le(bytes, 4);
    if (record_size != kRecordSize) {
        return parse_error(
            fmt::format("_CHROMS.INF: record size field is {}, expected {}", record_size, kRecordSize));
    }
    // At most 128 + 85 * 65535 bytes: no overflow in 64 bits.
    const std::uint16_t meta_records = read_u16le(bytes, 6);
    const std::uint64_t data_start = kHeaderSize + std::uint64_t{kRecordSize} * meta_records;
    if (size < data_start) {
        return parse_error(
            fmt::format("_CHROMS.INF: file too small for declared {} meta records", meta_records));
    }
    const std::size_t data_size = size - static_cast<std::size_t>(data_start);
    if (data_size % kRecordSize != 0) {
        return parse_error(
            fmt::format("_CHROMS.INF: data section size {} is not a multiple of {}", data_size, kRecordSize));
    }

    ChromsInf inf;
    const std::size_t count = data_size / kRecordSize;
    inf.channels.reserve(count);
    const Bytes data = bytes.subspan(static_cast<std::size_t>(data_start));
    for (std::size_t i = 0; i < count; ++i) {
        const Bytes record = data.subspan(i * kRecordSize, kRecordSize);
        const Bytes field = record.subspan(4, kTextField);
        ChromChannel channel;
        channel.index = i;
        channel.source_type = read_u32le(record, 0);
        channel.name = decode_cp1252(up_to_nul(field));
        auto [scale, units] = parse_cc_spec(field);
        channel.scale_f = scale;
        channel.units = std::move(units);
        inf.channels.push_back(std::move(channel));
    }
    return inf;
}

Result<ChromsInf> ChromsInf::from_path(const std::filesystem::path& path) {
    auto bytes = fs::read_file(path);
    if (!bytes) return fail(std::move(bytes.error()));
    return from_bytes(*bytes);
}

std::string channel_file_name(std::size_t index) {
    return fmt::format("_CHRO{:03}.DAT", static_cast<std::uint64_t>(index) + 3);
}

Result<std::vector<ChromPoint>> parse_chro_bytes(Bytes bytes) {
    const std::size_t size = bytes.size();
    if (size < kChroHeaderSize) {
        return parse_error(
            fmt::format("_CHRO*.DAT too small: {} bytes (need at least {})", size, kChroHeaderSize));
    }
    if (size % kSampleSize != 0) {
        return parse_error(
            fmt::format("_CHRO*.DAT data section size {} is not a multiple of 8", size - kChroHeaderSize));
    }
    const std::size_t count = (size - kChroHeaderSize) / kSampleSize;
    std::vector<ChromPoint> points;
    points.reserve(count);
    const Bytes data = bytes.subspan(kChroHeaderSize);
    for (std::size_t i = 0; i < count; ++i) {
        const Bytes sample = data.subspan(i * kSampleSize, kSampleSize);
        points.push_back(ChromPoint{read_f32le(sample, 0), read_f32le(sample, 4)});
    }
    return points;
}

Result<std::vector<ChromPoint>> read_chro_dat(const std::filesystem::path& path) {
    auto bytes = fs::read_file(path);
    if (!bytes) return fail(std::move(bytes.error()));
    return parse_chro_bytes(*bytes);
}

}  // namespace kestrune::raw::chroms
