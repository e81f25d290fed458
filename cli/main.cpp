// kestrune: inspect Waters MassLynx .raw run directories and export them to
// mzML.
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <variant>
#include <vector>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "export.h"
#include "info.h"
#include "log.h"
#include "options.h"
#include "progress.h"
#include "qc.h"
#include "reader/reader.h"
#include "run_files.h"
#include "text.h"

namespace kestrune::cli {
namespace {

// Library and program log records on standard error.
class StderrSink final : public log::Sink {
public:
    void write(const log::Record& r) noexcept override {
        std::string_view prefix = "debug";
        switch (r.level) {
            case log::Level::Error: prefix = "error"; break;
            case log::Level::Warn: prefix = "warning"; break;
            case log::Level::Info: prefix = "info"; break;
            case log::Level::Trace: prefix = "trace"; break;
            default: break;
        }
        try {
            if (r.level >= log::Level::Debug)
                fmt::print(stderr, "{}: [{}] {}\n", prefix, r.target, r.message);
            else
                fmt::print(stderr, "{}: {}\n", prefix, r.message);
        } catch (...) {
        }
    }
};

int report_error(const Error& e) {
    std::fflush(stdout);
    fmt::print(stderr, "error: {}\n", e.to_string());
    return 1;
}

bool write_stdout(std::string_view text) {
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size()) return false;
    return std::fflush(stdout) == 0;
}

Result<std::uint64_t> parse_u64(std::string_view what, std::string_view text) {
    std::uint64_t v = 0;
    std::string_view digits = text;
    if (digits.starts_with('+')) digits.remove_prefix(1);
    bool ok = !digits.empty();
    for (char c : digits) {
        if (c < '0' || c > '9' || v > (UINT64_MAX - std::uint64_t(c - '0')) / 10) {
            ok = false;
            break;
        }
        v = v * 10 + std::uint64_t(c - '0');
    }
    if (!ok) return parse_error(fmt::format("{}: {} is not a non-negative integer", what, text::quoted(text::lossy_utf8(text))));
    return v;
}

int cmd_info(const std::string& run, bool json) {
    auto text = run_info(run, json);
    if (!text) return report_error(text.error());
    return write_stdout(*text) ? 0 : 1;
}

int cmd_spectrum(const std::string& run, const std::string& function_text, const std::string& scan_text) {
    auto function = parse_u64("FUNCTION", function_text);
    if (!function) return report_error(function.error());
    if (*function > UINT32_MAX) return report_error(Error::parse(fmt::format("FUNCTION: {} is too large", *function)));
    auto scan = parse_u64("SCAN", scan_text);
    if (!scan) return report_error(scan.error());
    auto reader = reader::Reader::open(run);
    if (!reader) return report_error(reader.error());
    auto decoded = reader->decode_scan(std::uint32_t(*function), *scan);
    if (!decoded) return report_error(decoded.error());
    std::string out;
    auto it = std::back_inserter(out);
    if (const auto* s = std::get_if<raw::data::Spectrum>(&decoded->data)) {
        out.append("mz\tintensity\n");
        for (std::size_t i = 0; i < s->mz.size(); ++i)
            fmt::format_to(it, "{}\t{}\n", text::plain(s->mz[i]), text::plain(s->intensity[i]));
    } else {
        const auto& ims = std::get<raw::data::ImsSpectrum>(decoded->data);
        out.append("mz\tintensity\tdrift_time_ms\n");
        for (std::size_t i = 0; i < ims.mz.size(); ++i)
            fmt::format_to(it, "{}\t{}\t{}\n", text::plain(ims.mz[i]), text::plain(ims.intensity[i]),
                           text::plain(ims.drift_time_ms[i]));
    }
    return write_stdout(out) ? 0 : 1;
}

int cmd_chrom(const std::string& run, const std::string& channel_text) {
    auto channel = parse_u64("CHANNEL", channel_text);
    if (!channel) return report_error(channel.error());
    auto chroms = load_channels(run);
    if (!chroms) return report_error(chroms.error());
    if (!*chroms) return report_error(Error::parse("no _CHROMS.INF in this .raw directory"));
    if (*channel >= (*chroms)->channels.size())
        return report_error(Error::parse(
            fmt::format("channel {} out of range: the run has {} channels", *channel, (*chroms)->channels.size())));
    auto points = read_channel(run, std::size_t(*channel));
    if (!points) return report_error(points.error());
    if (!*points)
        return report_error(Error::parse(fmt::format("{} not found in {}", channel_file_name(std::size_t(*channel)), run)));
    std::string out = "rt_min\tvalue\n";
    for (const auto& p : **points)
        fmt::format_to(std::back_inserter(out), "{}\t{}\n", text::plain(p.rt_min), text::plain(p.value));
    return write_stdout(out) ? 0 : 1;
}

int cmd_export(ExportOptions options, const std::string& functions, const std::string& rt_range) {
    if (!functions.empty()) {
        auto list = parse_function_list(functions);
        if (!list) return report_error(list.error());
        options.functions = std::move(*list);
    }
    if (!rt_range.empty()) {
        auto range = parse_rt_range(rt_range);
        if (!range) return report_error(range.error());
        options.rt_range = *range;
    }
    auto report = export_mzml(options);
    if (!report) return report_error(report.error());
    if (options.lockmass) {
        if (report->factor_min)
            fmt::print(stderr,
                       "lock mass {}: {} of {} lock-mass scans matched; applied factors {} to {} ({} to {} ppm)\n",
                       text::plain(*options.lockmass), report->lock_scans_matched, report->lock_scans,
                       text::plain(*report->factor_min), text::plain(*report->factor_max),
                       text::fixed((*report->factor_min - 1.0) * 1e6, 2),
                       text::fixed((*report->factor_max - 1.0) * 1e6, 2));
        else
            fmt::print(stderr, "lock mass {}: {} of {} lock-mass scans matched; no correction applied\n",
                       text::plain(*options.lockmass), report->lock_scans_matched, report->lock_scans);
    }
    return 0;
}

int cmd_qc(const QcCommand& command) {
    auto done = run_qc(command);
    if (!done) return report_error(done.error());
    return 0;
}

int run(int argc, char** argv) {
    CLI::App app{"Read Waters MassLynx .raw run directories and export them to mzML.", "kestrune"};
    app.set_version_flag("--version", std::string(KESTRUNE_VERSION));
    app.require_subcommand(1);
    int verbose = 0;
    bool quiet = false;
    app.add_flag("-v,--verbose", verbose, "More diagnostics on standard error (repeat for more)");
    app.add_flag("-q,--quiet", quiet, "Only errors on standard error");

    std::string run_dir;
    bool json = false;
    auto* info = app.add_subcommand("info", "Show the run's header, settings, functions and channels");
    info->add_option("RUN", run_dir, "Run directory (.raw)")->required();
    info->add_flag("--json", json, "Machine-readable JSON instead of text");

    std::string function_text, scan_text;
    auto* spectrum = app.add_subcommand(
        "spectrum", "Print one scan as tab-separated m/z, intensity (and drift time for ion-mobility scans)");
    spectrum->add_option("RUN", run_dir, "Run directory (.raw)")->required();
    spectrum->add_option("FUNCTION", function_text, "Function number (1-based)")->required();
    spectrum->add_option("SCAN", scan_text, "Scan number (0-based)")->required();

    std::string channel_text;
    auto* chrom = app.add_subcommand("chrom", "Print one chromatogram channel as tab-separated time (min) and value");
    chrom->add_option("RUN", run_dir, "Run directory (.raw)")->required();
    chrom->add_option("CHANNEL", channel_text, "Channel number (0-based)")->required();

    ExportOptions ex;
    std::string output, functions, rt_range;
    double lockmass = 0;
    bool no_compress = false, no_progress = false;
    auto* exp = app.add_subcommand("export", "Write the run as an indexed mzML 1.1.0 file");
    exp->add_option("RUN", run_dir, "Run directory (.raw)")->required();
    exp->add_option("-o,--output", output, "Output file (.mzML); written only when complete")->required();
    exp->add_flag("--no-compress", no_compress, "Store binary arrays without zlib compression");
    auto* lockmass_opt = exp->add_option("--lockmass", lockmass,
                                         "Reference m/z of the lock-mass compound: correct every exported scan by "
                                         "the lock-mass scan nearest in retention time");
    exp->add_option("--lockmass-tolerance", ex.lockmass_tolerance,
                    "Search window around the reference m/z, in Da")
        ->default_val(kDefaultLockMassTolerance)
        ->needs(lockmass_opt);
    exp->add_flag("--keep-lockmass", ex.keep_lockmass, "Also export the lock-mass functions");
    exp->add_option("--functions", functions, "Export only these functions, e.g. 1,3");
    exp->add_option("--rt-range", rt_range, "Export only scans within MIN:MAX minutes (either side may be empty)");
    unsigned ms_level = 0;
    auto* ms_level_opt = exp->add_option("--ms-level", ms_level, "Export only functions of this MS level");
    exp->add_flag("--no-progress", no_progress, "No progress bar, even on a terminal");
    const std::map<std::string, RepresentationChoice> representations{
        {"auto", RepresentationChoice::Auto},
        {"centroid", RepresentationChoice::Centroid},
        {"profile", RepresentationChoice::Profile}};
    exp->add_option("--representation", ex.representation,
                    "Spectrum representation written: auto (judged per function from the spacing of its m/z "
                    "values), centroid or profile")
        ->transform(CLI::CheckedTransformer(representations, CLI::ignore_case))
        ->default_str("auto");
    const std::map<std::string, ImsLayout> layouts{
        {"combined", ImsLayout::Combined}, {"per-bin", ImsLayout::PerBin}, {"summed", ImsLayout::Summed}};
    exp->add_option("--ims-layout", ex.ims_layout,
                    "Ion-mobility frames as: combined (one spectrum per frame with a drift-time array), per-bin "
                    "(one spectrum per drift time) or summed (drift times summed away)")
        ->transform(CLI::CheckedTransformer(layouts, CLI::ignore_case))
        ->default_str("combined");
    exp->add_option("--compression-level", ex.compression_level,
                    "Deflate level of the binary arrays (libdeflate's levels: 0 stores, 1 fastest, 12 smallest)")
        ->check(CLI::Range(kMinDeflateLevel, kMaxDeflateLevel))
        ->default_val(kDefaultDeflateLevel);
    exp->add_option("--threads", ex.threads,
                    "Threads decoding, converting and compressing scans (one more writes them in order)")
        ->check(CLI::Range(1u, 1024u))
        ->default_str(fmt::format("{} (the machine's cores)", default_export_threads()));
    const std::map<std::string, Numpress> numpress_modes{
        {"linear", Numpress::Linear}, {"pic", Numpress::Pic}, {"slof", Numpress::Slof}};
    auto* numpress_opt =
        exp->add_option("--numpress", ex.numpress,
                        "Lossy MS-Numpress before zlib: linear (m/z arrays by linear prediction), pic (also "
                        "intensities rounded to integers) or slof (also intensities as 16-bit logarithms)")
            ->transform(CLI::CheckedTransformer(numpress_modes, CLI::ignore_case));
    exp->add_option("--numpress-ppm", ex.numpress_ppm,
                    "Largest error of a numpress m/z value, in ppm of the value (arrays that cannot meet it are "
                    "written losslessly)")
        ->check(CLI::PositiveNumber)
        ->default_val(kDefaultNumpressPpm)
        ->needs(numpress_opt);

    QcCommand qc_command;
    std::vector<std::string> qc_runs;
    std::string qc_report, qc_mzqc;
    double qc_lockmass = 0;
    bool qc_no_progress = false;
    auto* qc = app.add_subcommand("qc", "Write an HTML quality report (and mzQC metrics) of one or more runs");
    qc->add_option("RUN", qc_runs, "Run directories (.raw), in the order to compare them")->required();
    qc->add_option("-o,--output", qc_report, "HTML report; written only when complete")->required();
    qc->add_option("--mzqc", qc_mzqc, "Also write the metrics as an mzQC file");
    auto* qc_lockmass_opt = qc->add_option(
        "--lockmass", qc_lockmass,
        "Reference m/z of the lock-mass compound (default: the most intense peak of the lock-mass scans)");
    qc->add_option("--lockmass-tolerance", qc_command.options.lockmass_tolerance,
                   "Search window around the reference m/z, in Da")
        ->default_val(kDefaultLockMassTolerance);
    qc->add_flag("--no-progress", qc_no_progress, "No progress bar, even on a terminal");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e);
    }

    static StderrSink sink;
    log::set_sink(&sink);
    log::Level level = log::Level::Warn;
    if (quiet) level = log::Level::Error;
    if (verbose == 1) level = log::Level::Info;
    if (verbose == 2) level = log::Level::Debug;
    if (verbose >= 3) level = log::Level::Trace;
    log::set_max_level(level);

    if (info->parsed()) return cmd_info(run_dir, json);
    if (spectrum->parsed()) return cmd_spectrum(run_dir, function_text, scan_text);
    if (chrom->parsed()) return cmd_chrom(run_dir, channel_text);
    if (qc->parsed()) {
        qc_command.runs.assign(qc_runs.begin(), qc_runs.end());
        qc_command.report = qc_report;
        if (!qc_mzqc.empty()) qc_command.mzqc = qc_mzqc;
        if (qc_lockmass_opt->count() > 0) qc_command.options.lockmass = qc_lockmass;
        qc_command.options.progress = !qc_no_progress && Progress::stderr_is_terminal();
        return cmd_qc(qc_command);
    }
    ex.run = run_dir;
    ex.output = output;
    ex.compress = !no_compress;
    if (lockmass_opt->count() > 0) ex.lockmass = lockmass;
    if (ms_level_opt->count() > 0) ex.ms_level = ms_level;
    ex.progress = !no_progress && Progress::stderr_is_terminal();
    return cmd_export(std::move(ex), functions, rt_range);
}

}  // namespace
}  // namespace kestrune::cli

int main(int argc, char** argv) { return kestrune::cli::run(argc, argv); }
