// File-system access of the core library: whole-file reads for the parsers
// and exact range reads for scans. Every call opens, reads and closes its
// file; nothing stays open between calls.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
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

// Owns one file descriptor, open for reading. O_NONBLOCK keeps a FIFO put
// in place of a run file from blocking the open or the reads; regular files
// ignore it.
class File {
public:
    static Result<File> open(const std::filesystem::path& path);
    File(File&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    File& operator=(File&&) = delete;
    ~File();
    int fd() const noexcept { return fd_; }

    // Reads until `n` bytes are in `dst` or the file ends; returns the count.
    // With `offset`, the reads are positioned there and the file position is
    // left alone; without, they continue from the file position.
    Result<std::size_t> read_full(std::uint8_t* dst, std::size_t n, std::optional<off_t> offset = std::nullopt) const;

private:
    explicit File(int fd) : fd_(fd) {}
    int fd_;
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
