// `kestrune qc`: an HTML quality report of one or more runs and, on
// request, their metrics as mzQC.
#pragma once

#include <filesystem>
#include <optional>
#include <vector>

#include "error.h"
#include "qc_metrics.h"

namespace kestrune::cli {

struct QcCommand {
    std::vector<std::filesystem::path> runs;
    std::filesystem::path report;
    std::optional<std::filesystem::path> mzqc;
    QcOptions options;
};

// Checks every output path against every run before reading or writing
// anything, measures the runs in the order given, then writes the report
// and the mzQC file, each only when complete.
Result<void> run_qc(const QcCommand& command);

}  // namespace kestrune::cli
