// Quality-control measurements of a run, taken in one pass over its scans:
// the metrics of the report and the mzQC file, and downsampled series for
// the plots. Memory grows with the number of scans by a few numbers per
// MS1 scan and per lock-mass scan, never with their peaks.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "error.h"

namespace kestrune::cli {

// ---------------------------------------------------------------------------
// The arithmetic, on plain values.

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

struct XY {
    std::vector<double> x;
    std::vector<double> y;
    std::size_t size() const noexcept { return x.size(); }
};

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

// Summed intensity over an m/z x drift-time grid; points outside the ranges
// go to the edge cells.
struct Heatmap {
    double mz_low = 0, mz_high = 1;
    double drift_low = 0, drift_high = 1;  // ms
    std::size_t nx = 0, ny = 0;            // m/z bins, drift bins
    std::vector<double> sum;               // ny rows of nx cells, drift row 0 first

    Heatmap() = default;
    Heatmap(double mz_low, double mz_high, double drift_low, double drift_high, std::size_t nx, std::size_t ny);
    void add(double mz, double drift_ms, double intensity) noexcept;
};

// ---------------------------------------------------------------------------
// Measuring a run.

struct QcOptions {
    std::optional<double> lockmass;  // reference m/z; else the most intense lock-mass peak
    double lockmass_tolerance = 0.25;
    std::size_t plot_points = 4000;  // points per plot, shared by its traces
    std::size_t spectrum_points = 3000;
    std::size_t heatmap_mz_bins = 200;
    std::size_t heatmap_drift_bins = 100;
    bool progress = false;
};

struct FunctionQc {
    std::uint32_t number = 0;
    std::uint8_t ms_level = 1;
    bool lock_mass = false;
    bool ims = false;
    std::size_t scans = 0;
    XY tic;  // retention time (min), total ion current
    XY bpi;  // retention time (min), base peak intensity
    // The scan with the highest total ion current and its spectrum (m/z,
    // intensity), summed into bins when it has more points than asked for
    // or drift times.
    std::optional<std::uint64_t> apex_scan;
    float apex_rt_min = 0;
    double apex_tic = 0;
    XY apex_spectrum;
    bool apex_binned = false;
    std::optional<Heatmap> heatmap;  // ion-mobility functions
};

struct ChannelQc {
    std::size_t index = 0;
    std::string name;
    std::string units;
    bool pressure = false;
    std::size_t points = 0;
    XY trace;  // time (min), value
    double min = 0, median = 0, max = 0;
};

struct LockDriftQc {
    double reference_mz = 0;
    bool reference_given = false;  // from --lockmass; else the most intense lock-mass peak
    double tolerance = 0;
    std::size_t scans = 0;
    std::size_t matched = 0;
    XY ppm;  // retention time (min), ppm error of the reference peak
    std::optional<double> median, sd, min, max;
};

struct PressureSummary {
    std::string channel;
    std::string units;
    double min = 0, median = 0, max = 0;
};

// Run metrics. Spectra are those of the functions that are not lock-mass
// functions; MS1 and MS2 by the function's MS level.
struct QcMetrics {
    std::size_t ms1_spectra = 0;
    std::size_t ms2_spectra = 0;
    // Sums of the spectra's total ion currents.
    double tic_area = 0;
    double tic_area_ms1 = 0;
    double tic_area_ms2 = 0;
    // Quartiles and maximum of the MS1 total ion currents, and log10 of
    // Q2/Q1, Q3/Q2 and max/Q3 (when all are finite).
    std::optional<std::array<double, 4>> ms1_tic_quartiles;
    std::optional<std::array<double, 3>> ms1_tic_quartile_ratios;
    // Quarter intervals of the accumulated MS1 TIC over the MS1 time range.
    std::optional<std::vector<double>> tic_quartile_rt_fractions;
    // Between adjacent scans of each MS1 function.
    std::size_t ms1_jumps = 0;
    std::size_t ms1_falls = 0;
    std::optional<double> rt_start_s, rt_end_s;
    // Median of the time between consecutive scans of each MS1 function.
    std::optional<double> ms1_median_cycle_s;
    std::optional<double> lock_ppm_median, lock_ppm_sd;
    std::optional<PressureSummary> pump_pressure;
};

struct RunQc {
    std::string name;
    std::filesystem::path dir;
    std::string instrument;
    std::string acquired;  // date and time as the header gives them
    std::vector<FunctionQc> functions;
    std::vector<ChannelQc> channels;
    std::optional<LockDriftQc> lock;
    std::string lock_note;  // why there is no lock-mass drift, when there is none
    QcMetrics metrics;
};

Result<RunQc> measure_run(const std::filesystem::path& run, const QcOptions& options);

// Whether a chromatogram channel holds a pressure, by its units or name.
bool is_pressure_channel(std::string_view name, std::string_view units);

}  // namespace kestrune::cli
