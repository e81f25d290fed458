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

// Whether the entry is a regular file, not following symbolic links.
Result<bool> is_regular_entry(DIR* dir, const dirent& entry) {
    if (entry.d_type != DT_UNKNOWN) return entry.d_type == DT_REG;
    struct stat st {};
    if (::fstatat(::dirfd(dir), entry.d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) return fail(Error::io(errno));
    return S_ISREG(st.st_mode);
}

}  // namespace

Result<std::optional<std::filesystem::path>> find_file(const std::filesystem::path& dir,
                                                       std::string_view name, LookupMode mode) {
    const std::string key = text::ascii_upper(name);
    Dir listing(::opendir(dir.c_str()));
    if (listing.get() == nullptr) {
        Error io = Error::io(errno);
        if (mode == LookupMode::Silent) return fail(std::move(io));
        return fail(Error::context(fmt::format("listing {}", dir), std::move(io)));
    }
    std::optional<std::filesystem::path> prefixed;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(listing.get());
        if (entry == nullptr) {
            if (errno != 0) return fail(Error::io(errno));
            break;
        }
        auto regular = is_regular_entry(listing.get(), *entry);
        if (!regular) return fail(std::move(regular.error()));
        if (!*regular) continue;
        const std::string_view own_name(entry->d_name);
        const std::string entry_key = text::ascii_upper(text::lossy_utf8(own_name));
        if (entry_key == key) {
            std::filesystem::path found = dir / own_name;
            if (mode == LookupMode::Logged && own_name != name)
                log_trace(kTarget, "{}: using differently cased {}", name, found);
            return found;
        }
        if (entry_key.ends_with(key)) {
            if (prefixed) return parse_error(fmt::format("multiple files match {} in {}", name, dir));
            prefixed = dir / own_name;
        }
    }
    if (prefixed && mode == LookupMode::Logged) log_debug(kTarget, "{}: using prefixed {}", name, *prefixed);
    return prefixed;
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
