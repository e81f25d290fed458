// Lock-mass correction: a reference compound infused in its own acquisition
// function gives, per lock-mass scan, the ratio of its known m/z to the m/z
// observed; every exported scan is scaled by that ratio interpolated
// linearly in retention time between the lock-mass scans around it.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "error.h"
#include "kestrune/types.h"
#include "reader/reader.h"

namespace kestrune::exporting {

// The lock-mass peak of one scan: the peak holding the most intense point
// whose m/z lies within `tolerance` of `reference` (the first of equal
// intensities). Its m/z is the intensity-weighted centroid of the peak's
// samples: on centroid data the point alone; on profile data the run of
// samples around it, in m/z order, while the intensity falls or stays
// level away from the apex, stays above zero, and the m/z step stays
// within kMaxProfileStep times the step at the apex.
struct LockPeak {
    std::size_t apex = 0;  // index of the most intense point
    std::size_t first = 0, last = 0;  // the samples of the peak (inclusive)
    double mz = 0;  // centroid
};
inline constexpr double kMaxProfileStep = 3.0;
std::optional<LockPeak> find_lock_peak(std::span<const double> mz, std::span<const float> intensity,
                                       double reference, double tolerance, bool profile) noexcept;

struct LockPoint {
    float rt_min = 0;
    double observed_mz = 0;
    double factor = 1;  // reference / observed
};

class LockMassCorrection {
public:
    LockMassCorrection() = default;
    // Points in any order; they are kept sorted by retention time, those
    // without one dropped.
    explicit LockMassCorrection(std::vector<LockPoint> points);

    bool empty() const noexcept { return points_.empty(); }
    const std::vector<LockPoint>& points() const noexcept { return points_; }

    // The factor interpolated linearly in retention time between the points
    // before and after `rt_min`; the first point's before it, the last
    // one's after it; 1 without points.
    double factor_at(float rt_min) const noexcept;

private:
    std::vector<LockPoint> points_;
};

// Multiplies every m/z by the factor.
void apply_factor(std::span<double> mz, double factor) noexcept;

// Every scan of every lock-mass function of the run, in function and scan
// order, read through one open data file per function: visit(function,
// scan) for each. Stops at the first scan that cannot be read.
Result<void> for_each_lock_scan(const reader::Reader& r,
                                const std::function<void(const reader::FunctionEntry&, const Scan&)>& visit);

// Measures the lock-mass peak of the scans of one lock-mass function, as
// the export and the quality report both do: with the function's
// representation judged from its data.
class LockPeakFinder {
public:
    static Result<LockPeakFinder> for_function(const reader::Reader& r, const reader::FunctionEntry& f,
                                               double reference, double tolerance);
    // The scan's point: its time, the peak's m/z and reference / m/z;
    // nothing when the scan has no peak in the window or no time.
    std::optional<LockPoint> measure(const Scan& scan) const noexcept;

private:
    LockPeakFinder(double reference, double tolerance, bool profile) noexcept
        : reference_(reference), tolerance_(tolerance), profile_(profile) {}
    double reference_;
    double tolerance_;
    bool profile_;
};

}  // namespace kestrune::exporting
