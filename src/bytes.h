// Little-endian reads over byte spans. Callers establish the bounds of a
// record once (with a size check or a subspan); the reads themselves then
// only assert them.
#pragma once

#include <bit>
#include <cassert>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

namespace kestrune {

using Bytes = std::span<const std::uint8_t>;

static_assert(std::endian::native == std::endian::little, "big-endian hosts are not supported");

inline std::uint8_t read_u8(Bytes b, std::size_t off) noexcept {
    assert(off < b.size());
    return b[off];
}

inline std::uint16_t read_u16le(Bytes b, std::size_t off) noexcept {
    assert(off <= b.size() && b.size() - off >= 2);
    std::uint16_t v;
    std::memcpy(&v, b.data() + off, sizeof v);
    return v;
}

inline std::int16_t read_i16le(Bytes b, std::size_t off) noexcept {
    return static_cast<std::int16_t>(read_u16le(b, off));
}

inline std::uint32_t read_u32le(Bytes b, std::size_t off) noexcept {
    assert(off <= b.size() && b.size() - off >= 4);
    std::uint32_t v;
    std::memcpy(&v, b.data() + off, sizeof v);
    return v;
}

inline float read_f32le(Bytes b, std::size_t off) noexcept {
    return std::bit_cast<float>(read_u32le(b, off));
}

inline std::string_view as_chars(Bytes b) noexcept {
    return {reinterpret_cast<const char*>(b.data()), b.size()};
}

}  // namespace kestrune
