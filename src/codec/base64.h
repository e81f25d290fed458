// Base64 (RFC 4648, standard alphabet, '=' padding) by OpenSSL's libcrypto:
// the text form of the binary data arrays of mzML.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::codec {

// Length of the encoded text of `size` bytes.
constexpr std::size_t base64_length(std::size_t size) noexcept { return (size + 2) / 3 * 4; }

// Appends the encoding of `bytes` to `out`.
void base64_append(std::span<const std::uint8_t> bytes, std::string& out);

inline std::string base64_encode(std::span<const std::uint8_t> bytes) {
    std::string out;
    base64_append(bytes, out);
    return out;
}

// Strict decoding (padding required, no white space); nothing on bad input.
std::optional<std::vector<std::uint8_t>> base64_decode(std::string_view text);

}  // namespace kestrune::codec
