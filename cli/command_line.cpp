#include "command_line.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <fmt/format.h>
#include <kestrune/kestrune.h>

#include "options.h"
#include "progress.h"

namespace kestrune::cli {

namespace {

constexpr const char* kExitStatusText =
    "Exit status: 0 success; 1 a run could not be read or an output could not be written (for export -O: "
    "any run failed); 2 a usage error (unknown option, bad value, a function, scan or channel the run does not "
    "have, a selection that matches nothing).";

// A whole number in [min, max], the text normalised to plain decimal for
// CLI11's conversion (which would take a sign, "0x" or a leading 0).
CLI::Validator whole(std::uint64_t min, std::uint64_t max) {
    const std::string desc = max == UINT64_MAX ? fmt::format("INT>={}", min) : fmt::format("INT in [{}, {}]", min, max);
    return CLI::Validator(
        [min, max](std::string& text) -> std::string {
            const auto v = parse_whole(text, min, max);
            if (!v) {
                if (max == UINT64_MAX) return fmt::format("{} is not a whole number of at least {}", text, min);
                return fmt::format("{} is not a whole number from {} to {}", text, min, max);
            }
            text = std::to_string(*v);
            return {};
        },
        desc);
}

const CLI::Validator kPositive(
    [](std::string& text) -> std::string {
        return parse_positive(text) ? std::string() : fmt::format("{} is not a positive number", text);
    },
    "POSITIVE");

// An option taking one of the named choices (case ignored) into `target`.
template <class T>
CLI::Option* add_choice(CLI::App* app, const std::string& name, T& target, std::map<std::string, T> choices,
                        const std::string& help) {
    std::string names;
    for (const auto& [key, value] : choices) names += (names.empty() ? "" : ",") + key;
    auto* option = app->add_option_function<std::string>(
        name,
        [&target, choices, names, name](const std::string& text) {
            const auto it = choices.find(text::ascii_lower(text));
            if (it == choices.end())
                throw CLI::ValidationError(name, fmt::format("{} is not one of {}", text, names));
            target = it->second;
        },
        help);
    option->type_name("{" + names + "}");
    return option;
}

// What the export subcommand reads before it is put into the command line.
struct ExportFlags {
    CLI::App* app = nullptr;
    std::vector<std::string> runs;
    std::string output, out_dir;
    bool no_compress = false, no_progress = false;
    unsigned threads = 0;
    CLI::Option* output_opt = nullptr;
    CLI::Option* out_dir_opt = nullptr;
};

struct QcFlags {
    CLI::App* app = nullptr;
    std::vector<std::string> runs;
    std::string report, mzqc;
    bool no_progress = false;
};

void add_reading(CLI::App& app, CommandLine& line) {
    auto* info = app.add_subcommand("info", "Show the run's header, settings, functions and channels");
    info->add_option("RUN", line.run, "Run directory (.raw)")->required();
    info->add_flag("--json", line.json, "Machine-readable JSON instead of text (schema: docs/info.schema.json)");

    auto* spectrum = app.add_subcommand(
        "spectrum", "Print one scan as tab-separated m/z, intensity (and drift time for ion-mobility scans)");
    spectrum->add_option("RUN", line.run, "Run directory (.raw)")->required();
    spectrum->add_option("FUNCTION", line.function, "Function number (1-based)")
        ->required()
        ->transform(whole(1, UINT32_MAX));
    spectrum->add_option("SCAN", line.scan, "Scan number (0-based)")->required()->transform(whole(0, UINT64_MAX));

    auto* chrom = app.add_subcommand("chrom", "Print one chromatogram channel as tab-separated time (min) and value");
    chrom->add_option("RUN", line.run, "Run directory (.raw)")->required();
    chrom->add_option("CHANNEL", line.channel, "Channel number (0-based)")->required()->transform(whole(0, UINT64_MAX));
}

void add_selection(CLI::App* exp, ExportOptions& ex) {
    exp->add_flag("--keep-lockmass", ex.keep_lockmass, "Also export the lock-mass functions");
    exp->add_flag("--allow-incomplete", ex.allow_incomplete,
                  "Export what is there of functions whose data file is shorter than their index promises or whose "
                  "files are missing, with a warning each (otherwise they fail the export)");
    exp->add_option_function<std::string>(
        "--functions",
        [&ex](const std::string& text) {
            auto list = parse_function_list(text);
            if (!list) throw CLI::ValidationError(list.error().text());
            ex.functions = std::move(*list);
        },
        "Export only these functions, e.g. 1,3");
    exp->add_option_function<std::string>(
        "--rt-range",
        [&ex](const std::string& text) {
            auto range = parse_rt_range(text);
            if (!range) throw CLI::ValidationError(range.error().text());
            ex.rt_range = *range;
        },
        "Export only scans within MIN:MAX minutes (either side may be empty)");
    exp->add_option("--ms-level", ex.ms_level, "Export only functions of this MS level")
        ->transform(whole(1, kMaxMsLevel));
}

void add_lock_mass(CLI::App* exp, ExportOptions& ex) {
    auto* lockmass_opt = exp->add_option("--lockmass", ex.lockmass,
                                         "Reference m/z of the lock-mass compound: correct every exported scan by "
                                         "the lock-mass factor interpolated in retention time")
                             ->check(kPositive);
    exp->add_option("--lockmass-tolerance", ex.lockmass_tolerance, "Search window around the reference m/z, in Da")
        ->default_val(kDefaultLockMassTolerance)
        ->check(kPositive)
        ->needs(lockmass_opt);
    exp->add_flag("--lockmass-optional", ex.lockmass_optional,
                  "Export uncorrected, with a warning, when the correction cannot be made (otherwise an error)")
        ->needs(lockmass_opt);
}

void add_layout(CLI::App* exp, ExportOptions& ex) {
    add_choice(exp, "--representation", ex.representation,
               {{"auto", RepresentationChoice::Auto},
                {"centroid", RepresentationChoice::Centroid},
                {"profile", RepresentationChoice::Profile}},
               "Spectrum representation written: auto (judged per function from the spacing of its m/z values), "
               "centroid or profile")
        ->default_str("auto");
    exp->add_flag("--centroid", ex.centroid,
                  "Write the spectra of profile functions (as --representation judges them) as centroids: one m/z "
                  "(intensity-weighted mean) and the summed counts per peak; ion-mobility frames per drift bin");
    add_choice(exp, "--ims-layout", ex.ims_layout,
               {{"combined", ImsLayout::Combined}, {"per-bin", ImsLayout::PerBin}, {"summed", ImsLayout::Summed}},
               "Ion-mobility frames as: combined (one spectrum per frame with a drift-time array), per-bin (one "
               "spectrum per drift time) or summed (drift times summed away)")
        ->default_str("combined");
}

void add_encoding(CLI::App* exp, ExportOptions& ex, ExportFlags& flags) {
    exp->add_flag("--no-compress", flags.no_compress, "Store binary arrays without zlib compression");
    exp->add_option("--compression-level", ex.compression_level,
                    "Deflate level of the binary arrays: 0 stores, 1 is the fastest (ISA-L), 2 to 12 (libdeflate) "
                    "trade speed for size up to the smallest")
        ->transform(whole(kMinCompressionLevel, kMaxCompressionLevel))
        ->default_val(kDefaultCompressionLevel);
    exp->add_option("--threads", flags.threads,
                    "Threads decoding, converting and compressing the scans of a run (one more writes them in "
                    "order)")
        ->transform(whole(1, kMaxThreads))
        ->default_str(fmt::format("{} (the CPUs this process may use; with -O shared out between the runs at once)",
                                  default_threads()));
    auto* numpress_opt =
        add_choice(exp, "--numpress", ex.numpress,
                   {{"linear", Numpress::Linear}, {"pic", Numpress::Pic}, {"slof", Numpress::Slof}},
                   "Lossy MS-Numpress before zlib: linear (m/z arrays by linear prediction), pic (also intensities "
                   "rounded to integers) or slof (also intensities as 16-bit logarithms)");
    exp->add_option("--numpress-ppm", ex.numpress_ppm,
                    "Largest error of a numpress m/z value, in ppm of the value (arrays that cannot meet it are "
                    "written losslessly)")
        ->check(kPositive)
        ->default_val(kDefaultNumpressPpm)
        ->needs(numpress_opt);
}

void add_export(CLI::App& app, CommandLine& line, ExportFlags& flags) {
    ExportRequest& ex = line.export_options;
    auto* exp = app.add_subcommand(
        "export", "Write a run as an indexed mzML 1.1.0 file (-o), or many runs into a directory (-O)");
    flags.app = exp;
    exp->add_option("RUN", flags.runs, "Run directories (.raw); one with -o")->required();
    flags.output_opt = exp->add_option(
        "-o,--output", flags.output, "Output file (.mzML), written only when complete; - for standard output");
    flags.out_dir_opt = exp->add_option("-O,--output-dir", flags.out_dir,
                                        "Write each run to DIR/<run name without .raw>.mzML (DIR is created when "
                                        "missing), skipping runs whose output was made from the run's files as they "
                                        "are now with options that shape the file alike (recorded in the file)");
    flags.output_opt->excludes(flags.out_dir_opt);
    exp->add_option("-j,--jobs", line.batch.jobs,
                    "Runs exported at once with -O (default: as many as the cores hold, each run's threads "
                    "counted)")
        ->transform(whole(1, 4096))
        ->needs(flags.out_dir_opt);
    exp->add_flag("--force", line.batch.force, "With -O, export runs whose output is up to date too")
        ->needs(flags.out_dir_opt);
    add_lock_mass(exp, ex);
    add_selection(exp, ex);
    exp->add_flag("--no-progress", flags.no_progress, "No progress bar, even on a terminal");
    add_layout(exp, ex);
    add_encoding(exp, ex, flags);
}

void add_qc(CLI::App& app, CommandLine& line, QcFlags& flags) {
    QcCommand& qc_command = line.qc;
    auto* qc = app.add_subcommand("qc", "Write an HTML quality report (and mzQC metrics) of one or more runs");
    flags.app = qc;
    qc->add_option("RUN", flags.runs, "Run directories (.raw), in the order to compare them")->required();
    qc->add_option("-o,--output", flags.report, "HTML report; written only when complete")->required();
    qc->add_option("--mzqc", flags.mzqc, "Also write the metrics as an mzQC file");
    qc->add_option("--lockmass", qc_command.options.lockmass,
                   "Reference m/z of the lock-mass compound (default: the most intense peak of the lock-mass scans)")
        ->check(kPositive);
    qc->add_option("--lockmass-tolerance", qc_command.options.lockmass_tolerance,
                   "Search window around the reference m/z, in Da")
        ->default_val(kDefaultLockMassTolerance)
        ->check(kPositive);
    qc->add_flag("--allow-incomplete", qc_command.options.allow_incomplete,
                 "Measure what is there of functions whose data file is cut short or whose files are missing "
                 "(otherwise they fail the report)");
    qc->add_flag("--no-progress", flags.no_progress, "No progress bar, even on a terminal");
}

// The export options once parsed: the output, the mode, the options the
// library checks.
void finish_export(CommandLine& line, const ExportFlags& flags) {
    ExportRequest& ex = line.export_options;
    line.command = Command::Export;
    ex.compress = !flags.no_compress;
    ex.progress = !flags.no_progress && !line.quiet && Progress::stderr_is_terminal();
    if (flags.out_dir_opt->count() > 0) {
        line.batch_mode = true;
        line.batch.runs.assign(flags.runs.begin(), flags.runs.end());
        line.batch.out_dir = flags.out_dir;
        line.batch.threads = flags.threads;
    } else {
        ex.run = flags.runs.front();
        ex.output = flags.output;
        ex.threads = flags.threads;
    }
}

void finish_qc(CommandLine& line, const QcFlags& flags) {
    QcCommand& qc = line.qc;
    line.command = Command::Qc;
    qc.runs.assign(flags.runs.begin(), flags.runs.end());
    qc.report = flags.report;
    if (!flags.mzqc.empty()) qc.mzqc = flags.mzqc;
    qc.progress = !flags.no_progress && !line.quiet && Progress::stderr_is_terminal();
}

}  // namespace

ParsedCommandLine parse_command_line(int argc, const char* const* argv) {
    CommandLine line;
    CLI::App app{"Read Waters MassLynx .raw run directories and export them to mzML.", "kestrune"};
    app.set_version_flag("--version", std::string(version()));
    app.require_subcommand(1);
    app.footer(kExitStatusText);
    // -v and -q work after the subcommand too.
    app.fallthrough();
    app.failure_message([](const CLI::App*, const CLI::Error& e) {
        return fmt::format("error: {}\nRun with --help for more information.\n", e.what());
    });
    app.add_flag("-v,--verbose", line.verbose, "More diagnostics on standard error (repeat for more)");
    auto* quiet = app.add_flag("-q,--quiet", line.quiet, "Only errors on standard error");
    app.get_option("--verbose")->excludes(quiet);
    add_reading(app, line);
    ExportFlags ex;
    add_export(app, line, ex);
    QcFlags qc;
    add_qc(app, line, qc);
    try {
        app.parse(argc, argv);
        if (ex.app->parsed()) {
            if (ex.output_opt->count() == 0 && ex.out_dir_opt->count() == 0)
                throw CLI::RequiredError("export needs -o FILE (one run) or -O DIR (any number of runs)");
            if (ex.output_opt->count() > 0 && ex.runs.size() != 1)
                throw CLI::ValidationError(
                    fmt::format("-o takes one run ({} given); use -O DIR for several", ex.runs.size()));
        }
    } catch (const CLI::ParseError& e) {
        const int status = app.exit(e);
        return {std::nullopt, status == 0 ? kExitOk : kExitUsage};
    }
    if (app.got_subcommand("info")) line.command = Command::Info;
    if (app.got_subcommand("spectrum")) line.command = Command::Spectrum;
    if (app.got_subcommand("chrom")) line.command = Command::Chrom;
    if (qc.app->parsed()) finish_qc(line, qc);
    if (ex.app->parsed()) finish_export(line, ex);
    return {std::move(line), kExitOk};
}

}  // namespace kestrune::cli
