// Text helpers shared by every parser, message and representation.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <fmt/format.h>

namespace kestrune::text {

// Shortest decimal that reads back to the same value, never with an
// exponent: 1e21 -> "1000000000000000000000", 1e-7 -> "0.0000001",
// 1.0 -> "1", NaN -> "NaN", infinities -> "inf" / "-inf".
std::string plain(double value);
// The same for the 32-bit value itself (0.1f -> "0.1").
std::string plain(float value);

// Fixed-point with `decimals` digits after the point (none and no point for
// 0), rounding the exact binary value ties-to-even; the sign of negative
// values, negative zero included, is kept; NaN -> "NaN", "inf", "-inf".
std::string fixed(double value, int decimals);

// The quoted form of a text: enclosed in double quotes; '"' and '\\'
// escaped by a backslash; tab, CR, LF and NUL as \t \r \n \0; other
// control or non-printable characters as \u{hex}.
std::string quoted(std::string_view utf8);

// Appends the UTF-8 form of one code point (a scalar value up to U+10FFFF).
void append_utf8(std::string& out, char32_t code_point);

// UTF-8 decoding with each maximal ill-formed subpart replaced by one U+FFFD.
std::string lossy_utf8(std::string_view bytes);
std::string lossy_utf8(std::span<const std::uint8_t> bytes);
bool is_valid_utf8(std::string_view bytes) noexcept;

// A path as text, invalid UTF-8 replaced.
std::string path_text(const std::filesystem::path& path);

// Removes Unicode White_Space from both ends of valid UTF-8 text.
std::string_view trim(std::string_view utf8) noexcept;
std::string_view trim_start(std::string_view utf8) noexcept;
std::string_view trim_end(std::string_view utf8) noexcept;
// Length in bytes of the White_Space character starting text, 0 if none.
std::size_t white_space_at(std::string_view utf8) noexcept;

// ASCII a-z to A-Z; every other byte unchanged.
std::string ascii_upper(std::string_view text);
// ASCII A-Z to a-z; every other byte unchanged.
std::string ascii_lower(std::string_view text);

// Float syntax of the text formats: optional sign, then digits with an
// optional point (a digit before or after it) and an optional exponent, or
// inf / infinity / nan in any letter case. Correctly rounded; out-of-range
// magnitudes give an infinity or zero. Anything else (hexadecimal, inner
// blanks, "nan(...)", empty text) gives nothing.
std::optional<double> parse_f64(std::string_view text) noexcept;

// An unsigned 32-bit number: optional "+" then one or more ASCII digits
// (leading zeros allowed), at most 4294967295.
std::optional<std::uint32_t> parse_u32(std::string_view text) noexcept;

}  // namespace kestrune::text

// {} of a path in messages: its lossy text.
template <>
struct fmt::formatter<std::filesystem::path> : fmt::formatter<std::string_view> {
    auto format(const std::filesystem::path& p, format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(kestrune::text::path_text(p), ctx);
    }
};
