/// @file
/// The library's text forms, for programs that print what the library
/// prints: numbers in their shortest exact form, quoted texts, paths as
/// text, and the number syntax of the run's text files.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "kestrune/config.h"

namespace kestrune::text {

/// Shortest decimal that reads back to the same value, never with an
/// exponent: 1e21 -> "1000000000000000000000", 1e-7 -> "0.0000001",
/// 1.0 -> "1", NaN -> "NaN", infinities -> "inf" / "-inf".
KESTRUNE_API std::string plain(double value);
/// The same for the 32-bit value itself (0.1f -> "0.1").
KESTRUNE_API std::string plain(float value);
/// Fixed-point with `decimals` digits after the point (none and no point for
/// 0), rounding the exact binary value ties-to-even; the sign of negative
/// values, negative zero included, is kept; NaN -> "NaN", "inf", "-inf".
KESTRUNE_API std::string fixed(double value, int decimals);
/// The quoted form of a text: enclosed in double quotes; '"' and '\\'
/// escaped by a backslash; tab, CR, LF and NUL as \\t \\r \\n \\0; other
/// control or non-printable characters as \\u{hex}.
KESTRUNE_API std::string quoted(std::string_view utf8);
/// UTF-8 decoding with each maximal ill-formed subpart replaced by one U+FFFD.
KESTRUNE_API std::string lossy_utf8(std::string_view bytes);
/// A path as text, invalid UTF-8 replaced.
KESTRUNE_API std::string path_text(const std::filesystem::path& path);
/// Removes Unicode White_Space from both ends of valid UTF-8 text.
KESTRUNE_API std::string_view trim(std::string_view utf8) noexcept;
/// ASCII a-z to A-Z; every other byte unchanged.
KESTRUNE_API std::string ascii_upper(std::string_view text);
/// ASCII A-Z to a-z; every other byte unchanged.
KESTRUNE_API std::string ascii_lower(std::string_view text);
/// Float syntax of the text formats: optional sign, then digits with an
/// optional point (a digit before or after it) and an optional exponent, or
/// inf / infinity / nan in any letter case. Correctly rounded; out-of-range
/// magnitudes give an infinity or zero. Anything else (hexadecimal, inner
/// blanks, "nan(...)", empty text) gives nothing.
KESTRUNE_API std::optional<double> parse_f64(std::string_view text) noexcept;
/// An unsigned 32-bit number: optional "+" then one or more ASCII digits
/// (leading zeros allowed), at most 4294967295.
KESTRUNE_API std::optional<std::uint32_t> parse_u32(std::string_view text) noexcept;

}  // namespace kestrune::text
