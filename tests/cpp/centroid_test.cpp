#include "kestrune/centroid.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>
#include <vector>

#include "centroid/centroid.h"
#include "support/synthetic_spectrum.h"

using kestrune::CentroidOptions;
using kestrune::Centroider;
using kestrune::testing::CentroidTally;
using kestrune::testing::quantile;
using kestrune::testing::SpectrumPlan;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct Centroids {
    std::vector<double> mz;
    std::vector<float> intensity;
};

Centroids centroid(const std::vector<double>& mz, const std::vector<float>& intensity,
                   const CentroidOptions& options = {}) {
    Centroids out;
    kestrune::centroid_spectrum(mz, intensity, options, out.mz, out.intensity);
    return out;
}

// What every output must satisfy: as many m/z as intensities, m/z finite,
// strictly increasing and within the input's finite m/z values,
// intensities finite and positive.
void expect_well_formed(const std::vector<double>& in_mz, const Centroids& c) {
    ASSERT_EQ(c.mz.size(), c.intensity.size());
    double lo = kInf, hi = -kInf;
    for (const double m : in_mz)
        if (std::isfinite(m)) {
            lo = std::min(lo, m);
            hi = std::max(hi, m);
        }
    for (std::size_t i = 0; i < c.mz.size(); ++i) {
        EXPECT_TRUE(std::isfinite(c.mz[i])) << i;
        EXPECT_GE(c.mz[i], lo) << i;
        EXPECT_LE(c.mz[i], hi) << i;
        EXPECT_TRUE(std::isfinite(c.intensity[i]) && c.intensity[i] > 0) << i;
        if (i > 0) {
            EXPECT_GT(c.mz[i], c.mz[i - 1]) << i;
        }
    }
}

// A noise-free Gaussian peak of `apex` counts sampled at `step` around
// `centre` (offset by `phase` steps), counts rounded, zeros left out.
void add_peak(std::vector<double>& mz, std::vector<float>& intensity, double centre, double sigma, double apex,
              double step, double phase = 0.0) {
    for (int k = -12; k <= 12; ++k) {
        const double x = centre + (k + phase) * step;
        const double y = std::round(apex * std::exp(-0.5 * (x - centre) * (x - centre) / (sigma * sigma)));
        if (y > 0) {
            mz.push_back(x);
            intensity.push_back(static_cast<float>(y));
        }
    }
}

// ---------------------------------------------------------------------------
// Quality on synthetic spectra of known truth, over resolving power,
// sampling and noise (bench/centroid_quality prints the same figures).

enum class Layout { Grid, NoiseOffGrid, OwnGrids, IonMobility };

struct QualityCase {
    double resolving_power;
    double samples_per_fwhm;
    double noise;
    Layout layout = Layout::Grid;
};

std::string case_name(const testing::TestParamInfo<QualityCase>& info) {
    const QualityCase& c = info.param;
    static constexpr const char* kLayout[] = {"", "OffGrid", "OwnGrids", "Ims"};
    return fmt::format("{}R{}k_{}PerFwhm_Noise{}", kLayout[static_cast<int>(c.layout)], c.resolving_power / 1000,
                       c.samples_per_fwhm, static_cast<int>(c.noise * 1000));
}

class CentroidQuality : public testing::TestWithParam<QualityCase> {};

TEST_P(CentroidQuality, ReachesRecallPrecisionSplitDoubletAndCountTargets) {
    const QualityCase& c = GetParam();
    SpectrumPlan plan;
    plan.resolving_power = c.resolving_power;
    plan.samples_per_fwhm = c.samples_per_fwhm;
    plan.noise = c.noise;
    plan.noise_off_grid = c.layout == Layout::NoiseOffGrid;
    plan.own_grids = c.layout == Layout::OwnGrids;
    const bool ion_mobility = c.layout == Layout::IonMobility;
    std::size_t spectra = 8;
    if (ion_mobility) {
        // Drift-bin spectra: few peaks of few counts over a wider range.
        plan.mz_low = 400;
        plan.mz_high = 1400;
        plan.peaks = 12;
        plan.doublets = 2;
        plan.apex_min = 5;
        plan.apex_max = 2000;
        spectra = 120;
    }
    Centroider centroider;
    CentroidTally tally;
    Centroids out;
    for (std::size_t s = 0; s < spectra; ++s) {
        const auto spectrum = kestrune::testing::make_spectrum(plan, 1000 + s);
        centroider.centroid(spectrum.mz, spectrum.intensity, out.mz, out.intensity);
        tally.add(spectrum, out.mz, out.intensity);
    }
    ASSERT_GT(tally.strong, 400u);
    EXPECT_EQ(tally.not_increasing, 0u);
    EXPECT_GE(tally.recall(), ion_mobility ? 0.98 : 0.99);
    // An ideal estimator's median is 0.67 sigma / sqrt(N); the target is 1.
    EXPECT_LE(quantile(tally.error_limit, 0.5), 0.85);
    EXPECT_LE(tally.split_fraction(), 0.005);
    EXPECT_GE(tally.resolved_fraction(), 0.90);
    EXPECT_GE(tally.counts_fraction(), 0.95);
    EXPECT_GE(tally.doublet_counts_fraction(), 0.90);
    EXPECT_LE(tally.points_ratio(), 0.2);
    if (ion_mobility) {
        EXPECT_LE(quantile(tally.error_ppm, 0.5), 1.0);
    }
}

std::vector<QualityCase> quality_cases() {
    std::vector<QualityCase> cases;
    for (double rp : {10000.0, 18000.0, 40000.0})
        for (double ppf : {4.0, 6.0, 10.0})
            for (double noise : {0.0, 0.02}) cases.push_back({rp, ppf, noise});
    // Noise hits between the grid's samples; peaks on grids of their own.
    cases.push_back({18000.0, 6.0, 0.05, Layout::NoiseOffGrid});
    for (double ppf : {4.0, 10.0}) cases.push_back({18000.0, ppf, 0.02, Layout::OwnGrids});
    for (double ppf : {4.0, 5.0}) cases.push_back({20000.0, ppf, 0.0005, Layout::IonMobility});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(CentroidGrid, CentroidQuality, testing::ValuesIn(quality_cases()), case_name);

// ---------------------------------------------------------------------------
// Exact values on noise-free peaks.

TEST(CentroidPeaks, SymmetricPeakGivesItsCentreAndItsSummedCounts) {
    for (const double phase : {0.0, 0.5}) {
        std::vector<double> mz;
        std::vector<float> intensity;
        add_peak(mz, intensity, 500.0, 0.01, 1000, 0.004, phase);
        double sum = 0;
        for (const float v : intensity) sum += v;
        const Centroids c = centroid(mz, intensity);
        ASSERT_EQ(c.mz.size(), 1u) << phase;
        EXPECT_NEAR(c.mz[0], 500.0, 1e-9) << phase;
        EXPECT_EQ(c.intensity[0], static_cast<float>(sum)) << phase;
    }
}

// The alternatives that bench/centroid_quality measures the default
// against find the same centre and sum.
TEST(CentroidPeaks, EveryEstimatorGivesTheCentreOfASymmetricPeak) {
    using kestrune::centroid::Estimator;
    for (const Estimator estimator : {Estimator::Mean, Estimator::Core, Estimator::Parabola3, Estimator::Gauss3})
        for (const double phase : {0.0, 0.5}) {
            std::vector<double> mz;
            std::vector<float> intensity;
            add_peak(mz, intensity, 500.0, 0.01, 1000, 0.004, phase);
            double sum = 0;
            for (const float v : intensity) sum += v;
            kestrune::centroid::Tuning tuning;
            tuning.estimator = estimator;
            kestrune::centroid::Engine engine(CentroidOptions{}, tuning);
            Centroids c;
            engine.run(mz, intensity, c.mz, c.intensity);
            const auto what = fmt::format("estimator {} phase {}", static_cast<int>(estimator), phase);
            ASSERT_EQ(c.mz.size(), 1u) << what;
            EXPECT_NEAR(c.mz[0], 500.0, 1e-9) << what;
            EXPECT_EQ(c.intensity[0], static_cast<float>(sum)) << what;
        }
}

TEST(CentroidPeaks, PeaksApartOrWithADeepValleyStaySeparate) {
    // Two peaks 1.6 FWHM apart in one stretch, and a third after a gap.
    const double sigma = 0.01, fwhm = 2.3548 * sigma, step = fwhm / 5;
    std::vector<double> mz;
    std::vector<float> intensity;
    std::vector<double> grid_y(200, 0.0);
    for (std::size_t k = 0; k < grid_y.size(); ++k) {
        const double x = 500.0 + static_cast<double>(k) * step;
        for (const double centre : {500.2, 500.2 + 1.6 * fwhm, 500.6}) {
            const double d = (x - centre) / sigma;
            grid_y[k] += 400 * std::exp(-0.5 * d * d);
        }
        const double y = std::round(grid_y[k]);
        if (y > 0) {
            mz.push_back(x);
            intensity.push_back(static_cast<float>(y));
        }
    }
    const Centroids c = centroid(mz, intensity);
    ASSERT_EQ(c.mz.size(), 3u);
    EXPECT_NEAR(c.mz[0], 500.2, 0.05 * sigma);
    EXPECT_NEAR(c.mz[1], 500.2 + 1.6 * fwhm, 0.05 * sigma);
    EXPECT_NEAR(c.mz[2], 500.6, 0.05 * sigma);
    // The doublet's samples are shared out: each peak keeps about its own counts.
    EXPECT_NEAR(c.intensity[0], c.intensity[2], 0.02 * c.intensity[2]);
    EXPECT_NEAR(c.intensity[1], c.intensity[2], 0.02 * c.intensity[2]);
}

TEST(CentroidPeaks, ShallowDipWithinCountingNoiseDoesNotSplit) {
    // A flat-topped peak whose top wobbles by less than its Poisson noise.
    const std::vector<double> mz = {100.00, 100.01, 100.02, 100.03, 100.04, 100.05, 100.06, 100.07, 100.08};
    const std::vector<float> intensity = {10, 60, 100, 92, 100, 91, 100, 60, 10};
    EXPECT_EQ(centroid(mz, intensity).mz.size(), 1u);
    // The same shape a hundred times stronger has a real valley.
    std::vector<float> strong;
    for (const float v : intensity) strong.push_back(100 * v);
    strong[4] = 8000;
    EXPECT_EQ(centroid(mz, strong).mz.size(), 2u);
}

TEST(CentroidPeaks, GapOfMoreThanOneMissingSampleSeparatesPeaks) {
    const std::vector<double> mz = {200.00, 200.01, 200.02, 200.05, 200.06, 200.07};
    const std::vector<float> intensity = {3, 6, 3, 3, 6, 3};
    const Centroids c = centroid(mz, intensity);
    ASSERT_EQ(c.mz.size(), 2u);
    EXPECT_NEAR(c.mz[0], 200.01, 1e-9);
    EXPECT_NEAR(c.mz[1], 200.06, 1e-9);
    // One missing sample is a zero inside the stretch: one peak.
    const std::vector<double> one_missing = {200.00, 200.01, 200.03, 200.04};
    EXPECT_EQ(centroid(one_missing, {2, 5, 5, 2}).mz.size(), 1u);
}

// ---------------------------------------------------------------------------
// Any input: malformed values, order, extremes.

struct OddInput {
    const char* name;
    std::vector<double> mz;
    std::vector<float> intensity;
    std::size_t centroids;  // expected number
};
constexpr std::size_t kAny = std::numeric_limits<std::size_t>::max();

class CentroidOddInput : public testing::TestWithParam<OddInput> {};

TEST_P(CentroidOddInput, GivesWellFormedOutput) {
    const OddInput& in = GetParam();
    const Centroids c = centroid(in.mz, in.intensity);
    expect_well_formed(in.mz, c);
    if (in.centroids != kAny) {
        EXPECT_EQ(c.mz.size(), in.centroids);
    }
}

const float kFMax = FLT_MAX;
const float kFInf = std::numeric_limits<float>::infinity();
const float kFNaN = std::numeric_limits<float>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    CentroidCases, CentroidOddInput,
    testing::Values(OddInput{"Empty", {}, {}, 0}, OddInput{"SinglePoint", {300.0}, {7}, 1},
                    OddInput{"LoneIonIsNoise", {300.0}, {1}, 0},
                    OddInput{"LengthsDiffer", {300.0, 300.01, 300.02}, {4}, 1},
                    OddInput{"NonFiniteMz", {kNaN, 300.0, kInf, 300.01, -kInf}, {5, 5, 5, 5, 5}, 1},
                    OddInput{"NonFiniteOrNonPositiveIntensity",
                             {300.0, 300.01, 300.02, 300.03, 300.04},
                             {kFNaN, 5, -3, 0, kFInf},
                             1},
                    OddInput{"HugeIntensities", {300.0, 300.01, 300.02}, {kFMax, kFMax, kFMax}, 1},
                    OddInput{"HugeMz", {-DBL_MAX, DBL_MAX, 1e300, -1e300}, {5, 5, 5, 5}, kAny},
                    OddInput{"WidestMzRange", {-DBL_MAX, DBL_MAX}, {kFMax, kFMax}, kAny},
                    OddInput{"TinyMz", {4.9e-324, 1e-323, 1.5e-323}, {5, 9, 5}, kAny},
                    OddInput{"AllEqualMz", {300.0, 300.0, 300.0}, {1, 1, 1}, 1}),
    [](const testing::TestParamInfo<OddInput>& info) { return std::string(info.param.name); });

TEST(CentroidOddInput, UnsortedAndRepeatedMzGiveTheResultOfSortedMergedInput) {
    std::vector<double> mz;
    std::vector<float> intensity;
    add_peak(mz, intensity, 400.0, 0.008, 500, 0.003);
    add_peak(mz, intensity, 400.2, 0.008, 300, 0.003, 0.3);
    const Centroids sorted = centroid(mz, intensity);
    ASSERT_EQ(sorted.mz.size(), 2u);

    // Reversed, with one sample split into two records of the same m/z.
    std::vector<double> odd_mz(mz.rbegin(), mz.rend());
    std::vector<float> odd_intensity(intensity.rbegin(), intensity.rend());
    odd_mz.push_back(odd_mz[5]);
    odd_intensity.push_back(odd_intensity[5] - 1);
    odd_intensity[5] = 1;
    const Centroids odd = centroid(odd_mz, odd_intensity);
    ASSERT_EQ(odd.mz.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_NEAR(odd.mz[i], sorted.mz[i], 1e-12 * sorted.mz[i]);
        EXPECT_EQ(odd.intensity[i], sorted.intensity[i]);
    }
}

// ---------------------------------------------------------------------------
// Options and storage.

TEST(CentroidOptions, ValidatedReplacesValuesOutOfRange) {
    CentroidOptions o;
    o.ion_intensity = -1;
    o.valley_significance = kNaN;
    o.min_peak_ions = kInf;
    const CentroidOptions v = o.validated();
    const CentroidOptions d;
    EXPECT_EQ(v.ion_intensity, d.ion_intensity);
    EXPECT_EQ(v.valley_significance, d.valley_significance);
    EXPECT_EQ(v.min_peak_ions, d.min_peak_ions);
    o.ion_intensity = 0;
    o.valley_significance = 2;
    o.min_peak_ions = 0;
    EXPECT_EQ(o.validated().ion_intensity, 0);
    EXPECT_EQ(o.validated().valley_significance, 2);
    EXPECT_EQ(o.validated().min_peak_ions, 0);
    EXPECT_EQ(Centroider(o).options().min_peak_ions, 0);
}

TEST(CentroidOptions, MinPeakIonsDecidesOverLoneIons) {
    const std::vector<double> mz = {300.0, 310.0, 310.001};
    const std::vector<float> intensity = {1, 1, 1};
    EXPECT_EQ(centroid(mz, intensity).mz.size(), 1u);  // the pair stays
    CentroidOptions keep;
    keep.min_peak_ions = 0;
    EXPECT_EQ(centroid(mz, intensity, keep).mz.size(), 2u);
}

TEST(CentroidOptions, AutomaticIonIntensityMakesTheScaleIrrelevant) {
    // A peak whose top dips by less than its counting noise: one peak in
    // counts; scaled by 1000, one peak only when the scale is recognised.
    const std::vector<double> mz = {100.00, 100.01, 100.02, 100.03, 100.04, 100.05, 100.06, 100.07, 100.08};
    const std::vector<float> counts = {1, 20, 50, 50, 40, 50, 50, 20, 1};
    std::vector<float> scaled;
    for (const float v : counts) scaled.push_back(1000 * v);
    ASSERT_EQ(centroid(mz, counts).mz.size(), 1u);
    EXPECT_EQ(centroid(mz, scaled).mz.size(), 2u);
    CentroidOptions automatic;
    automatic.ion_intensity = 0;
    const Centroids c = centroid(mz, scaled, automatic);
    ASSERT_EQ(c.mz.size(), 1u);
    EXPECT_NEAR(c.mz[0], centroid(mz, counts).mz[0], 1e-12);
}

TEST(CentroidStorage, LoopReusesOutputAndScratchStorage) {
    std::vector<double> mz;
    std::vector<float> intensity;
    for (int p = 0; p < 50; ++p) add_peak(mz, intensity, 300.0 + p, 0.01, 200 + 10 * p, 0.004);
    Centroider centroider;
    Centroids out;
    centroider.centroid(mz, intensity, out.mz, out.intensity);
    ASSERT_EQ(out.mz.size(), 50u);
    const double* kept_mz = out.mz.data();
    const float* kept_intensity = out.intensity.data();
    const Centroids first = out;
    centroider.centroid(mz, intensity, out.mz, out.intensity);
    EXPECT_EQ(out.mz.data(), kept_mz);
    EXPECT_EQ(out.intensity.data(), kept_intensity);
    EXPECT_EQ(out.mz, first.mz);
    EXPECT_EQ(out.intensity, first.intensity);
    // An empty spectrum empties the output.
    centroider.centroid({}, {}, out.mz, out.intensity);
    EXPECT_TRUE(out.mz.empty() && out.intensity.empty());
}

}  // namespace
