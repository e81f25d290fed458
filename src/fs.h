// File-system access of the core library: whole-file reads for the parsers
// and exact range reads for scans. Every call opens, reads and closes its
// file; nothing stays open between calls.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

#include "error.h"

namespace kestrune::fs {

// The whole file, read into an owned buffer.
Result<std::vector<std::uint8_t>> read_file(const std::filesystem::path& path);

// Exactly `length` bytes from `offset`: one open, one positioning and reads
// until the count is complete; a file that ends first gives the short-read
// Io error.
Result<std::vector<std::uint8_t>> read_range(const std::filesystem::path& path, std::uint64_t offset,
                                             std::uint64_t length);

// Size of the file in bytes, following symbolic links.
Result<std::uint64_t> file_size(const std::filesystem::path& path);

// Whether the path names a directory (following symbolic links); a path that
// cannot be examined is not one.
bool is_directory(const std::filesystem::path& path) noexcept;

}  // namespace kestrune::fs
