// The read-only promise at the output side: an output path that lands in
// a run directory being read (or on the directory itself) is refused before
// anything is written.
#pragma once

#include <filesystem>

#include "error.h"

namespace kestrune::output {

// Whether `output` resolves (symbolic links followed, ".." and relative
// parts taken against the current directory) to `run_dir`, to anything
// below it, or to a directory entry whose parent is one of them. Both the
// path as written and the target of an existing symbolic link are checked,
// and the resolved parent directories are also compared by device and
// inode with the run directory, which catches bind mounts.
bool output_in_run(const std::filesystem::path& output, const std::filesystem::path& run_dir);

// An error naming both paths when output_in_run is true.
Result<void> refuse_output_in_run(const std::filesystem::path& output, const std::filesystem::path& run_dir);

}  // namespace kestrune::output
