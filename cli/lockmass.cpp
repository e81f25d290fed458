#include "lockmass.h"

#include <algorithm>
#include <cmath>
#include <iterator>

namespace kestrune::cli {

std::optional<std::size_t> find_lock_peak(std::span<const double> mz, std::span<const float> intensity,
                                          double reference, double tolerance) noexcept {
    std::optional<std::size_t> best;
    const std::size_t n = std::min(mz.size(), intensity.size());
    for (std::size_t i = 0; i < n; ++i) {
        if (!(std::fabs(mz[i] - reference) <= tolerance) || !(mz[i] > 0) || std::isnan(intensity[i])) continue;
        if (!best || intensity[i] > intensity[*best]) best = i;
    }
    return best;
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
    const auto before = std::prev(after);
    const double d_before = double(rt_min) - double(before->rt_min);
    const double d_after = double(after->rt_min) - double(rt_min);
    return d_after < d_before ? after->factor : before->factor;
}

void apply_factor(std::span<double> mz, double factor) noexcept {
    for (double& v : mz) v *= factor;
}

}  // namespace kestrune::cli
