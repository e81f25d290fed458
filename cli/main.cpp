// kestrune: inspect Waters MassLynx .raw run directories and export them to
// mzML.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <variant>
#include <vector>

#include <fmt/format.h>

#include "batch.h"
#include "command_line.h"
#include "export.h"
#include "info.h"
#include "log.h"
#include "options.h"
#include "output_file.h"
#include "qc.h"
#include "reader/reader.h"
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
    fmt::print(stderr, "error: {}\n", error_text(e));
    return is_usage_error(e) ? kExitUsage : kExitFailure;
}

// The text on standard output; a failed write (a full disk, a closed pipe
// read no more) is an error like any other.
int write_stdout(std::string_view text) {
    errno = 0;
    const bool ok = std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0;
    if (ok) return kExitOk;
    return report_error(write_error("standard output", errno != 0 ? errno : EIO));
}

int cmd_info(const CommandLine& c) {
    auto text = run_info(c.run, c.json);
    if (!text) return report_error(text.error());
    return write_stdout(*text);
}

int cmd_spectrum(const CommandLine& c) {
    auto reader = reader::Reader::open(c.run);
    if (!reader) return report_error(reader.error());
    const reader::FunctionEntry* f = reader->function(c.function);
    if (!f) {
        std::string have;
        for (const auto& e : reader->functions()) have += fmt::format("{}{}", have.empty() ? "" : ", ", e.number);
        return report_error(usage_error(fmt::format("function {} not found: the run has function{} {}", c.function,
                                                    reader->functions().size() == 1 ? "" : "s",
                                                    have.empty() ? "none readable" : have)));
    }
    if (c.scan >= f->idx.size())
        return report_error(usage_error(fmt::format("function {} scan {} out of range: the function has {} scans{}",
                                                    c.function, c.scan, f->idx.size(),
                                                    f->idx.size() ? fmt::format(" (0 to {})", f->idx.size() - 1)
                                                                  : std::string())));
    auto decoded = reader->decode_scan(c.function, c.scan);
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
    return write_stdout(out);
}

int cmd_chrom(const CommandLine& c) {
    auto reader = reader::Reader::open(c.run);
    if (!reader) return report_error(reader.error());
    auto chroms = reader->channels();
    if (!chroms) return report_error(chroms.error());
    if (!*chroms) return report_error(usage_error("no _CHROMS.INF in this .raw directory: the run has no channels"));
    if (c.channel >= (*chroms)->channels.size())
        return report_error(usage_error(
            fmt::format("channel {} out of range: the run has {} channels", c.channel, (*chroms)->channels.size())));
    auto points = reader->read_channel(std::size_t(c.channel));
    if (!points) return report_error(points.error());
    if (!*points)
        return report_error(Error::parse(fmt::format("{} not found in {}",
                                                     raw::chroms::channel_file_name(std::size_t(c.channel)),
                                                     text::path_text(c.run))));
    std::string out = "rt_min\tvalue\n";
    for (const auto& p : **points)
        fmt::format_to(std::back_inserter(out), "{}\t{}\n", text::plain(p.rt_min), text::plain(p.value));
    return write_stdout(out);
}

int cmd_export(const CommandLine& c) {
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
