#include "qc.h"

#include <ctime>

#include <fmt/format.h>

#include "mzqc.h"
#include "output_file.h"
#include "output_guard.h"
#include "qc_report.h"
#include "text.h"

namespace kestrune::cli {

namespace {

std::string utc_now() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    ::gmtime_r(&now, &tm);
    return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}Z", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                       tm.tm_hour, tm.tm_min, tm.tm_sec);
}

Result<void> write_file(const std::filesystem::path& path, std::string_view text) {
    auto file = OutputFile::create(path);
    if (!file) return std::unexpected(std::move(file.error()));
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

}  // namespace

Result<void> run_qc(const QcCommand& c) {
    if (c.runs.empty()) return parse_error("no run to report on");
    std::vector<std::filesystem::path> outputs{c.report};
    if (c.mzqc) {
        if (same_target(c.report, *c.mzqc)) return parse_error("the report and the mzQC file must be different files");
        outputs.push_back(*c.mzqc);
    }
    for (const auto& run : c.runs)
        for (const auto& out : outputs)
            if (auto ok = refuse_output_in_run(out, run); !ok) return ok;

    std::vector<RunQc> runs;
    for (const auto& run : c.runs) {
        auto q = measure_run(run, c.options);
        if (!q) return fail(Error::context(fmt::format("run {}", text::quoted(text::path_text(run))),
                                           std::move(q.error())));
        runs.push_back(std::move(*q));
    }
    if (auto ok = write_file(c.report, qc_html(runs)); !ok) return ok;
    if (c.mzqc)
        if (auto ok = write_file(*c.mzqc, mzqc_json(runs, utc_now())); !ok) return ok;
    return {};
}

}  // namespace kestrune::cli
