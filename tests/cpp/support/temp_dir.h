// Temporary directories and small byte-image builders for tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::testing {

// A fresh directory under the system temporary directory, removed with
// everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

    // Writes a file of the directory (relative name), replacing any old one.
    std::filesystem::path write(std::string_view name, const std::vector<std::uint8_t>& bytes) const;
    std::filesystem::path write(std::string_view name, std::string_view text) const;

private:
    std::filesystem::path path_;
};

// Little-endian byte image built field by field.
class ByteImage {
public:
    ByteImage() = default;
    explicit ByteImage(std::size_t size, std::uint8_t fill = 0) : bytes_(size, fill) {}

    ByteImage& u8(std::uint8_t v) { return put(&v, 1); }
    ByteImage& u16(std::uint16_t v) { return put(&v, 2); }
    ByteImage& i16(std::int16_t v) { return put(&v, 2); }
    ByteImage& u32(std::uint32_t v) { return put(&v, 4); }
    ByteImage& f32(float v) { return put(&v, 4); }
    ByteImage& zeros(std::size_t n) {
        bytes_.insert(bytes_.end(), n, 0);
        return *this;
    }
    ByteImage& raw(std::string_view s) { return put(s.data(), s.size()); }
    ByteImage& raw(const std::vector<std::uint8_t>& v) { return put(v.data(), v.size()); }

    // Overwrite at a fixed offset, growing the image as needed.
    ByteImage& set_u8(std::size_t off, std::uint8_t v) { return put_at(off, &v, 1); }
    ByteImage& set_u16(std::size_t off, std::uint16_t v) { return put_at(off, &v, 2); }
    ByteImage& set_u32(std::size_t off, std::uint32_t v) { return put_at(off, &v, 4); }
    ByteImage& set_f32(std::size_t off, float v) { return put_at(off, &v, 4); }
    ByteImage& set_raw(std::size_t off, std::string_view s) { return put_at(off, s.data(), s.size()); }

    std::size_t size() const { return bytes_.size(); }
    const std::vector<std::uint8_t>& bytes() const { return bytes_; }
    operator const std::vector<std::uint8_t>&() const { return bytes_; }

private:
    ByteImage& put(const void* p, std::size_t n) {
        const auto* b = static_cast<const std::uint8_t*>(p);
        bytes_.insert(bytes_.end(), b, b + n);
        return *this;
    }
    ByteImage& put_at(std::size_t off, const void* p, std::size_t n) {
        if (bytes_.size() < off + n) bytes_.resize(off + n);
        std::memcpy(bytes_.data() + off, p, n);
        return *this;
    }
    std::vector<std::uint8_t> bytes_;
};

}  // namespace kestrune::testing
