#include "output/output_file.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include "kestrune/export.h"
#include "text.h"

namespace kestrune::output {

namespace {

// The temporary files being written, removed by the signal handler when
// the program is interrupted. Several exports may run at once (one per
// slot); a slot is claimed before its path is stored and published by
// `used` only once the path is complete.
constexpr int kSlots = 64;
struct Pending {
    std::atomic<int> state{0};  // 0 free, 1 claimed, 2 holds a path
    char path[4096];
};
Pending g_pending[kSlots];

extern "C" void remove_pending_and_die(int sig) {
    for (Pending& p : g_pending)
        if (p.state.load() == 2) ::unlink(p.path);
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

// The write that meets the file-size limit then fails with EFBIG, which is
// reported like any other write error (and the temporary file removed).
extern "C" void note_file_size_limit(int) {}

void install_handlers() {
    static std::atomic<bool> installed{false};
    if (installed.exchange(true)) return;
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) std::signal(sig, remove_pending_and_die);
    std::signal(SIGXFSZ, note_file_size_limit);
}

// The process's file-creation mask, read once: reading it means setting it,
// which must not race with files being created by other exports.
mode_t creation_mask() {
    static const mode_t mask = [] {
        const mode_t m = ::umask(0);
        ::umask(m);
        return m;
    }();
    return mask;
}

// The slot holding `p`, or -1 when the path is too long or every slot is
// taken (the file is then not removed on signals).
int set_pending(const std::filesystem::path& p) {
    install_handlers();
    const std::string& s = p.native();
    if (s.size() >= sizeof g_pending[0].path) return -1;
    for (int i = 0; i < kSlots; ++i) {
        int expected = 0;
        if (!g_pending[i].state.compare_exchange_strong(expected, 1)) continue;
        std::memcpy(g_pending[i].path, s.c_str(), s.size() + 1);
        g_pending[i].state.store(2);
        return i;
    }
    return -1;
}

void clear_pending(int slot) noexcept {
    if (slot >= 0) g_pending[slot].state.store(0);
}

}  // namespace

}  // namespace kestrune::output

namespace kestrune {

void install_output_signal_handlers() {
    output::install_handlers();
    output::creation_mask();
}

}  // namespace kestrune

namespace kestrune::output {

Error write_error(const std::filesystem::path& what, int os_errno) {
    return Error::context(fmt::format("writing {}", text::quoted(text::path_text(what))), Error::io(os_errno));
}

OutputFile::OutputFile(std::filesystem::path target, std::filesystem::path temp, int fd, int slot)
    : target_(std::move(target)), temp_(std::move(temp)), fd_(fd), slot_(slot), buffer_(kWriteBufferBytes) {}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : target_(std::move(other.target_)),
      temp_(std::move(other.temp_)),
      fd_(other.fd_),
      slot_(other.slot_),
      errno_(other.errno_),
      buffer_(std::move(other.buffer_)),
      used_(other.used_),
      written_(other.written_),
      writeback_from_(other.writeback_from_) {
    other.fd_ = -1;
    other.slot_ = -1;
    other.temp_.clear();
}

Result<OutputFile> OutputFile::create(const std::filesystem::path& target) {
    install_handlers();
    std::filesystem::path dir = target.parent_path();
    if (dir.empty()) dir = ".";
    const std::string name = target.filename().native();
    if (name.empty() || name == "." || name == "..")
        return parse_error(fmt::format("output path {} does not name a file", text::quoted(text::path_text(target))));
    // A directory in the way is found now, not by the rename at the end.
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return fail(write_error(target, EISDIR));
    std::string pattern = (dir / ("." + name + ".tmp-XXXXXX")).native();
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) return fail(write_error(target, errno));
    const int slot = set_pending(pattern);
    // mkstemp creates the file readable by the owner only; give it the
    // permissions a plainly created file would have.
    ::fchmod(fd, 0666 & ~creation_mask());
    return OutputFile(target, std::filesystem::path(pattern), fd, slot);
}

OutputFile::~OutputFile() { discard(); }

void OutputFile::discard() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!temp_.empty()) {
        ::unlink(temp_.c_str());
        temp_.clear();
    }
    clear_pending(slot_);
    slot_ = -1;
}

void OutputFile::write_through(std::string_view bytes) {
    while (!bytes.empty() && errno_ == 0) {
        const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            errno_ = errno;
        } else {
            bytes.remove_prefix(std::size_t(n));
            written_ += std::uint64_t(n);
        }
    }
    // The disk starts on what is written while the export goes on, so that
    // the sync at the end does not wait for all of it. Only a hint: where the
    // file system does not take it, the sync does the work.
    if (written_ - writeback_from_ >= kWritebackChunk) {
        ::sync_file_range(fd_, off_t(writeback_from_), off_t(written_ - writeback_from_), SYNC_FILE_RANGE_WRITE);
        writeback_from_ = written_;
    }
}

void OutputFile::flush_buffer() {
    write_through({buffer_.data(), used_});
    used_ = 0;
}

void OutputFile::write(std::string_view bytes) {
    if (errno_ != 0 || fd_ < 0) return;
    // Text of a buffer's size or more goes to the file without the copy.
    if (bytes.size() >= buffer_.size()) {
        flush_buffer();
        write_through(bytes);
        return;
    }
    while (!bytes.empty() && errno_ == 0) {
        if (used_ == buffer_.size()) flush_buffer();
        const std::size_t take = std::min(bytes.size(), buffer_.size() - used_);
        std::memcpy(buffer_.data() + used_, bytes.data(), take);
        used_ += take;
        bytes.remove_prefix(take);
    }
}

Error OutputFile::error() const { return write_error(target_, errno_ != 0 ? errno_ : EIO); }

Result<void> OutputFile::commit() {
    if (fd_ < 0) return parse_error("output file already closed");
    flush_buffer();
    if (errno_ == 0 && ::fsync(fd_) != 0) errno_ = errno;
    if (::close(fd_) != 0 && errno_ == 0) errno_ = errno;
    fd_ = -1;
    if (errno_ == 0 && ::rename(temp_.c_str(), target_.c_str()) != 0) errno_ = errno;
    if (errno_ != 0) {
        Error e = error();
        discard();
        return fail(std::move(e));
    }
    temp_.clear();
    clear_pending(slot_);
    slot_ = -1;
    return {};
}

}  // namespace kestrune::output
