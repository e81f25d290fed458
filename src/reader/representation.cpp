#include "reader/representation.h"

#include <algorithm>
#include <numeric>
#include <vector>

namespace kestrune::reader {

void collect_spacings(std::span<const double> mz, std::span<const double> drift, std::vector<double>& gaps) {
    std::vector<std::size_t> order(mz.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    const bool by_drift = drift.size() == mz.size() && !drift.empty();
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        if (by_drift && drift[a] != drift[b]) return drift[a] < drift[b];
        return mz[a] < mz[b];
    });
    for (std::size_t k = 1; k < order.size(); ++k) {
        const std::size_t a = order[k - 1], b = order[k];
        if (by_drift && drift[a] != drift[b]) continue;  // a new drift bin
        const double lo = mz[a], hi = mz[b];
        if (!(hi > lo) || !(hi > 0)) continue;  // repeated values, NaN
        gaps.push_back((hi - lo) / hi);
    }
}

Representation judge_spacings(std::vector<double> gaps) noexcept {
    if (gaps.size() < kMinGaps) return Representation::Centroid;
    auto mid = gaps.begin() + std::ptrdiff_t(gaps.size() / 2);
    std::nth_element(gaps.begin(), mid, gaps.end());
    return *mid < kProfileSpacing ? Representation::Profile : Representation::Centroid;
}

Result<Representation> detect_representation(const Reader& r, const FunctionEntry& f) {
    const std::uint64_t n = f.idx.size();
    const std::uint64_t take = std::min<std::uint64_t>(n, kSampleScans);
    std::vector<double> gaps;
    for (std::uint64_t k = 0; k < take; ++k) {
        const std::uint64_t scan = take == 1 ? 0 : k * (n - 1) / (take - 1);
        auto decoded = r.decode_scan(f.number, scan);
        if (!decoded) return fail(std::move(decoded.error()));
        collect_spacings(decoded->mz, decoded->drift_time_ms, gaps);
    }
    return judge_spacings(std::move(gaps));
}

}  // namespace kestrune::reader
