// The command line: every subcommand, option and value check in one place.
#pragma once

#include <filesystem>
#include <optional>

#include "batch.h"
#include "qc_command.h"

namespace kestrune::cli {

enum class Command { Info, Spectrum, Chrom, Export, Qc };

struct CommandLine {
    Command command = Command::Info;
    int verbose = 0;
    bool quiet = false;
    // info, spectrum, chrom
    std::filesystem::path run;
    bool json = false;
    std::uint32_t function = 1;
    std::uint64_t scan = 0;
    std::uint64_t channel = 0;
    // export: one run to `export_options.output`, or runs into a directory
    ExportRequest export_options;
    bool batch_mode = false;
    BatchOptions batch;
    QcCommand qc;
};

// The parsed command line, or the exit status when the program ends here:
// 0 after --help or --version (printed on standard output), 2 after an
// error of use (explained on standard error).
struct ParsedCommandLine {
    std::optional<CommandLine> line;
    int exit_status = 0;
};
ParsedCommandLine parse_command_line(int argc, const char* const* argv);

}  // namespace kestrune::cli
