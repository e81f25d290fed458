#include "base64.h"

namespace kestrune::cli {

namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int digit_value(char c) noexcept {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}
}  // namespace

void base64_append(std::span<const std::uint8_t> bytes, std::string& out) {
    const std::size_t start = out.size();
    out.resize(start + base64_length(bytes.size()));
    char* dst = out.data() + start;
    const std::uint8_t* p = bytes.data();
    std::size_t n = bytes.size();
    for (; n >= 3; n -= 3, p += 3, dst += 4) {
        const std::uint32_t v = (std::uint32_t(p[0]) << 16) | (std::uint32_t(p[1]) << 8) | p[2];
        dst[0] = kAlphabet[v >> 18];
        dst[1] = kAlphabet[(v >> 12) & 63];
        dst[2] = kAlphabet[(v >> 6) & 63];
        dst[3] = kAlphabet[v & 63];
    }
    if (n > 0) {
        std::uint32_t v = std::uint32_t(p[0]) << 16;
        if (n == 2) v |= std::uint32_t(p[1]) << 8;
        dst[0] = kAlphabet[v >> 18];
        dst[1] = kAlphabet[(v >> 12) & 63];
        dst[2] = n == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        dst[3] = '=';
    }
}

std::optional<std::vector<std::uint8_t>> base64_decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::vector<std::uint8_t> out;
    out.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        int d[4];
        int pad = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = text[i + k];
            if (c == '=' && last && k >= 2) {
                ++pad;
                d[k] = 0;
                continue;
            }
            if (pad > 0) return std::nullopt;  // a digit after padding
            d[k] = digit_value(c);
            if (d[k] < 0) return std::nullopt;
        }
        const std::uint32_t v = (std::uint32_t(d[0]) << 18) | (std::uint32_t(d[1]) << 12) |
                                (std::uint32_t(d[2]) << 6) | std::uint32_t(d[3]);
        out.push_back(std::uint8_t(v >> 16));
        if (pad < 2) out.push_back(std::uint8_t(v >> 8));
        if (pad < 1) out.push_back(std::uint8_t(v));
    }
    return out;
}

}  // namespace kestrune::cli
