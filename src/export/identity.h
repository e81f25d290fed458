// What an export was made from and with, recorded in the file so that
// `export -O` can tell an output made from the same run files with the same
// options from one it must make again.
#pragma once

#include <filesystem>
#include <string>

#include "error.h"
#include "kestrune/export.h"

namespace kestrune::exporting {

// The options that shape the output, as "key=value" items joined by ';'
// (threads leave the bytes alone and are not among them).
std::string options_fingerprint(const ExportOptions& o);

// The run's files as the file system describes them: the SHA-1 of every
// regular file's name, size and modification time in name order. Cheap to
// take (no file is read); it changes when a file is changed, added,
// removed, or restored with other times.
Result<std::string> source_identity(const std::filesystem::path& run_dir);

// The names of the user parameters that hold them in the mzML.
inline constexpr std::string_view kOptionsParam = "kestrune export options";
inline constexpr std::string_view kSourceParam = "kestrune source identity";

}  // namespace kestrune::exporting
