// Lock-mass correction: a reference compound infused in its own acquisition
// function gives, per lock-mass scan, the ratio of its known m/z to the m/z
// observed; every exported scan is scaled by the ratio of the lock-mass scan
// nearest to it in retention time.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

namespace kestrune::cli {

// The most intense point whose m/z lies within `tolerance` of `reference`
// (the first of equal intensities), or nothing.
std::optional<std::size_t> find_lock_peak(std::span<const double> mz, std::span<const float> intensity,
                                          double reference, double tolerance) noexcept;

struct LockPoint {
    float rt_min = 0;
    double observed_mz = 0;
    double factor = 1;  // reference / observed
};

class LockMassCorrection {
public:
    LockMassCorrection() = default;
    // Points in any order; they are kept sorted by retention time.
    explicit LockMassCorrection(std::vector<LockPoint> points);

    bool empty() const noexcept { return points_.empty(); }
    const std::vector<LockPoint>& points() const noexcept { return points_; }

    // The factor of the point nearest in retention time to `rt_min`, the
    // earlier one when two are equally near; 1 without points.
    double factor_at(float rt_min) const noexcept;

private:
    std::vector<LockPoint> points_;
};

// Multiplies every m/z by the factor.
void apply_factor(std::span<double> mz, double factor) noexcept;

}  // namespace kestrune::cli
