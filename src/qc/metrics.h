// The arithmetic of the quality-control measurements, on plain values:
// quantiles, jumps, decimated series, heat maps and binned spectra.
#pragma once

#include <cstddef>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "kestrune/qc.h"

namespace kestrune::qc {

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The quantile p (0..1) of ascending values, interpolating linearly between
// the two nearest ranks (position p * (n - 1)); NaN when empty.
double quantile_sorted(std::span<const double> sorted, double p) noexcept;
// The median of the values (taken by copy); NaN when empty.
double median_of(std::vector<double> values);
// The sample standard deviation (n - 1 in the denominator); nothing for
// fewer than two values.
std::optional<double> sample_sd(std::span<const double> values) noexcept;

struct SignalJumps {
    std::size_t jumps = 0;  // next > factor * previous
    std::size_t falls = 0;  // next * factor < previous
};
// Jumps and falls between adjacent values of one series.
SignalJumps signal_jumps(std::span<const double> tic, double factor = 10.0) noexcept;

// The TIC quantile RT fractions: with the scans in retention-time order and
// their TIC accumulated, t_k is the first retention time at which the sum
// reaches k/parts of the total (t_0 the first scan's time); the values are
// (t_k - t_(k-1)) / (t_last - t_first) for k = 1..parts. Nothing when the
// total or the duration is not positive.
std::optional<std::vector<double>> tic_quantile_rt_fractions(std::span<const double> rt_sorted,
                                                             std::span<const double> tic, int parts);

// Min-max decimation of a series of known length: consecutive points are
// grouped in buckets so that at most `max_points` remain, and each bucket
// keeps its lowest and its highest point in their original order. A series
// of at most `max_points` points is kept whole.
class Decimator {
public:
    Decimator(std::size_t total, std::size_t max_points);
    void add(double x, double y);
    // The kept points; the decimator is empty afterwards.
    XY finish();

private:
    void flush();

    std::size_t bucket_size_;
    std::size_t in_bucket_ = 0;
    double min_x_ = 0, min_y_ = 0, max_x_ = 0, max_y_ = 0;
    std::size_t min_at_ = 0, max_at_ = 0;
    XY out_;
};

// A heat map of nx by ny zeroed cells over the ranges.
Heatmap make_heatmap(double mz_low, double mz_high, double drift_low, double drift_high, std::size_t nx,
                     std::size_t ny);
// Adds the intensity to the cell of (mz, drift_ms); points outside the
// ranges go to the edge cells, non-finite ones nowhere.
void heatmap_add(Heatmap& h, double mz, double drift_ms, double intensity) noexcept;

// A heat map whose drift axis spans the drift times seen, not the whole
// scan time: data at 0-14 ms of a 500 ms frame fill the picture rather than
// a strip of it. The sums are gathered on a fine grid over the scan time and
// spread over the heat map's rows at the end.
class HeatmapBuilder {
public:
    HeatmapBuilder(double mz_low, double mz_high, double drift_max, std::size_t nx, std::size_t ny);
    void add(double mz, double drift_ms, double intensity) noexcept;
    Heatmap finish() const;

private:
    static constexpr std::size_t kFineRows = 4096;
    Heatmap fine_;
    std::size_t ny_;
    double seen_low_ = std::numeric_limits<double>::infinity();
    double seen_high_ = -std::numeric_limits<double>::infinity();
};

// The spectrum as at most `max_points` points in m/z order: equal m/z
// merged, and summed into equal-width bins when still too many (or drift
// times merged): `binned` tells.
XY spectrum_points(std::span<const double> mz, std::span<const float> intensity, std::span<const double> drift,
                   std::size_t max_points, bool& binned);

}  // namespace kestrune::qc
