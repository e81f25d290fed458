// SHA-1 (FIPS 180-4), fed incrementally: the checksum of an indexed mzML
// file covers every byte written up to its <fileChecksum> tag.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace kestrune::cli {

class Sha1 {
public:
    Sha1() noexcept { reset(); }

    void reset() noexcept;
    void update(const void* data, std::size_t size) noexcept;
    void update(std::string_view text) noexcept { update(text.data(), text.size()); }

    // The 20-byte digest of everything fed so far. The state itself is not
    // changed, so feeding may go on afterwards.
    std::array<std::uint8_t, 20> digest() const noexcept;
    // The digest as 40 lower-case hexadecimal digits.
    std::string hex_digest() const;

private:
    void block(const std::uint8_t* p) noexcept;

    std::array<std::uint32_t, 5> h_{};
    std::array<std::uint8_t, 64> buffer_{};
    std::size_t buffered_ = 0;
    std::uint64_t length_ = 0;  // bytes fed
};

}  // namespace kestrune::cli
