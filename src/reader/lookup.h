// Case-tolerant lookup of the files of a run directory.
#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

#include "error.h"

namespace kestrune::reader {

// The target of the reader's log records.
inline constexpr std::string_view kTarget = "kestrune::reader";

// Whether a lookup logs what it chose (the reader's lookups) or stays silent
// and reports a failed listing without context (the extension's own lookup).
enum class LookupMode { Logged, Silent };

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
