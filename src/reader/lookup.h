// Case-tolerant lookup of the files of a run directory.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "error.h"

namespace kestrune::reader {

// The target of the reader's log records.
inline constexpr std::string_view kTarget = "kestrune::reader";

// Whether a lookup logs what it chose (the reader's lookups) or stays silent
// and reports a failed listing without context (the extension's own lookup).
enum class LookupMode { Logged, Silent };

// The entries of a run directory, listed once: the regular files (with
// `follow_links`, also the symbolic links to regular files), in the order
// the directory gives them, for any number of lookups.
class DirListing {
public:
    // A failed listing is "listing {}" around the Io error (bare when Silent).
    static Result<DirListing> read(const std::filesystem::path& dir, bool follow_links,
                                   LookupMode mode = LookupMode::Logged);
    // The lookup of find_file over this listing.
    Result<std::optional<std::filesystem::path>> find(std::string_view name,
                                                      LookupMode mode = LookupMode::Logged) const;
    // find, with nothing found being "required file {} missing in {}".
    Result<std::filesystem::path> required(std::string_view name) const;

private:
    struct Entry {
        std::string name;
        std::string key;     // the name, ASCII upper case
        int stat_errno = 0;  // its type could not be read: the error a lookup reaching it returns
    };
    // The walk of find_file over the entries at `positions` (ascending),
    // every other entry known not to match.
    Result<std::optional<std::filesystem::path>> walk(std::string_view name, const std::string& key,
                                                      const std::vector<std::size_t>& positions,
                                                      LookupMode mode) const;

    std::filesystem::path dir_;
    std::vector<Entry> entries_;
    // The entries by each ending of their key that starts at a '_' (the
    // names a run's lookups ask for all start so), in listing order: a
    // lookup touches only the entries that may match it.
    std::unordered_map<std::string, std::vector<std::size_t>> by_ending_;
    std::vector<std::size_t> unreadable_;  // entries whose type could not be read
    int end_error_ = 0;  // the listing ended with an error here
};

// Finds the regular file of `dir` named `name`, ignoring ASCII letter case;
// failing an exact match, the one file whose name ends with `name`. An exact
// match ends the walk, unless a second prefixed match was met before it
// ("multiple files match {} in {}"). Nothing found is an empty result.
Result<std::optional<std::filesystem::path>> find_file(const std::filesystem::path& dir,
                                                       std::string_view name,
                                                       LookupMode mode = LookupMode::Logged);

// find_file, with nothing found being "required file {} missing in {}".
Result<std::filesystem::path> required_file(const std::filesystem::path& dir, std::string_view name);

// "_FUNC" + n zero-padded to at least three digits + suffix (".IDX", ...).
std::string function_file_name(std::uint64_t n, std::string_view suffix);

}  // namespace kestrune::reader
