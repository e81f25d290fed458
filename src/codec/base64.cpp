#include "codec/base64.h"

#include <algorithm>

#include <openssl/evp.h>

namespace kestrune::codec {

namespace {
// The most bytes one library call takes: its lengths are ints.
constexpr std::size_t kChunk = std::size_t{3} << 28;

bool is_digit(char c) noexcept {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}
}  // namespace

void base64_append(std::span<const std::uint8_t> bytes, std::string& out) {
    std::size_t at = out.size();
    // The library ends its text with a NUL, which lands on the string's own
    // terminator.
    out.resize(at + base64_length(bytes.size()));
    while (!bytes.empty()) {
        const std::size_t n = std::min(bytes.size(), kChunk);
        at += std::size_t(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data() + at), bytes.data(), int(n)));
        bytes = bytes.subspan(n);
    }
}

std::optional<std::vector<std::uint8_t>> base64_decode(std::string_view text) {
    // The library skips white space and takes padding anywhere in the last
    // group: the form is checked here first.
    if (text.size() % 4 != 0) return std::nullopt;
    std::size_t pad = 0;
    while (pad < 2 && pad < text.size() && text[text.size() - 1 - pad] == '=') ++pad;
    if (!std::all_of(text.begin(), text.end() - std::ptrdiff_t(pad), is_digit)) return std::nullopt;
    std::vector<std::uint8_t> out(text.size() / 4 * 3);
    std::size_t done = 0;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t n = std::min(text.size() - at, kChunk / 3 * 4);
        const int got = EVP_DecodeBlock(out.data() + done, reinterpret_cast<const unsigned char*>(text.data() + at),
                                        int(n));
        if (got < 0) return std::nullopt;
        done += std::size_t(got);
        at += n;
    }
    out.resize(done - pad);
    return out;
}

}  // namespace kestrune::codec
