/// @file
/// Quality control of runs: measurements taken in one pass over a run's
/// scans, an HTML report with plots, and the metrics as PSI mzQC.
///
/// @code
/// std::vector<kestrune::RunQc> runs;
/// for (auto& path : paths) {
///     auto run = kestrune::Run::open(path);
///     auto q = run ? kestrune::measure_run(*run) : ...;
///     runs.push_back(std::move(*q));
/// }
/// std::string html = kestrune::qc_html(runs);
/// @endcode
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kestrune/config.h"
#include "kestrune/error.h"
#include "kestrune/export.h"
#include "kestrune/run.h"

namespace kestrune {

/// What the measurements look for and how much of each series they keep.
struct QcOptions {
    /// Reference m/z of the lock-mass compound; without it, the most
    /// intense peak of the lock-mass scans.
    std::optional<double> lockmass;
    /// Window around the reference m/z, Da.
    double lockmass_tolerance = kDefaultLockMassTolerance;
    std::size_t plot_points = 4000;        ///< Points per plot, shared by its traces.
    std::size_t spectrum_points = 3000;    ///< Points of an apex spectrum.
    std::size_t heatmap_mz_bins = 200;     ///< m/z cells of an ion-mobility heat map.
    std::size_t heatmap_drift_bins = 100;  ///< Drift-time cells of an ion-mobility heat map.
    /// Measure what is there of functions whose data file is cut short or
    /// whose files are missing (with a warning); otherwise such a function
    /// fails the measurement, as in ExportOptions.
    bool allow_incomplete = false;

    /// An InvalidArgument error for a lock mass or tolerance that is not a
    /// finite number above zero, or no point to plot.
    Result<void> validate() const;
};

/// A series of points.
struct XY {
    std::vector<double> x;  ///< Abscissae.
    std::vector<double> y;  ///< Ordinates.
    /// The number of points.
    std::size_t size() const noexcept { return x.size(); }
};

/// Summed intensity over an m/z by drift-time grid.
struct Heatmap {
    double mz_low = 0;              ///< Low edge of the m/z axis.
    double mz_high = 1;             ///< High edge of the m/z axis.
    double drift_low = 0;           ///< Low edge of the drift-time axis, ms.
    double drift_high = 1;          ///< High edge of the drift-time axis, ms.
    std::size_t nx = 0;             ///< m/z cells.
    std::size_t ny = 0;             ///< Drift-time cells.
    std::vector<double> sum;        ///< ny rows of nx cells, drift row 0 first.
};

/// One function of a run.
struct FunctionQc {
    std::uint32_t number = 0;  ///< Function number.
    std::uint8_t ms_level = 1; ///< MS level.
    bool lock_mass = false;    ///< Whether it is a lock-mass function.
    bool ims = false;          ///< Whether its scans are ion-mobility frames.
    std::size_t scans = 0;     ///< Scans.
    XY tic;                    ///< Retention time (min) against total ion current.
    XY bpi;                    ///< Retention time (min) against base peak intensity.
    std::optional<std::uint64_t> apex_scan;  ///< The scan with the highest total ion current.
    float apex_rt_min = 0;                   ///< Its retention time.
    double apex_tic = 0;                     ///< Its total ion current.
    /// Its spectrum (m/z, intensity), summed into bins when it has more
    /// points than asked for or drift times.
    XY apex_spectrum;
    bool apex_binned = false;        ///< Whether apex_spectrum was binned.
    std::optional<Heatmap> heatmap;  ///< Ion-mobility functions: intensity by m/z and drift time.
};

/// One chromatogram channel of a run.
struct ChannelQc {
    std::size_t index = 0;  ///< Channel number.
    std::string name;       ///< Channel name.
    std::string units;      ///< Units as recorded.
    bool pressure = false;  ///< Whether it holds a pressure.
    std::size_t points = 0; ///< Samples.
    XY trace;               ///< Time (min) against value.
    double min = 0;         ///< Smallest value.
    double median = 0;      ///< Median value.
    double max = 0;         ///< Largest value.
};

/// The lock-mass peak's m/z error over the run.
struct LockDriftQc {
    double reference_mz = 0;        ///< The reference m/z.
    bool reference_given = false;   ///< Given in the options; else the most intense lock-mass peak.
    double tolerance = 0;           ///< Search window, Da.
    std::size_t scans = 0;          ///< Lock-mass scans.
    std::size_t matched = 0;        ///< Those holding the reference peak.
    XY ppm;                         ///< Retention time (min) against ppm error of the reference peak.
    std::optional<double> median;   ///< Median error, ppm.
    std::optional<double> sd;       ///< Standard deviation of the error, ppm.
    std::optional<double> min;      ///< Smallest error, ppm.
    std::optional<double> max;      ///< Largest error, ppm.
};

/// The range of the pump pressure.
struct PressureSummary {
    std::string channel;  ///< The channel's name.
    std::string units;    ///< Its units.
    double min = 0;       ///< Smallest value.
    double median = 0;    ///< Median value.
    double max = 0;       ///< Largest value.
};

/// Run metrics. Spectra are those of the functions that are not lock-mass
/// functions; MS1 and MS2 by the function's MS level.
struct QcMetrics {
    std::size_t ms1_spectra = 0;  ///< MS1 spectra.
    std::size_t ms2_spectra = 0;  ///< MS2 spectra.
    double tic_area = 0;          ///< Sum of the spectra's total ion currents.
    double tic_area_ms1 = 0;      ///< The same over MS1 spectra.
    double tic_area_ms2 = 0;      ///< The same over MS2 spectra.
    /// Quartiles and maximum of the MS1 total ion currents.
    std::optional<std::array<double, 4>> ms1_tic_quartiles;
    /// log10 of Q2/Q1, Q3/Q2 and max/Q3 (when all are finite).
    std::optional<std::array<double, 3>> ms1_tic_quartile_ratios;
    /// Quarter intervals of the accumulated MS1 TIC over the MS1 time range.
    std::optional<std::vector<double>> tic_quartile_rt_fractions;
    std::size_t ms1_jumps = 0;  ///< Tenfold rises between adjacent scans of each MS1 function.
    std::size_t ms1_falls = 0;  ///< Tenfold falls between adjacent scans of each MS1 function.
    std::optional<double> rt_start_s;          ///< First retention time, s.
    std::optional<double> rt_end_s;            ///< Last retention time, s.
    /// Median of the time between consecutive scans of each MS1 function, s.
    std::optional<double> ms1_median_cycle_s;
    std::optional<double> lock_ppm_median;     ///< Median lock-mass error, ppm.
    std::optional<double> lock_ppm_sd;         ///< Standard deviation of the lock-mass error, ppm.
    std::optional<PressureSummary> pump_pressure;  ///< The pump pressure, when a channel holds it.
};

/// Everything measured of one run.
struct RunQc {
    std::string name;                   ///< The run's name.
    std::filesystem::path dir;          ///< Its directory.
    std::string instrument;             ///< The instrument text of the header.
    std::string acquired;               ///< Date and time as the header gives them.
    std::vector<FunctionQc> functions;  ///< Every readable function.
    std::vector<ChannelQc> channels;    ///< Every chromatogram channel with samples.
    std::optional<LockDriftQc> lock;    ///< Lock-mass drift, when measurable.
    std::string lock_note;              ///< Why there is no lock-mass drift, when there is none.
    QcMetrics metrics;                  ///< The run's metrics.
};

/// Measures a run in one pass over its scans (two over the lock-mass scans
/// when no reference is given). Memory grows with the number of scans by
/// a few numbers per scan, never with their peaks.
KESTRUNE_API Result<RunQc> measure_run(const Run& run, const QcOptions& options = {},
                                       const ProgressCallback& progress = {});

/// The HTML report of the runs, in the order given: one self-contained page
/// (inline SVG, no script that runs, nothing fetched).
KESTRUNE_API std::string qc_html(std::span<const RunQc> runs);

/// The runs' metrics as an mzQC 1.0.0 document; `creation_date` is an
/// RFC 3339 date-time.
KESTRUNE_API std::string mzqc_json(std::span<const RunQc> runs, std::string_view creation_date);

/// The whole report: checks both outputs against every run and that they
/// can be written before anything is read, measures the runs in the order
/// given, then writes the HTML report and, when asked, the mzQC file (dated
/// now), each only when complete. `progress` restarts at 0 for each run.
KESTRUNE_API Result<void> qc_report(std::span<const std::filesystem::path> runs, const std::filesystem::path& html,
                                    const std::optional<std::filesystem::path>& mzqc,
                                    const QcOptions& options = {}, const ProgressCallback& progress = {});

}  // namespace kestrune
