#include "reader/lookup.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include "log.h"
#include "text.h"

namespace kestrune::reader {

namespace {

class Dir {
public:
    explicit Dir(DIR* d) : d_(d) {}
    Dir(const Dir&) = delete;
    Dir& operator=(const Dir&) = delete;
    ~Dir() {
        if (d_ != nullptr) ::closedir(d_);
    }
    DIR* get() const { return d_; }

private:
    DIR* d_;
};

// Whether the entry is a regular file, not following symbolic links (or,
// with `follow`, a symbolic link to a regular file).
Result<bool> is_regular_entry(DIR* dir, const dirent& entry, bool follow) {
    if (entry.d_type != DT_UNKNOWN && !(follow && entry.d_type == DT_LNK)) return entry.d_type == DT_REG;
    struct stat st {};
    if (::fstatat(::dirfd(dir), entry.d_name, &st, follow ? 0 : AT_SYMLINK_NOFOLLOW) != 0) {
        // A link to nothing is no file; any other failure is an error.
        if (follow && errno == ENOENT) return false;
        return fail(Error::io(errno));
    }
    return S_ISREG(st.st_mode);
}

}  // namespace

Result<DirListing> DirListing::read(const std::filesystem::path& dir, bool follow_links, LookupMode mode) {
    DirListing out;
    out.dir_ = dir;
    Dir listing(::opendir(dir.c_str()));
    if (listing.get() == nullptr) {
        Error io = Error::io(errno);
        if (mode == LookupMode::Silent) return fail(std::move(io));
        return fail(Error::context(fmt::format("listing {}", dir), std::move(io)));
    }
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(listing.get());
        if (entry == nullptr) {
            // Reported by the lookup that reaches the end of the listing.
            if (errno != 0) out.end_error_ = errno;
            break;
        }
        auto regular = is_regular_entry(listing.get(), *entry, follow_links);
        if (regular && !*regular) continue;
        const std::string name(entry->d_name);
        const std::size_t at = out.entries_.size();
        out.entries_.push_back({name, text::ascii_upper(text::lossy_utf8(name)), regular ? 0 : regular.error().os_errno()});
        if (!regular) {
            out.unreadable_.push_back(at);
            continue;
        }
        const std::string& key = out.entries_.back().key;
        for (std::size_t p = key.find('_'); p != std::string::npos; p = key.find('_', p + 1))
            out.by_ending_[key.substr(p)].push_back(at);
    }
    return out;
}

Result<std::optional<std::filesystem::path>> DirListing::walk(std::string_view name, const std::string& key,
                                                             const std::vector<std::size_t>& positions,
                                                             LookupMode mode) const {
    std::optional<std::filesystem::path> prefixed;
    // An unreadable entry before the walk's end is the walk's error.
    const auto unreadable_before = [&](std::size_t end) -> std::optional<Error> {
        if (unreadable_.empty() || unreadable_.front() >= end) return std::nullopt;
        return Error::io(entries_[unreadable_.front()].stat_errno);
    };
    for (std::size_t at : positions) {
        const Entry& e = entries_[at];
        if (e.key == key) {
            if (auto err = unreadable_before(at)) return fail(std::move(*err));
            std::filesystem::path found = dir_ / e.name;
            if (mode == LookupMode::Logged && e.name != name)
                log_trace(kTarget, "{}: using differently cased {}", name, found);
            return found;
        }
        if (e.key.ends_with(key)) {
            if (auto err = unreadable_before(at)) return fail(std::move(*err));
            if (prefixed) return parse_error(fmt::format("multiple files match {} in {}", name, dir_));
            prefixed = dir_ / e.name;
        }
    }
    if (auto err = unreadable_before(entries_.size())) return fail(std::move(*err));
    if (end_error_ != 0) return fail(Error::io(end_error_));
    if (prefixed && mode == LookupMode::Logged) log_debug(kTarget, "{}: using prefixed {}", name, *prefixed);
    return prefixed;
}

Result<std::optional<std::filesystem::path>> DirListing::find(std::string_view name, LookupMode mode) const {
    const std::string key = text::ascii_upper(name);
    if (key.starts_with('_')) {
        static const std::vector<std::size_t> kNone;
        const auto it = by_ending_.find(key);
        return walk(name, key, it == by_ending_.end() ? kNone : it->second, mode);
    }
    std::vector<std::size_t> every(entries_.size());
    for (std::size_t i = 0; i < every.size(); ++i) every[i] = i;
    return walk(name, key, every, mode);
}

Result<std::optional<std::filesystem::path>> find_file(const std::filesystem::path& dir,
                                                       std::string_view name, LookupMode mode) {
    auto listing = DirListing::read(dir, false, mode);
    if (!listing) return fail(std::move(listing.error()));
    return listing->find(name, mode);
}

Result<std::filesystem::path> DirListing::required(std::string_view name) const {
    auto found = find(name);
    if (!found) return fail(std::move(found.error()));
    if (!*found) return parse_error(fmt::format("required file {} missing in {}", name, dir_));
    return std::move(**found);
}

Result<std::filesystem::path> required_file(const std::filesystem::path& dir, std::string_view name) {
    auto found = find_file(dir, name);
    if (!found) return fail(std::move(found.error()));
    if (!*found) return parse_error(fmt::format("required file {} missing in {}", name, dir));
    return std::move(**found);
}

std::string function_file_name(std::uint64_t n, std::string_view suffix) {
    return fmt::format("_FUNC{:03}{}", n, suffix);
}

}  // namespace kestrune::reader
