// File-system access of the core library: whole-file reads for the parsers
// and exact range reads for scans. Every call opens, reads and closes its
// file; nothing stays open between calls.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <vector>

#include "bytes.h"
#include "error.h"

namespace kestrune::fs {

// An owned byte buffer whose bytes start out uninitialised: a scan's bytes
// are written once by the read, so zero-filling them first is wasted work.
class Buffer {
public:
    Buffer() = default;
    explicit Buffer(std::size_t size) : data_(size > 0 ? new std::uint8_t[size] : nullptr), size_(size) {}

    std::uint8_t* data() noexcept { return data_.get(); }
    const std::uint8_t* data() const noexcept { return data_.get(); }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    const std::uint8_t* begin() const noexcept { return data_.get(); }
    const std::uint8_t* end() const noexcept { return data_.get() + size_; }
    operator Bytes() const noexcept { return {data_.get(), size_}; }

private:
    std::unique_ptr<std::uint8_t[]> data_;
    std::size_t size_ = 0;
};

// The whole file, read into an owned buffer.
Result<std::vector<std::uint8_t>> read_file(const std::filesystem::path& path);

// Exactly `length` bytes from `offset`: one open, then positioned reads
// until the count is complete; a file that ends first gives the short-read
// Io error.
Result<Buffer> read_range(const std::filesystem::path& path, std::uint64_t offset,
                                             std::uint64_t length);

// Size of the file in bytes, following symbolic links.
Result<std::uint64_t> file_size(const std::filesystem::path& path);

// Whether the path names a directory (following symbolic links); a path that
// cannot be examined is not one.
bool is_directory(const std::filesystem::path& path) noexcept;

}  // namespace kestrune::fs
