// An output file written under a temporary name in its target directory and
// renamed into place only when complete: a failed or interrupted run leaves
// nothing behind.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"
#include "mzml_writer.h"

namespace kestrune::cli {

class OutputFile final : public ByteSink {
public:
    // Creates the temporary file next to `target`.
    static Result<OutputFile> create(const std::filesystem::path& target);

    OutputFile(OutputFile&& other) noexcept;
    OutputFile& operator=(OutputFile&&) = delete;
    ~OutputFile() override;  // removes the temporary file unless committed

    // Buffered; the first failure is kept and reported by commit.
    void write(std::string_view bytes) override;
    // Flushes, syncs and closes the file, then renames it to the target.
    Result<void> commit();

    const std::filesystem::path& temp_path() const noexcept { return temp_; }

private:
    OutputFile(std::filesystem::path target, std::filesystem::path temp, int fd);
    void flush_buffer();
    void discard() noexcept;

    std::filesystem::path target_;
    std::filesystem::path temp_;
    int fd_ = -1;
    int errno_ = 0;  // first write failure
    std::vector<char> buffer_;
    std::size_t used_ = 0;
};

}  // namespace kestrune::cli
