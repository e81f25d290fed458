#include "export/lockmass.h"

#include <algorithm>
#include <cmath>
#include <iterator>

#include "reader/representation.h"

namespace kestrune::exporting {

std::optional<LockPeak> find_lock_peak(std::span<const double> mz, std::span<const float> intensity,
                                       double reference, double tolerance, bool profile) noexcept {
    std::optional<std::size_t> best;
    const std::size_t n = std::min(mz.size(), intensity.size());
    for (std::size_t i = 0; i < n; ++i) {
        if (!(std::fabs(mz[i] - reference) <= tolerance) || !(mz[i] > 0) || std::isnan(intensity[i])) continue;
        if (!best || intensity[i] > intensity[*best]) best = i;
    }
    if (!best) return std::nullopt;
    LockPeak peak{*best, *best, *best, mz[*best]};
    if (!profile || !(intensity[*best] > 0)) return peak;

    // The m/z step at the apex: the smaller of its two neighbours' steps.
    const std::size_t a = *best;
    double step = INFINITY;
    if (a > 0 && mz[a - 1] < mz[a]) step = mz[a] - mz[a - 1];
    if (a + 1 < n && mz[a + 1] > mz[a]) step = std::min(step, mz[a + 1] - mz[a]);
    if (!std::isfinite(step)) return peak;
    const double max_step = kMaxProfileStep * step;
    const auto joins = [&](std::size_t inner, std::size_t outer) {
        const double gap = std::fabs(mz[outer] - mz[inner]);
        return intensity[outer] > 0 && intensity[outer] <= intensity[inner] && gap > 0 && gap <= max_step;
    };
    while (peak.first > 0 && mz[peak.first - 1] < mz[peak.first] && joins(peak.first, peak.first - 1)) --peak.first;
    while (peak.last + 1 < n && mz[peak.last + 1] > mz[peak.last] && joins(peak.last, peak.last + 1)) ++peak.last;
    double sum = 0, weighted = 0;
    for (std::size_t i = peak.first; i <= peak.last; ++i) {
        sum += double(intensity[i]);
        weighted += double(intensity[i]) * mz[i];
    }
    if (sum > 0) peak.mz = weighted / sum;
    return peak;
}

LockMassCorrection::LockMassCorrection(std::vector<LockPoint> points) : points_(std::move(points)) {
    std::erase_if(points_, [](const LockPoint& p) { return std::isnan(p.rt_min); });
    std::stable_sort(points_.begin(), points_.end(),
                     [](const LockPoint& a, const LockPoint& b) { return a.rt_min < b.rt_min; });
}

double LockMassCorrection::factor_at(float rt_min) const noexcept {
    if (points_.empty()) return 1.0;
    const auto after = std::lower_bound(points_.begin(), points_.end(), rt_min,
                                        [](const LockPoint& p, float rt) { return p.rt_min < rt; });
    if (after == points_.begin()) return after->factor;
    if (after == points_.end()) return points_.back().factor;
    if (after->rt_min == rt_min) return after->factor;
    const auto before = std::prev(after);
    const double span = double(after->rt_min) - double(before->rt_min);
    const double t = (double(rt_min) - double(before->rt_min)) / span;
    return before->factor + (after->factor - before->factor) * t;
}

void apply_factor(std::span<double> mz, double factor) noexcept {
    for (double& v : mz) v *= factor;
}

Result<void> for_each_lock_scan(const reader::Reader& r,
                                const std::function<void(const reader::FunctionEntry&, const Scan&)>& visit) {
    Scan scan;
    for (const reader::FunctionEntry& e : r.functions()) {
        if (!e.info.is_lock_mass()) continue;
        auto range = reader::ScanRange::open(r, e.number, 0, e.idx.size());
        if (!range) return fail(std::move(range.error()));
        while (true) {
            auto more = range->next(scan);
            if (!more) return fail(std::move(more.error()));
            if (!*more) break;
            visit(e, scan);
        }
    }
    return {};
}

Result<LockPeakFinder> LockPeakFinder::for_function(const reader::Reader& r, const reader::FunctionEntry& f,
                                                    double reference, double tolerance) {
    auto representation = reader::detect_representation(r, f);
    if (!representation) return fail(std::move(representation.error()));
    return LockPeakFinder(reference, tolerance, *representation == Representation::Profile);
}

std::optional<LockPoint> LockPeakFinder::measure(const Scan& scan) const noexcept {
    const auto peak = find_lock_peak(scan.mz, scan.intensity, reference_, tolerance_, profile_);
    if (!peak || std::isnan(scan.rt_min)) return std::nullopt;
    return LockPoint{scan.rt_min, peak->mz, reference_ / peak->mz};
}

}  // namespace kestrune::exporting
