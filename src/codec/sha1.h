// SHA-1 fed incrementally (OpenSSL's libcrypto, which uses the CPU's SHA
// instructions where there are some): the checksum of an indexed mzML file
// covers every byte written up to its <fileChecksum> tag.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace kestrune::codec {

class Sha1 {
public:
    Sha1();
    ~Sha1();
    Sha1(const Sha1&) = delete;
    Sha1& operator=(const Sha1&) = delete;

    void update(const void* data, std::size_t size) noexcept;
    void update(std::string_view text) noexcept { update(text.data(), text.size()); }

    // The 20-byte digest of everything fed so far. The state itself is not
    // changed, so feeding may go on afterwards.
    std::array<std::uint8_t, 20> digest() const;
    // The digest as 40 lower-case hexadecimal digits.
    std::string hex_digest() const;

private:
    void* ctx_;  // EVP_MD_CTX
};

}  // namespace kestrune::codec
