// `kestrune qc`: an HTML quality report of one or more runs and, on
// request, their metrics as mzQC.
#pragma once

#include <filesystem>
#include <optional>
#include <vector>

#include <kestrune/error.h>
#include <kestrune/qc.h>

namespace kestrune::cli {

struct QcCommand {
    std::vector<std::filesystem::path> runs;
    std::filesystem::path report;
    std::optional<std::filesystem::path> mzqc;
    QcOptions options;
    bool progress = false;
};

// The report of the runs, with a progress bar per run when asked.
Result<void> run_qc(const QcCommand& command);

}  // namespace kestrune::cli
