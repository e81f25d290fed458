// `kestrune export`: one run to a file or standard output, or many runs,
// each to DIR/<name>.mzML, on several cores at once; and the one-line
// summary of every export.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include <kestrune/error.h>
#include <kestrune/export.h>

namespace kestrune::cli {

// The output path that means standard output.
inline constexpr std::string_view kStdoutPath = "-";

// One export as the command line asks for it.
struct ExportRequest : ExportOptions {
    std::filesystem::path run;
    std::filesystem::path output;  // kStdoutPath: standard output
    bool progress = false;         // a progress bar on standard error
};

struct BatchOptions {
    std::vector<std::filesystem::path> runs;
    std::filesystem::path out_dir;
    unsigned jobs = 0;     // runs exported at once; 0: chosen from the cores
    unsigned threads = 0;  // threads of each export; 0: chosen from the cores
    bool force = false;    // export runs whose output is up to date too
};

// How one export went, for the summary line.
struct ExportDone {
    std::filesystem::path run;
    std::filesystem::path output;
    ExportSummary summary;
    double seconds = 0;
};
// "RUN -> OUTPUT: S spectra, C chromatograms, B bytes, T s", then the
// lock-mass line when a correction was asked for.
std::string summary_text(const ExportDone& done, const ExportOptions& options);

// One export, timed; its summary on standard error unless `quiet`.
Result<ExportDone> export_and_report(const ExportRequest& request, bool quiet);

// DIR/<run directory name without ".raw" (any case)>.mzML.
std::filesystem::path batch_output(const std::filesystem::path& out_dir, const std::filesystem::path& run);

// The cores shared between runs at once and threads per run: given values
// are kept (at least 1); an open number of jobs is as many runs as the
// cores hold at the threads given (1 when not given), at most the number
// of runs; open threads divide the cores evenly among the jobs. So
// jobs × threads never exceeds the cores unless both were given.
struct CoreShare {
    unsigned jobs = 1;
    unsigned threads = 1;
};
CoreShare share_cores(unsigned cores, std::size_t runs, unsigned jobs, unsigned threads) noexcept;

struct BatchOutcome {
    std::size_t exported = 0;
    std::size_t skipped = 0;
    std::vector<std::pair<std::filesystem::path, std::string>> failed;  // run, error text
};

// Checks every output against every run first (an output inside a run
// fails the whole batch before anything is written), then exports the runs
// `jobs` at a time, going on after a failure.
Result<BatchOutcome> run_batch(const ExportRequest& base, const BatchOptions& batch, bool quiet);

}  // namespace kestrune::cli
