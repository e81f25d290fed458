// kestrune: inspect Waters MassLynx .raw run directories and export them to
// mzML. A client of the library's public API.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <unistd.h>

#include <fmt/format.h>
#include <kestrune/kestrune.h>

#include "batch.h"
#include "command_line.h"
#include "options.h"
#include "qc_command.h"

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
    fmt::print(stderr, "error: {}\n", error_text(e));
    return exit_status(e);
}

// The text on standard output; a failed write (a full disk, a closed pipe
// read no more) is an error like any other.
int write_stdout(std::string_view text) {
    FdOutputStream out(STDOUT_FILENO, "standard output");
    auto written = out.write(text);
    return written ? kExitOk : report_error(written.error());
}

Result<Run> open_run(const std::filesystem::path& path) { return Run::open(path); }

int cmd_info(const CommandLine& c) {
    auto run = open_run(c.run);
    if (!run) return report_error(run.error());
    auto text = describe_run(*run, c.json ? InfoFormat::Json : InfoFormat::Text);
    if (!text) return report_error(text.error());
    return write_stdout(*text);
}

// The function of the run, readable, or an error of use naming those it has.
Result<const Function*> readable_function(const Run& run, std::uint32_t number) {
    const Function* f = run.function(number);
    if (f && f->readable) return f;
    std::string have;
    std::size_t n = 0;
    for (const Function& e : run.functions())
        if (e.readable) have += fmt::format("{}{}", n++ ? ", " : "", e.number);
    return fail(usage_error(fmt::format("function {} not found: the run has function{} {}", number, n == 1 ? "" : "s",
                                        have.empty() ? "none readable" : have)));
}

int cmd_spectrum(const CommandLine& c) {
    auto run = open_run(c.run);
    if (!run) return report_error(run.error());
    auto f = readable_function(*run, c.function);
    if (!f) return report_error(f.error());
    const std::uint64_t scans = (*f)->scans;
    if (c.scan >= scans)
        return report_error(usage_error(fmt::format("function {} scan {} out of range: the function has {} scans{}",
                                                    c.function, c.scan, scans,
                                                    scans ? fmt::format(" (0 to {})", scans - 1) : std::string())));
    auto scan = run->read_scan(c.function, c.scan);
    if (!scan) return report_error(scan.error());
    std::string out = scan->ion_mobility ? "mz\tintensity\tdrift_time_ms\n" : "mz\tintensity\n";
    auto it = std::back_inserter(out);
    for (std::size_t i = 0; i < scan->mz.size(); ++i) {
        fmt::format_to(it, "{}\t{}", text::plain(scan->mz[i]), text::plain(scan->intensity[i]));
        if (scan->ion_mobility) fmt::format_to(it, "\t{}", text::plain(scan->drift_time_ms[i]));
        out.push_back('\n');
    }
    return write_stdout(out);
}

int cmd_chrom(const CommandLine& c) {
    auto run = open_run(c.run);
    if (!run) return report_error(run.error());
    auto channels = run->channels();
    if (!channels) return report_error(channels.error());
    if (channels->empty())
        return report_error(usage_error("no _CHROMS.INF in this .raw directory: the run has no channels"));
    if (c.channel >= channels->size())
        return report_error(
            usage_error(fmt::format("channel {} out of range: the run has {} channels", c.channel, channels->size())));
    auto points = run->read_channel(std::size_t(c.channel));
    if (!points) return report_error(points.error());
    std::string out = "rt_min\tvalue\n";
    for (const auto& p : *points)
        fmt::format_to(std::back_inserter(out), "{}\t{}\n", text::plain(p.rt_min), text::plain(p.value));
    return write_stdout(out);
}

int cmd_export(const CommandLine& c) {
    if (auto ok = c.export_options.validate(); !ok) return report_error(ok.error());
    if (!c.batch_mode) {
        auto done = export_and_report(c.export_options, c.quiet);
        return done ? kExitOk : report_error(done.error());
    }
    auto outcome = run_batch(c.export_options, c.batch, c.quiet);
    if (!outcome) return report_error(outcome.error());
    if (outcome->failed.empty()) return kExitOk;
    fmt::print(stderr, "error: {} of {} runs failed:\n", outcome->failed.size(), c.batch.runs.size());
    for (const auto& [run, why] : outcome->failed) fmt::print(stderr, "  {}\n", text::path_text(run));
    return kExitFailure;
}

int run(int argc, char** argv) {
    auto parsed = parse_command_line(argc, argv);
    if (!parsed.line) return parsed.exit_status;
    const CommandLine& c = *parsed.line;
    install_output_signal_handlers();

    static StderrSink sink;
    log::set_sink(&sink);
    log::Level level = log::Level::Warn;
    if (c.quiet) level = log::Level::Error;
    if (c.verbose == 1) level = log::Level::Info;
    if (c.verbose == 2) level = log::Level::Debug;
    if (c.verbose >= 3) level = log::Level::Trace;
    log::set_max_level(level);

    switch (c.command) {
        case Command::Info: return cmd_info(c);
        case Command::Spectrum: return cmd_spectrum(c);
        case Command::Chrom: return cmd_chrom(c);
        case Command::Export: return cmd_export(c);
        case Command::Qc: {
            auto done = run_qc(c.qc);
            return done ? kExitOk : report_error(done.error());
        }
    }
    return kExitFailure;
}

}  // namespace
}  // namespace kestrune::cli

int main(int argc, char** argv) { return kestrune::cli::run(argc, argv); }
