// The passes over a function's scans that run in C++ while the scans
// stream through one cursor: total and extracted ion current. No Python
// here; callers let go of the interpreter lock around them.
#include "common.h"

namespace kestrune::pydata {

namespace {

// Reads the selected scans through one cursor into one reused Scan and
// appends (retention time, value(scan)) for each scan the selection keeps.
template <class Value>
kestrune::Result<Trace> trace(const kestrune::Run& run, const Selection& selection, Value value) {
    auto cursor = run.scans(selection.function, selection.first, selection.end - selection.first);
    if (!cursor) return kestrune::unexpected(std::move(cursor.error()));
    Trace out;
    kestrune::Scan scan;
    while (true) {
        auto more = cursor->next(scan);
        if (!more) return kestrune::unexpected(std::move(more.error()));
        if (!*more) break;
        if (!selection.selects(scan.rt_min)) continue;
        out.rt_min.push_back(static_cast<double>(scan.rt_min));
        out.value.push_back(value(scan));
    }
    return out;
}

// Both sums add each point's intensity, widened to double, in the order of
// the scan's points: whole counts (and the 2^-16 steps of Encoding D) add
// up exactly in double, so any other order (NumPy's pairwise sum among
// them) gives the same value. The total is kept out of line: inlined into
// the pass loop, g++ 12 keeps its running sum in memory, twice as slow.
[[gnu::noinline]] double intensity_sum(const float* intensity, std::size_t n) noexcept {
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) sum += static_cast<double>(intensity[i]);
    return sum;
}

double window_sum(const double* mz, const float* intensity, std::size_t n, double low, double high) noexcept {
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i)
        if (mz[i] >= low && mz[i] <= high) sum += static_cast<double>(intensity[i]);
    return sum;
}

}  // namespace

kestrune::Result<Trace> total_ion_current(const kestrune::Run& run, const Selection& selection) {
    return trace(run, selection, [](const kestrune::Scan& scan) {
        return intensity_sum(scan.intensity.data(), scan.intensity.size());
    });
}

kestrune::Result<Trace> extracted_ion_current(const kestrune::Run& run, const Selection& selection, double mz_low,
                                              double mz_high) {
    return trace(run, selection, [mz_low, mz_high](const kestrune::Scan& scan) {
        return window_sum(scan.mz.data(), scan.intensity.data(), scan.mz.size(), mz_low, mz_high);
    });
}

}  // namespace kestrune::pydata
