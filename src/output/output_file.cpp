#include "output/output_file.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include "kestrune/export.h"
#include "text.h"

namespace kestrune::output {

namespace {

ssize_t system_write(int fd, const void* data, std::size_t size) { return ::write(fd, data, size); }
int system_open(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }

SystemCalls g_calls{system_open, ::mkstemp, system_write, ::fsync, ::close, ::rename, ::linkat, ::unlink, ::fchmod};

// The hidden temporary files being written where unnamed files cannot be
// had, removed by the signal handler when the program is interrupted.
// Several exports may run at once (one per slot); a slot is claimed before
// its path is stored and published only once the path is complete.
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
// reported like any other write error.
extern "C" void note_file_size_limit(int) {}

// The handler for `sig`, unless its disposition is to be ignored: a caller
// that ignores hang-up (nohup) or interrupt (a background job) keeps it so.
void handle_unless_ignored(int sig, void (*handler)(int)) {
    struct sigaction old {};
    if (::sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) return;
    struct sigaction act {};
    act.sa_handler = handler;
    ::sigemptyset(&act.sa_mask);
    ::sigaction(sig, &act, nullptr);
}

void install_handlers() {
    static std::atomic<bool> installed{false};
    if (installed.exchange(true)) return;
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) handle_unless_ignored(sig, remove_pending_and_die);
    handle_unless_ignored(SIGXFSZ, note_file_size_limit);
    // A closed pipe is a failed write (exit status 1 with the reason), not
    // a death by signal.
    std::signal(SIGPIPE, SIG_IGN);
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

// The signals that would remove or abandon a file while it gets its name,
// held back for those few calls.
class SignalsHeld {
public:
    SignalsHeld() {
        sigset_t set;
        ::sigemptyset(&set);
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) ::sigaddset(&set, sig);
        ::pthread_sigmask(SIG_BLOCK, &set, &old_);
    }
    ~SignalsHeld() { ::pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;

private:
    sigset_t old_;
};

// The slot holding `p`, or -1 when the path is too long or every slot is
// taken (the file is then not removed on signals).
int set_pending(const std::string& s) {
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

// A name beside the target no other file has: ".NAME.tmp-XXXXXX" filled in.
std::string temporary_pattern(const std::filesystem::path& target) {
    std::filesystem::path dir = target.parent_path();
    if (dir.empty()) dir = ".";
    return (dir / ("." + target.filename().native() + ".tmp-XXXXXX")).native();
}

// The pattern's last six characters replaced by letters and digits that
// differ from call to call and from process to process.
std::string unique_name(std::string pattern) {
    static constexpr std::string_view kDigits = "abcdefghijklmnopqrstuvwxyz0123456789";
    static std::atomic<std::uint64_t> counter{0};
    std::uint64_t n = (counter.fetch_add(1) + 1) * 0x9E3779B97F4A7C15ull ^ std::uint64_t(::getpid()) << 20;
    for (std::size_t k = pattern.size() - 6; k < pattern.size(); ++k, n /= kDigits.size())
        pattern[k] = kDigits[n % kDigits.size()];
    return pattern;
}

}  // namespace

const SystemCalls& system_calls() noexcept { return g_calls; }

SystemCalls replace_system_calls(const SystemCalls& calls) noexcept {
    const SystemCalls old = g_calls;
    g_calls = calls;
    return old;
}

std::filesystem::path final_target(const std::filesystem::path& target) {
    std::filesystem::path p = target;
    for (int hops = 0; hops < 40; ++hops) {
        std::error_code ec;
        if (!std::filesystem::is_symlink(p, ec)) return p;
        const std::filesystem::path link = std::filesystem::read_symlink(p, ec);
        if (ec) return p;
        p = link.is_absolute() ? link : p.parent_path() / link;
    }
    return p;
}

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

OutputFile::OutputFile(std::filesystem::path target, std::filesystem::path temp, int fd, int slot, Mode mode)
    : target_(std::move(target)),
      temp_(std::move(temp)),
      fd_(fd),
      slot_(slot),
      mode_(mode),
      buffer_(kWriteBufferBytes) {}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : target_(std::move(other.target_)),
      temp_(std::move(other.temp_)),
      fd_(other.fd_),
      slot_(other.slot_),
      mode_(other.mode_),
      errno_(other.errno_),
      buffer_(std::move(other.buffer_)),
      used_(other.used_),
      written_(other.written_),
      writeback_from_(other.writeback_from_) {
    other.fd_ = -1;
    other.slot_ = -1;
    other.temp_.clear();
}

Result<OutputFile> OutputFile::create(const std::filesystem::path& given) {
    install_handlers();
    const std::string name = given.filename().native();
    if (name.empty() || name == "." || name == "..")
        return parse_error(fmt::format("output path {} does not name a file", text::quoted(text::path_text(given))));
    const std::filesystem::path target = final_target(given);
    const SystemCalls& sys = system_calls();
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0) {
        // A directory in the way is found now, not by the rename at the end.
        if (S_ISDIR(st.st_mode)) return fail(write_error(given, EISDIR));
        // A device or a FIFO is written as it is, never replaced.
        if (!S_ISREG(st.st_mode)) {
            const int fd = sys.open(target.c_str(), O_WRONLY | O_CLOEXEC, 0);
            if (fd < 0) return fail(write_error(given, errno));
            return OutputFile(given, {}, fd, -1, Mode::Direct);
        }
    }
    std::filesystem::path dir = target.parent_path();
    if (dir.empty()) dir = ".";
    // The file has no name until it is complete: nothing to clean up after
    // any end of the program. Naming it needs /proc.
    if (::access("/proc/self/fd", X_OK) == 0) {
        const int fd = sys.open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666 & ~creation_mask());
        if (fd >= 0) return OutputFile(given, {}, fd, -1, Mode::Unnamed);
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return fail(write_error(given, errno));
    }
    // A hidden temporary name, registered for removal on a signal before a
    // signal can find it unregistered.
    std::string pattern = temporary_pattern(target);
    int fd = -1, slot = -1;
    {
        const SignalsHeld held;
        fd = sys.mkstemp(pattern.data());
        if (fd < 0) return fail(write_error(given, errno));
        slot = set_pending(pattern);
    }
    // mkstemp creates the file readable by the owner only; give it the
    // permissions a plainly created file would have.
    if (sys.fchmod(fd, 0666 & ~creation_mask()) != 0) {
        const int e = errno;
        OutputFile discarded(given, std::filesystem::path(pattern), fd, slot, Mode::Temporary);
        return fail(write_error(given, e));
    }
    return OutputFile(given, std::filesystem::path(pattern), fd, slot, Mode::Temporary);
}

Result<void> OutputFile::probe(const std::filesystem::path& given) {
    const std::filesystem::path target = final_target(given);
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0 && !S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) {
        // Opening a FIFO would wait for its reader: only the permission.
        if (::access(target.c_str(), W_OK) != 0) return fail(write_error(given, errno));
        return {};
    }
    auto file = create(given);
    if (!file) return fail(std::move(file.error()));
    return {};
}

OutputFile::~OutputFile() { discard(); }

void OutputFile::discard() noexcept {
    const SystemCalls& sys = system_calls();
    // Ignoring errors on purpose: the file is abandoned, its name (if any)
    // removed; nothing is left to report to.
    if (fd_ >= 0) sys.close(fd_);
    fd_ = -1;
    if (!temp_.empty()) {
        sys.unlink(temp_.c_str());
        temp_.clear();
    }
    clear_pending(slot_);
    slot_ = -1;
}

void OutputFile::write_through(std::string_view bytes) {
    while (!bytes.empty() && errno_ == 0) {
        const ssize_t n = system_calls().write(fd_, bytes.data(), bytes.size());
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
    if (mode_ != Mode::Direct && written_ - writeback_from_ >= kWritebackChunk) {
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

// Links the unnamed file under a hidden temporary name beside the target,
// which is renamed onto the target once the file is closed; the signals
// that would leave that name behind are held from here to the rename.
int OutputFile::link_unnamed_file() {
    const SystemCalls& sys = system_calls();
    const std::string pattern = temporary_pattern(final_target(target_));
    const std::string proc = fmt::format("/proc/self/fd/{}", fd_);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = unique_name(pattern);
        if (sys.linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            temp_ = std::move(name);
            return 0;
        }
        if (errno != EEXIST) return errno;
    }
    return EEXIST;
}

Result<void> OutputFile::commit() {
    if (fd_ < 0) return parse_error("output file already closed");
    const SystemCalls& sys = system_calls();
    flush_buffer();
    // A device or FIFO need not support fsync; its writes are done.
    if (errno_ == 0 && mode_ != Mode::Direct && sys.fsync(fd_) != 0) errno_ = errno;
    const SignalsHeld held;
    if (errno_ == 0 && mode_ == Mode::Unnamed) errno_ = link_unnamed_file();
    if (sys.close(fd_) != 0 && errno_ == 0) errno_ = errno;
    fd_ = -1;
    if (errno_ == 0 && !temp_.empty() && sys.rename(temp_.c_str(), final_target(target_).c_str()) != 0)
        errno_ = errno;
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
