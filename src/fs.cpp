#include "fs.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>

namespace kestrune::fs {

namespace {

constexpr std::uint64_t kUncheckedRange = std::uint64_t{1} << 20;

}  // namespace

Result<File> File::open(const std::filesystem::path& path) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return fail(Error::io(errno));
    return File(fd);
}

File::~File() {
    if (fd_ >= 0) ::close(fd_);
}

Result<std::size_t> File::read_full(std::uint8_t* dst, std::size_t n, std::optional<off_t> offset) const {
    std::size_t done = 0;
    while (done < n) {
        const ssize_t got = offset ? ::pread(fd_, dst + done, n - done, *offset + static_cast<off_t>(done))
                                   : ::read(fd_, dst + done, n - done);
        if (got < 0) {
            if (errno == EINTR) continue;
            return fail(Error::io(errno));
        }
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return done;
}

Result<std::vector<std::uint8_t>> read_file(const std::filesystem::path& path) {
    auto file = File::open(path);
    if (!file) return fail(std::move(file.error()));
    struct stat st {};
    if (::fstat(file->fd(), &st) != 0) return fail(Error::io(errno));
    // Read what the size promises, then whatever the file grew by since.
    std::vector<std::uint8_t> buf;
    std::size_t expected = S_ISREG(st.st_mode) && st.st_size > 0 ? static_cast<std::size_t>(st.st_size) : 0;
    std::size_t filled = 0;
    if (expected > 0) {
        buf.resize(expected);
        auto got = file->read_full(buf.data(), expected);
        if (!got) return fail(std::move(got.error()));
        filled = *got;
        buf.resize(filled);
        if (filled < expected) return buf;
    }
    // Further data goes through a small buffer first, so that a file that
    // ends where its size said does not cost a grown copy of the whole image.
    std::uint8_t chunk[8192];
    for (;;) {
        auto got = file->read_full(chunk, sizeof chunk);
        if (!got) return fail(std::move(got.error()));
        buf.insert(buf.end(), chunk, chunk + *got);
        if (*got < sizeof chunk) break;
    }
    return buf;
}

Result<Buffer> read_range(const std::filesystem::path& path, std::uint64_t offset, std::uint64_t length) {
    auto file = File::open(path);
    if (!file) return fail(std::move(file.error()));
    constexpr auto kMaxOffset = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());
    if (offset > kMaxOffset) return fail(Error::io(EINVAL));
    // No file reaches past the largest offset.
    if (length > kMaxOffset - offset) return fail(Error::io_short_read());
    // A large range is checked against the file's size before a buffer is
    // sized after a length taken from file contents: one that the file
    // cannot hold is a short read. Small ranges skip the extra system call
    // (a scan's read is the hot path) and learn the same from the read.
    bool regular = true;
    if (length > kUncheckedRange) {
        struct stat st {};
        if (::fstat(file->fd(), &st) != 0) return fail(Error::io(errno));
        regular = S_ISREG(st.st_mode);
        const auto size = static_cast<std::uint64_t>(st.st_size);
        if (regular && (offset > size || length > size - offset)) return fail(Error::io_short_read());
    }
    if (length > std::numeric_limits<std::size_t>::max() / 2) return fail(Error::io(ENOMEM));
    const auto n = static_cast<std::size_t>(length);
    if (regular) {
        Buffer buf(n);
        auto got = file->read_full(buf.data(), n, static_cast<off_t>(offset));
        if (!got) return fail(std::move(got.error()));
        if (*got != n) return fail(Error::io_short_read());
        return buf;
    }
    // Anything else has no size to trust: grow the buffer with the data.
    if (::lseek(file->fd(), static_cast<off_t>(offset), SEEK_SET) < 0) return fail(Error::io(errno));
    constexpr std::size_t kChunk = std::size_t{1} << 20;
    std::vector<std::uint8_t> grown;
    while (grown.size() < n) {
        const std::size_t filled = grown.size();
        const std::size_t want = std::min(kChunk, n - filled);
        grown.resize(filled + want);
        auto got = file->read_full(grown.data() + filled, want);
        if (!got) return fail(std::move(got.error()));
        if (*got != want) return fail(Error::io_short_read());
    }
    Buffer buf(n);
    if (n > 0) std::memcpy(buf.data(), grown.data(), n);
    return buf;
}

Result<std::uint64_t> file_size(const std::filesystem::path& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return fail(Error::io(errno));
    return static_cast<std::uint64_t>(st.st_size);
}

bool is_directory(const std::filesystem::path& path) noexcept {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace kestrune::fs
