#include "output_file.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include "text.h"

namespace kestrune::cli {

namespace {

constexpr std::size_t kBufferSize = 1 << 20;

// The temporary file of the export in progress, removed by the signal
// handler when the user interrupts the program. One export runs at a time.
char g_pending[4096];
volatile std::sig_atomic_t g_has_pending = 0;

extern "C" void remove_pending_and_die(int sig) {
    if (g_has_pending) ::unlink(g_pending);
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

void set_pending(const std::filesystem::path& p) {
    const std::string& s = p.native();
    if (s.size() >= sizeof g_pending) return;  // too long to keep; no cleanup on signals
    std::memcpy(g_pending, s.c_str(), s.size() + 1);
    g_has_pending = 1;
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) std::signal(sig, remove_pending_and_die);
}

void clear_pending() noexcept { g_has_pending = 0; }

}  // namespace

OutputFile::OutputFile(std::filesystem::path target, std::filesystem::path temp, int fd)
    : target_(std::move(target)), temp_(std::move(temp)), fd_(fd), buffer_(kBufferSize) {}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : target_(std::move(other.target_)),
      temp_(std::move(other.temp_)),
      fd_(other.fd_),
      errno_(other.errno_),
      buffer_(std::move(other.buffer_)),
      used_(other.used_) {
    other.fd_ = -1;
    other.temp_.clear();
}

Result<OutputFile> OutputFile::create(const std::filesystem::path& target) {
    std::filesystem::path dir = target.parent_path();
    if (dir.empty()) dir = ".";
    const std::string name = target.filename().native();
    if (name.empty() || name == "." || name == "..")
        return parse_error(fmt::format("output path {} does not name a file", target));
    std::string pattern = (dir / ("." + name + ".tmp-XXXXXX")).native();
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) return fail(Error::context(fmt::format("creating a file in {}", dir), Error::io(errno)));
    // mkstemp creates the file readable by the owner only; give it the
    // permissions a plainly created file would have.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
    set_pending(pattern);
    return OutputFile(target, std::filesystem::path(pattern), fd);
}

OutputFile::~OutputFile() { discard(); }

void OutputFile::discard() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!temp_.empty()) {
        ::unlink(temp_.c_str());
        temp_.clear();
        clear_pending();
    }
}

void OutputFile::flush_buffer() {
    std::size_t done = 0;
    while (done < used_ && errno_ == 0) {
        const ssize_t n = ::write(fd_, buffer_.data() + done, used_ - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            errno_ = errno;
        } else {
            done += std::size_t(n);
        }
    }
    used_ = 0;
}

void OutputFile::write(std::string_view bytes) {
    if (errno_ != 0 || fd_ < 0) return;
    while (!bytes.empty()) {
        if (used_ == buffer_.size()) flush_buffer();
        const std::size_t take = std::min(bytes.size(), buffer_.size() - used_);
        std::memcpy(buffer_.data() + used_, bytes.data(), take);
        used_ += take;
        bytes.remove_prefix(take);
    }
}

Result<void> OutputFile::commit() {
    if (fd_ < 0) return parse_error("output file already closed");
    flush_buffer();
    if (errno_ == 0 && ::fsync(fd_) != 0) errno_ = errno;
    if (::close(fd_) != 0 && errno_ == 0) errno_ = errno;
    fd_ = -1;
    if (errno_ == 0 && ::rename(temp_.c_str(), target_.c_str()) != 0) errno_ = errno;
    if (errno_ != 0) {
        const int e = errno_;
        discard();
        return fail(Error::context(fmt::format("writing {}", target_), Error::io(e)));
    }
    temp_.clear();
    clear_pending();
    return {};
}

}  // namespace kestrune::cli
