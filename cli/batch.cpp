#include "batch.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include <unistd.h>

#include <fmt/format.h>
#include <kestrune/kestrune.h>

#include "options.h"
#include "progress.h"

namespace kestrune::cli {

namespace {

namespace fs = std::filesystem;
constexpr std::string_view kTarget = "kestrune::cli";

// Lines on standard error from several exports at once stay whole.
std::mutex g_stderr;

void print_line(std::string_view text) {
    const std::lock_guard lock(g_stderr);
    fmt::print(stderr, "{}", text);
}

}  // namespace

std::string summary_text(const ExportDone& d, const ExportOptions& o) {
    const ExportSummary& r = d.summary;
    std::string out = fmt::format("{} -> {}: {} spectra, {} chromatograms, {} bytes, {} s\n",
                                  text::path_text(d.run), text::path_text(d.output), r.spectra, r.chromatograms,
                                  r.bytes, text::fixed(d.seconds, 2));
    if (!r.centroided_functions.empty()) {
        std::string list;
        for (std::uint32_t n : r.centroided_functions) list += fmt::format("{}{}", list.empty() ? "" : ", ", n);
        out += fmt::format("centroided: function{} {} (profile spectra written as centroids)\n",
                           r.centroided_functions.size() == 1 ? "" : "s", list);
    } else if (o.centroid) {
        out += "centroided: none (no function holds profile spectra)\n";
    }
    if (o.lockmass) {
        if (r.factor_min)
            out += fmt::format(
                "lock mass {}: {} of {} lock-mass scans matched; applied factors {} to {} ({} to {} ppm)\n",
                text::plain(*o.lockmass), r.lock_scans_matched, r.lock_scans, text::plain(*r.factor_min),
                text::plain(*r.factor_max), text::fixed((*r.factor_min - 1.0) * 1e6, 2),
                text::fixed((*r.factor_max - 1.0) * 1e6, 2));
        else
            out += fmt::format("lock mass {}: {} of {} lock-mass scans matched; no correction applied\n",
                               text::plain(*o.lockmass), r.lock_scans_matched, r.lock_scans);
    }
    return out;
}

namespace {

// The export to a file, or to standard output for "-".
Result<ExportSummary> export_one(const ExportRequest& r) {
    ProgressBars bars("exporting", r.progress);
    if (r.output.native() != kStdoutPath) return export_mzml(r.run, r.output, r, bars.callback());
    auto run = Run::open(r.run);
    if (!run) return fail(std::move(run.error()));
    FdOutputStream out(STDOUT_FILENO, "standard output");
    return export_mzml(*run, out, r, bars.callback());
}

}  // namespace

Result<ExportDone> export_and_report(const ExportRequest& r, bool quiet) {
    const auto start = std::chrono::steady_clock::now();
    auto summary = export_one(r);
    if (!summary) return fail(std::move(summary.error()));
    ExportDone done{r.run, r.output, *summary,
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count()};
    if (!quiet) print_line(summary_text(done, r));
    return done;
}

fs::path batch_output(const fs::path& out_dir, const fs::path& run) {
    fs::path dir = run;
    if (!dir.has_filename()) dir = dir.parent_path();  // "x.raw/"
    std::string name = dir.filename().native();
    if (name.size() > 4 && text::ascii_upper(std::string_view(name).substr(name.size() - 4)) == ".RAW")
        name.resize(name.size() - 4);
    return out_dir / (name + ".mzML");
}

CoreShare share_cores(unsigned cores, std::size_t runs, unsigned jobs, unsigned threads) noexcept {
    cores = std::max(cores, 1u);
    const unsigned n_runs = unsigned(std::clamp<std::size_t>(runs, 1, 4096));
    CoreShare s;
    s.threads = threads > 0 ? threads : 1;
    s.jobs = jobs > 0 ? jobs : std::clamp(cores / s.threads, 1u, n_runs);
    if (threads == 0) s.threads = std::max(1u, cores / std::min(s.jobs, n_runs));
    return s;
}

namespace {

// Every output is checked against every run, and no two runs may share an
// output, before anything is written.
Result<std::vector<fs::path>> batch_outputs(const BatchOptions& b) {
    std::vector<fs::path> outputs;
    for (const fs::path& run : b.runs) outputs.push_back(batch_output(b.out_dir, run));
    for (const fs::path& run : b.runs)
        for (const fs::path& out : outputs)
            if (auto ok = check_output_outside_run(out, run); !ok) return fail(std::move(ok.error()));
    for (std::size_t i = 0; i < outputs.size(); ++i)
        for (std::size_t k = 0; k < i; ++k)
            if (outputs[i] == outputs[k])
                return fail(usage_error(fmt::format(
                    "runs {} and {} would both be written to {}", text::quoted(text::path_text(b.runs[k])),
                    text::quoted(text::path_text(b.runs[i])), text::quoted(text::path_text(outputs[i])))));
    std::error_code ec;
    fs::create_directories(b.out_dir, ec);
    if (ec)
        return fail(Error::context(fmt::format("creating {}", text::quoted(text::path_text(b.out_dir))),
                                   Error::io(ec)));
    return outputs;
}

}  // namespace

Result<BatchOutcome> run_batch(const ExportRequest& base, const BatchOptions& b, bool quiet) {
    auto outputs = batch_outputs(b);
    if (!outputs) return fail(std::move(outputs.error()));
    BatchOutcome outcome;
    std::vector<std::size_t> todo;
    for (std::size_t i = 0; i < b.runs.size(); ++i) {
        if (!b.force && export_up_to_date(b.runs[i], (*outputs)[i], base).value_or(false)) {
            ++outcome.skipped;
            if (!quiet)
                print_line(fmt::format("{} -> {}: up to date, skipped\n", text::path_text(b.runs[i]),
                                       text::path_text((*outputs)[i])));
            continue;
        }
        todo.push_back(i);
    }
    const CoreShare share = share_cores(default_threads(), todo.size(), b.jobs, b.threads);
    if (log::enabled(log::Level::Info))
        log::emit(log::Level::Info, kTarget,
                  fmt::format("{} runs to export, {} at a time with {} threads each", todo.size(), share.jobs,
                              share.threads));

    std::atomic<std::size_t> next{0};
    std::mutex mutex;  // guards outcome
    const auto worker = [&] {
        for (std::size_t k; (k = next.fetch_add(1)) < todo.size();) {
            const std::size_t i = todo[k];
            ExportRequest o = base;
            o.run = b.runs[i];
            o.output = (*outputs)[i];
            o.threads = share.threads;
            o.progress = base.progress && share.jobs == 1;
            auto done = export_and_report(o, quiet);
            const std::lock_guard lock(mutex);
            if (done) {
                ++outcome.exported;
                continue;
            }
            std::string why = error_text(done.error());
            print_line(fmt::format("error: {}: {}\n", text::path_text(b.runs[i]), why));
            outcome.failed.emplace_back(b.runs[i], std::move(why));
        }
    };
    std::vector<std::thread> pool;
    const unsigned n = std::min<unsigned>(share.jobs, unsigned(std::max<std::size_t>(todo.size(), 1)));
    for (unsigned t = 1; t < n; ++t) pool.emplace_back(worker);
    worker();
    for (std::thread& t : pool) t.join();
    // In the order given, whatever order the exports ended in.
    std::sort(outcome.failed.begin(), outcome.failed.end(), [&](const auto& a, const auto& c) {
        return std::find(b.runs.begin(), b.runs.end(), a.first) < std::find(b.runs.begin(), b.runs.end(), c.first);
    });
    return outcome;
}

}  // namespace kestrune::cli
