// An output file written under a temporary name in its target directory and
// renamed into place only when complete: a failed or interrupted run leaves
// nothing behind. Standard output ("-") is written straight through.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"
#include "mzml_writer.h"

namespace kestrune::cli {

// The output path that means standard output.
inline constexpr std::string_view kStdoutPath = "-";

class OutputFile final : public ByteSink {
public:
    // Creates the temporary file next to `target`, or writes to standard
    // output when `target` is "-". A target that is an existing directory,
    // or whose directory cannot be written, fails here, before any work.
    static Result<OutputFile> create(const std::filesystem::path& target);

    OutputFile(OutputFile&& other) noexcept;
    OutputFile& operator=(OutputFile&&) = delete;
    ~OutputFile() override;  // removes the temporary file unless committed

    // Buffered. After the first failure nothing more is written; `failed`
    // tells, and `error` / `commit` report it.
    void write(std::string_view bytes) override;
    bool failed() const noexcept { return errno_ != 0; }
    // The first write failure, naming the file and the cause.
    Error error() const;
    // Flushes, syncs and closes the file, then renames it to the target
    // (standard output: flushes only).
    Result<void> commit();

    const std::filesystem::path& temp_path() const noexcept { return temp_; }
    bool is_stdout() const noexcept { return stdout_; }

private:
    OutputFile(std::filesystem::path target, std::filesystem::path temp, int fd, int slot, bool to_stdout);
    void flush_buffer();
    void write_through(std::string_view bytes);
    void discard() noexcept;

    std::filesystem::path target_;
    std::filesystem::path temp_;
    int fd_ = -1;
    int slot_ = -1;  // in the table of files the signal handler removes
    bool stdout_ = false;
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

// Catches interrupt, terminate, hang-up and broken pipe, which then remove
// every temporary file being written before the program dies of them, and
// the file-size limit signal (SIGXFSZ), so that the write meeting the limit
// fails with "File too large" instead of killing the program silently.
// Creating an output file installs them too; the program calls this at
// start-up, before any thread, so that standard output is covered as well.
void install_output_signal_handlers();

}  // namespace kestrune::cli
