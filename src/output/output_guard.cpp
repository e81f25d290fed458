#include "output/output_guard.h"

#include <sys/stat.h>

#include <fmt/format.h>

#include "kestrune/export.h"
#include "text.h"

namespace kestrune::output {

namespace {

namespace fs = std::filesystem;

// The absolute form with every existing prefix resolved and the rest
// normalised; empty when the path cannot be resolved at all.
fs::path resolved(const fs::path& p) {
    std::error_code ec;
    fs::path abs = fs::absolute(p, ec);
    if (ec) return {};
    fs::path out = fs::weakly_canonical(abs, ec);
    if (ec) return {};
    return out;
}

bool lexically_within(const fs::path& p, const fs::path& dir) {
    auto d = dir.begin();
    auto i = p.begin();
    for (; d != dir.end(); ++d, ++i) {
        if (d->empty()) continue;  // trailing separator of the directory
        if (i == p.end() || *i != *d) return false;
    }
    return true;
}

bool same_file(const fs::path& a, const struct stat& b) {
    struct stat sa {};
    return ::stat(a.c_str(), &sa) == 0 && sa.st_dev == b.st_dev && sa.st_ino == b.st_ino;
}

bool candidate_in_run(const fs::path& candidate, const fs::path& run, const struct stat* run_stat) {
    if (candidate.empty()) return false;
    if (lexically_within(candidate, run)) return true;
    if (!run_stat) return false;
    for (fs::path p = candidate;; p = p.parent_path()) {
        if (same_file(p, *run_stat)) return true;
        if (p == p.parent_path()) return false;
    }
}

}  // namespace

bool output_in_run(const fs::path& output, const fs::path& run_dir) {
    const fs::path run = resolved(run_dir);
    if (run.empty()) return false;
    struct stat run_stat {};
    const bool have_stat = ::stat(run.c_str(), &run_stat) == 0;
    const struct stat* rs = have_stat ? &run_stat : nullptr;

    // The entry itself: its parent resolved, its own name as written.
    const fs::path abs = resolved(output);
    fs::path entry;
    {
        std::error_code ec;
        const fs::path a = fs::absolute(output, ec);
        const fs::path name = a.filename();
        if (!ec && !name.empty() && name != "." && name != "..") {
            const fs::path parent = resolved(a.parent_path());
            if (!parent.empty()) entry = parent / name;
        }
    }
    return candidate_in_run(abs, run, rs) || candidate_in_run(entry, run, rs);
}

Result<void> refuse_output_in_run(const fs::path& output, const fs::path& run_dir) {
    if (!output_in_run(output, run_dir)) return {};
    return fail(Error::refused(fmt::format("refusing to write {} inside the run directory {}: runs are only read",
                                   text::quoted(text::path_text(output)), text::quoted(text::path_text(run_dir)))));
}

}  // namespace kestrune::output

namespace kestrune {

Result<void> check_output_outside_run(const std::filesystem::path& output, const std::filesystem::path& run_dir) {
    return output::refuse_output_in_run(output, run_dir);
}

}  // namespace kestrune
