// An output file written under a temporary name in its target directory and
// renamed into place only when complete: a failed or interrupted run leaves
// nothing behind.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"
#include "output/sink.h"

namespace kestrune::output {

class OutputFile final : public ByteSink {
public:
    // Creates the temporary file next to `target`. A target that is an
    // existing directory, or whose directory cannot be written, fails here,
    // before any work.
    static Result<OutputFile> create(const std::filesystem::path& target);

    OutputFile(OutputFile&& other) noexcept;
    OutputFile& operator=(OutputFile&&) = delete;
    ~OutputFile() override;  // removes the temporary file unless committed

    // Buffered. After the first failure nothing more is written; `failed`
    // tells, and `error` / `commit` report it.
    void write(std::string_view bytes) override;
    bool failed() const noexcept override { return errno_ != 0; }
    // The first write failure, naming the file and the cause.
    Error error() const;
    // Flushes, syncs and closes the file, then renames it to the target.
    Result<void> commit();


private:
    OutputFile(std::filesystem::path target, std::filesystem::path temp, int fd, int slot);
    void flush_buffer();
    void write_through(std::string_view bytes);
    void discard() noexcept;

    std::filesystem::path target_;
    std::filesystem::path temp_;
    int fd_ = -1;
    int slot_ = -1;  // in the table of files the signal handler removes
    int errno_ = 0;  // first write failure
    std::vector<char> buffer_;
    std::size_t used_ = 0;
    std::uint64_t written_ = 0;         // bytes in the file
    std::uint64_t writeback_from_ = 0;  // the first not yet handed to the disk
    static constexpr std::uint64_t kWritebackChunk = std::uint64_t{8} << 20;
};

// "writing <what>: I/O error: <the system's text>", e.g. "No space left on
// device", "File too large" (the file-size limit), "Permission denied",
// "Is a directory".
Error write_error(const std::filesystem::path& what, int os_errno);


}  // namespace kestrune::output
