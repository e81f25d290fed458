// Synthetic time-of-flight profile spectra of known truth for the
// centroider's tests and its quality benchmark, and the figures that judge a
// centroided spectrum against that truth.
//
// The m/z axis is the sample grid of a time-of-flight detector: uniform in
// sqrt(m/z), so the spacing grows with m/z (an ion-mobility scan's integer
// flight-time bins are the same grid). Peaks are Gaussian with FWHM =
// m/z / resolving power; each sample holds Poisson counts, single-count
// noise hits land on random samples, and samples of zero counts are left
// out as the instruments do. Two other layouts test robustness: noise hits
// between the grid's samples, and each peak sampled on a grid of its own
// (uniform in m/z, centred on the peak, 2 FWHM each side, at least one
// count a sample, as tests/python/rawwriter.py's profile_peaks does), the
// samples of overlapping peaks interleaved.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kestrune::testing {

struct SpectrumPlan {
    double mz_low = 500.0;
    double mz_high = 1000.0;
    double resolving_power = 18000.0;  // m/z over FWHM
    double samples_per_fwhm = 6.0;     // at the geometric middle of the range
    std::size_t peaks = 150;           // isolated peaks, at least 8 FWHM from any other
    std::size_t doublets = 25;         // pairs of peaks doublet_fwhm apart
    double doublet_fwhm = 1.6;
    double apex_min = 10.0;      // expected counts at the apex of isolated peaks,
    double apex_max = 10000.0;   // log-uniform between these
    double noise = 0.0;          // chance of a single-count hit on each sample of the grid
    bool noise_off_grid = false; // hits at random m/z between the samples, as samples of their own
    bool own_grids = false;      // each peak on a grid of its own (noise hits off the grid)
};

struct TruePeak {
    double mz = 0;
    double sigma = 0;     // standard deviation in m/z
    double apex = 0;      // expected counts at the centre
    double counts = 0;    // ions drawn for this peak
    std::ptrdiff_t partner = -1;  // the other peak of a doublet
};

struct SyntheticSpectrum {
    std::vector<double> mz;
    std::vector<float> intensity;
    std::vector<TruePeak> peaks;  // sorted by m/z
};

SyntheticSpectrum make_spectrum(const SpectrumPlan& plan, std::uint64_t seed);

// Figures over any number of centroided spectra. A peak counts when its
// expected apex is at least strong_apex counts; an isolated one is found when
// a centroid lies within half its FWHM of it, split when two or more lie
// within one FWHM; a doublet whose smaller peak counts is resolved when each
// peak's nearest centroid lies within 0.4 FWHM of it and they differ.
struct CentroidTally {
    double strong_apex = 50.0;

    std::size_t strong = 0, found = 0, split = 0, counts_within_5pc = 0;
    std::vector<double> error_ppm, error_limit;  // |error| in ppm and in sigma / sqrt(counts)
    std::size_t doublets = 0, resolved = 0;
    // Of the peaks of resolved doublets: |error| in sigma / sqrt(counts), and
    // how many have their summed counts within 5%.
    std::vector<double> doublet_error_limit;
    std::size_t doublet_counts_within_5pc = 0;
    std::size_t profile_points = 0, centroids = 0, not_increasing = 0;

    void add(const SyntheticSpectrum& truth, std::span<const double> mz, std::span<const float> intensity);

    double recall() const;
    double split_fraction() const;
    double resolved_fraction() const;
    double counts_fraction() const;
    double doublet_counts_fraction() const;
    double points_ratio() const;
};

// The q-quantile (0..1) of the values, by nearest rank; NaN when empty.
double quantile(std::vector<double> values, double q);

}  // namespace kestrune::testing
