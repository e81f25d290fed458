// An output file that appears only when complete: written as an unnamed
// file in the target's directory (O_TMPFILE) and given its name at the end,
// so that nothing is left behind by a failure, an interrupt or SIGKILL; an
// old file of that name stays intact until the new one replaces it. Where
// the file system has no unnamed files, a hidden temporary name beside the
// target is used instead and removed on failure and on the catchable
// signals. A target that is a device or a FIFO is written directly (never
// replaced); a symbolic link's target is replaced, not the link.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

#include "error.h"
#include "output/sink.h"

namespace kestrune::output {

// The system calls of an output file: tests swap in their own to reach
// every failure path.
struct SystemCalls {
    int (*open)(const char* path, int flags, mode_t mode);
    int (*mkstemp)(char* pattern);
    ssize_t (*write)(int fd, const void* data, std::size_t size);
    int (*fsync)(int fd);
    int (*close)(int fd);
    int (*rename)(const char* from, const char* to);
    int (*linkat)(int from_dir, const char* from, int to_dir, const char* to, int flags);
    int (*unlink)(const char* path);
    int (*fchmod)(int fd, mode_t mode);
};
// The calls in use; the system's unless a test replaced them.
const SystemCalls& system_calls() noexcept;
// Replaces the calls (tests only; not while files are being written) and
// returns the previous ones.
SystemCalls replace_system_calls(const SystemCalls& calls) noexcept;

class OutputFile final : public ByteSink {
public:
    // Opens the output for `target`. A target that is an existing directory,
    // or whose directory cannot be written, fails here, before any work.
    static Result<OutputFile> create(const std::filesystem::path& target);
    // Whether an output to `target` could be created, leaving no trace (a
    // device or FIFO is not opened: its permission is checked).
    static Result<void> probe(const std::filesystem::path& target);

    OutputFile(OutputFile&& other) noexcept;
    OutputFile& operator=(OutputFile&&) = delete;
    ~OutputFile() override;  // discards the file unless committed

    // Buffered. After the first failure nothing more is written; `failed`
    // tells, and `error` / `commit` report it.
    void write(std::string_view bytes) override;
    bool failed() const noexcept override { return errno_ != 0; }
    // The first write failure, naming the file and the cause.
    Error error() const;
    // Flushes, syncs and closes the file, then gives it the target's name
    // (a device or FIFO: flushes and closes).
    Result<void> commit();

    // How the file is being written.
    enum class Mode { Unnamed, Temporary, Direct };
    Mode mode() const noexcept { return mode_; }

private:
    OutputFile(std::filesystem::path target, std::filesystem::path temp, int fd, int slot, Mode mode);
    void flush_buffer();
    void write_through(std::string_view bytes);
    void discard() noexcept;
    int link_unnamed_file();

    std::filesystem::path target_;  // the name the file gets (a link's target)
    std::filesystem::path temp_;    // its hidden name while written (Temporary) or before the rename
    int fd_ = -1;
    int slot_ = -1;  // in the table of files the signal handler removes
    Mode mode_ = Mode::Unnamed;
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

// The path whose file an output to `target` writes: symbolic links followed
// to the file they name (which need not exist), the rest as given.
std::filesystem::path final_target(const std::filesystem::path& target);

}  // namespace kestrune::output
