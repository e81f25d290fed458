#include "text.h"

#include <charconv>
#include <cmath>
#include <limits>

#include <fmt/format.h>

namespace kestrune::text {

namespace {

template <class F>
std::string plain_impl(F value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    // The shortest round-trip digits come from the scientific form; laid out
    // without exponent, the digits are padded with zeros. (The fixed form of
    // to_chars prints large values with all digits of their exact value,
    // 1e23 as 99999999999999991611392.)
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    const std::string_view sci(buf, static_cast<std::size_t>(r.ptr - buf));
    const std::size_t e_pos = sci.find('e');
    std::string_view mantissa = sci.substr(0, e_pos);
    int exponent = 0;
    std::from_chars(sci.data() + e_pos + 1 + (sci[e_pos + 1] == '+'), sci.data() + sci.size(), exponent);
    std::string out;
    if (mantissa.front() == '-') {
        out += '-';
        mantissa.remove_prefix(1);
    }
    std::string digits;
    for (const char c : mantissa)
        if (c != '.') digits += c;
    // Digits before the decimal point.
    const long point = static_cast<long>(exponent) + 1;
    const auto n = static_cast<long>(digits.size());
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += digits;
    } else if (point >= n) {
        out += digits;
        out.append(static_cast<std::size_t>(point - n), '0');
    } else {
        out.append(digits, 0, static_cast<std::size_t>(point));
        out += '.';
        out.append(digits, static_cast<std::size_t>(point));
    }
    return out;
}

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Decodes one UTF-8 sequence at s[i]. Returns the code point and sets `len`
// to the bytes consumed; on an ill-formed sequence returns nothing and sets
// `len` to the length of its maximal subpart (at least 1).
std::optional<char32_t> decode_one(std::string_view s, std::size_t i, std::size_t& len) noexcept {
    const auto b0 = static_cast<unsigned char>(s[i]);
    len = 1;
    if (b0 < 0x80) return b0;
    std::size_t need;
    unsigned char lo = 0x80, hi = 0xBF;
    char32_t cp;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 1;
        cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 2;
        cp = b0 & 0x0F;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 3;
        cp = b0 & 0x07;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        return std::nullopt;
    }
    for (std::size_t k = 1; k <= need; ++k) {
        if (i + k >= s.size()) return std::nullopt;
        const auto b = static_cast<unsigned char>(s[i + k]);
        if (b < lo || b > hi) return std::nullopt;
        lo = 0x80;
        hi = 0xBF;
        cp = (cp << 6) | (b & 0x3F);
        len = k + 1;
    }
    return cp;
}

bool is_white_space(char32_t c) noexcept {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

bool is_printable(char32_t c) noexcept {
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) return false;  // control characters
    if (c == 0xAD) return false;                              // soft hyphen
    if (c >= 0x200B && c <= 0x200F) return false;            // zero-width and direction marks
    if (c == 0x2028 || c == 0x2029) return false;            // line and paragraph separators
    if (c >= 0x202A && c <= 0x202E) return false;            // bidirectional embeddings
    if (c >= 0x2060 && c <= 0x206F) return false;            // invisible operators, bidi isolates
    if (c == 0xFEFF) return false;                            // byte-order mark
    if (c >= 0xFFF0 && c <= 0xFFFB) return false;            // specials other than U+FFFC, U+FFFD
    if (c == 0xFFFE || c == 0xFFFF) return false;
    if (c >= 0xE000 && c <= 0xF8FF) return false;             // private use
    if (c >= 0xF0000) return false;                           // supplementary private use
    if (c >= 0xE0000 && c <= 0xE0FFF) return false;           // tags, variation selectors supplement
    return true;
}

}  // namespace

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::string plain(double value) { return plain_impl(value); }
std::string plain(float value) { return plain_impl(value); }

std::string fixed(double value, int decimals) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    if (decimals < 0) decimals = 0;
    std::string out(400 + static_cast<std::size_t>(decimals), '\0');
    const auto r = std::to_chars(out.data(), out.data() + out.size(), value, std::chars_format::fixed,
                                 decimals);
    out.resize(static_cast<std::size_t>(r.ptr - out.data()));
    return out;
}

std::string quoted(std::string_view s) {
    std::string out;
    out.reserve(s.size() + 2);
    out += '"';
    std::size_t i = 0;
    while (i < s.size()) {
        std::size_t len;
        const char32_t c = decode_one(s, i, len).value_or(0xFFFD);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            case '\n': out += "\\n"; break;
            case 0: out += "\\0"; break;
            default:
                if (is_printable(c)) {
                    append_utf8(out, c);
                } else {
                    out += fmt::format("\\u{{{:x}}}", static_cast<std::uint32_t>(c));
                }
        }
        i += len;
    }
    out += '"';
    return out;
}

std::string lossy_utf8(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    std::size_t i = 0;
    while (i < s.size()) {
        // Copy runs of ASCII at once.
        std::size_t j = i;
        while (j < s.size() && static_cast<unsigned char>(s[j]) < 0x80) ++j;
        out.append(s.substr(i, j - i));
        i = j;
        if (i == s.size()) break;
        std::size_t len;
        if (decode_one(s, i, len)) {
            out.append(s.substr(i, len));
        } else {
            out.append(kReplacement);
        }
        i += len;
    }
    return out;
}

std::string lossy_utf8(std::span<const std::uint8_t> bytes) {
    return lossy_utf8(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

bool is_valid_utf8(std::string_view s) noexcept {
    std::size_t i = 0;
    while (i < s.size()) {
        std::size_t len;
        if (!decode_one(s, i, len)) return false;
        i += len;
    }
    return true;
}

std::string path_text(const std::filesystem::path& path) { return lossy_utf8(path.native()); }

std::size_t white_space_at(std::string_view s) noexcept {
    if (s.empty()) return 0;
    std::size_t len;
    const auto c = decode_one(s, 0, len);
    return c && is_white_space(*c) ? len : 0;
}

std::string_view trim_start(std::string_view s) noexcept {
    while (const std::size_t n = white_space_at(s)) s.remove_prefix(n);
    return s;
}

std::string_view trim_end(std::string_view s) noexcept {
    while (!s.empty()) {
        // Step back to the start of the last character.
        std::size_t start = s.size() - 1;
        while (start > 0 && s.size() - start < 4 && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80)
            --start;
        const std::string_view last = s.substr(start);
        const std::size_t n = white_space_at(last);
        if (n == 0 || n != last.size()) break;
        s.remove_suffix(n);
    }
    return s;
}

std::string_view trim(std::string_view s) noexcept { return trim_end(trim_start(s)); }

std::string ascii_upper(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}

std::string ascii_lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

namespace {

bool equals_ignore_ascii_case(std::string_view a, std::string_view lower) noexcept {
    if (a.size() != lower.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char c = a[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != lower[i]) return false;
    }
    return true;
}

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

}  // namespace

std::optional<double> parse_f64(std::string_view s) noexcept {
    bool negative = false;
    if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
        negative = s[0] == '-';
        s.remove_prefix(1);
    }
    if (equals_ignore_ascii_case(s, "inf") || equals_ignore_ascii_case(s, "infinity"))
        return negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
    if (equals_ignore_ascii_case(s, "nan")) {
        const double nan = std::numeric_limits<double>::quiet_NaN();
        return negative ? -nan : nan;
    }
    // digits [ "." digits ] [ ("e" | "E") [sign] digits ], a digit on at least one side of the point
    std::size_t i = 0;
    std::size_t int_digits = 0, frac_digits = 0;
    while (i < s.size() && is_digit(s[i])) ++i, ++int_digits;
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && is_digit(s[i])) ++i, ++frac_digits;
    }
    if (int_digits + frac_digits == 0) return std::nullopt;
    long long exponent = 0;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        bool exp_negative = false;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
            exp_negative = s[i] == '-';
            ++i;
        }
        const std::size_t exp_start = i;
        while (i < s.size() && is_digit(s[i])) {
            if (exponent < 1'000'000'000) exponent = exponent * 10 + (s[i] - '0');
            ++i;
        }
        if (i == exp_start) return std::nullopt;
        if (exp_negative) exponent = -exponent;
    }
    if (i != s.size()) return std::nullopt;

    double value = 0;
    const auto r = std::from_chars(s.data(), s.data() + s.size(), value, std::chars_format::general);
    if (r.ptr != s.data() + s.size()) return std::nullopt;
    if (r.ec == std::errc::result_out_of_range) {
        // Decimal magnitude of the leading significant digit decides between
        // overflow and underflow; the representable range lies far inside
        // both limits, so this estimate is never near the boundary.
        long long magnitude = 0;
        std::size_t k = 0;
        while (k < int_digits && s[k] == '0') ++k;
        if (k < int_digits) {
            magnitude = static_cast<long long>(int_digits - k);
        } else {
            std::size_t z = 0;
            while (z < frac_digits && s[int_digits + 1 + z] == '0') ++z;
            magnitude = -static_cast<long long>(z);
        }
        value = magnitude + exponent > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    } else if (r.ec != std::errc()) {
        return std::nullopt;
    }
    return negative ? -value : value;
}

std::optional<std::uint32_t> parse_u32(std::string_view s) noexcept {
    if (!s.empty() && s[0] == '+') s.remove_prefix(1);
    if (s.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : s) {
        if (!is_digit(c)) return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        if (value > 0xFFFFFFFFull) return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

std::string file_uri(const std::filesystem::path& absolute) {
    std::string out = "file://";
    for (unsigned char c : absolute.native()) {
        const bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                          c == '.' || c == '_' || c == '~' || c == '/';
        if (keep)
            out.push_back(char(c));
        else
            fmt::format_to(std::back_inserter(out), "%{:02X}", c);
    }
    return out;
}

}  // namespace kestrune::text
