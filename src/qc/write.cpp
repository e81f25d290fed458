// The whole quality report: outputs checked, runs measured, files written.
#include <ctime>

#include <fmt/format.h>

#include "kestrune/qc.h"
#include "output/output_file.h"
#include "output/output_guard.h"
#include "text.h"

namespace kestrune {

namespace {

std::string utc_now() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    ::gmtime_r(&now, &tm);
    return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}Z", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                       tm.tm_hour, tm.tm_min, tm.tm_sec);
}

Result<void> write_file(const std::filesystem::path& path, std::string_view text) {
    auto file = output::OutputFile::create(path);
    if (!file) return fail(std::move(file.error()));
    file->write(text);
    return file->commit();
}

// Whether two output paths name the same file once resolved.
bool same_target(const std::filesystem::path& a, const std::filesystem::path& b) {
    const auto resolve = [](const std::filesystem::path& p) {
        std::error_code ec;
        std::filesystem::path abs = std::filesystem::absolute(p, ec).lexically_normal();
        std::filesystem::path out = std::filesystem::weakly_canonical(abs, ec);
        return ec ? abs : out;
    };
    return resolve(a) == resolve(b);
}

// Every output is refused when it lands in a run, and must be writable,
// before anything is read.
Result<void> check_outputs(std::span<const std::filesystem::path> runs,
                           const std::vector<std::filesystem::path>& outputs) {
    for (const auto& run : runs)
        for (const auto& out : outputs)
            if (auto ok = output::refuse_output_in_run(out, run); !ok) return ok;
    for (const auto& out : outputs)
        if (auto probe = output::OutputFile::probe(out); !probe) return fail(std::move(probe.error()));
    return {};
}

}  // namespace

Result<void> qc_report(std::span<const std::filesystem::path> runs, const std::filesystem::path& html,
                       const std::optional<std::filesystem::path>& mzqc, const QcOptions& options,
                       const ProgressCallback& progress) {
    if (auto ok = options.validate(); !ok) return ok;
    if (runs.empty()) return invalid_argument("no run to report on");
    std::vector<std::filesystem::path> outputs{html};
    if (mzqc) {
        if (same_target(html, *mzqc)) return invalid_argument("the report and the mzQC file must be different files");
        outputs.push_back(*mzqc);
    }
    if (auto ok = check_outputs(runs, outputs); !ok) return ok;
    std::vector<RunQc> measured;
    for (const auto& path : runs) {
        auto run = Run::open(path);
        auto q = run ? measure_run(*run, options, progress) : Result<RunQc>(fail(std::move(run.error())));
        if (!q)
            return fail(Error::context(fmt::format("run {}", text::quoted(text::path_text(path))), std::move(q.error())));
        measured.push_back(std::move(*q));
    }
    if (auto ok = write_file(html, qc_html(measured)); !ok) return ok;
    if (mzqc)
        if (auto ok = write_file(*mzqc, mzqc_json(measured, utc_now())); !ok) return ok;
    return {};
}

}  // namespace kestrune
