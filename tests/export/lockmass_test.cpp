#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "export/lockmass.h"

namespace kestrune {
using namespace exporting;

namespace {

std::optional<std::size_t> apex(std::span<const double> mz, std::span<const float> in, double ref, double tol) {
    const auto p = find_lock_peak(mz, in, ref, tol, false);
    if (!p) return std::nullopt;
    EXPECT_EQ(p->mz, mz[p->apex]);  // a stick is its own centroid
    return p->apex;
}

TEST(LockPeak, TakesTheMostIntensePointInsideTheWindowOnly) {
    const std::vector<double> mz{556.0, 556.25, 556.30, 557.0, 556.2771};
    const std::vector<float> in{9000, 10, 50, 8000, 40};
    // 556.0 and 557.0 are outside 0.1 of the reference, however intense.
    EXPECT_EQ(apex(mz, in, 556.2771, 0.1), 2u);
    // With a wider window the intense neighbour wins.
    EXPECT_EQ(apex(mz, in, 556.2771, 0.5), 0u);
    EXPECT_FALSE(apex(mz, in, 600.0, 0.5));
    EXPECT_FALSE(apex({}, {}, 556.2771, 0.5));
}

TEST(LockPeak, EqualIntensitiesKeepTheFirstAndNaNNeverWins) {
    const std::vector<double> mz{100.0, 100.1, 100.2, NAN};
    const std::vector<float> in{NAN, 5, 5, 1000};
    EXPECT_EQ(apex(mz, in, 100.1, 0.2), 1u);
}

TEST(LockPeak, ProfilePeakIsTheCentroidOfItsSamplesOnly) {
    // A peak sampled off its centre (true centre 500.0015), a weaker
    // neighbouring peak beyond a valley, a lone sample beyond a wide gap
    // and a zero between.
    const std::vector<double> mz{499.990, 499.995, 500.000, 500.005, 500.010, 500.015, 500.020, 500.025,
                                 500.030, 500.035, 500.20};
    const std::vector<float> in{0, 10, 40, 30, 5, 2, 6, 9, 3, 1, 0.5};
    const auto p = find_lock_peak(mz, in, 500.0, 0.1, true);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->apex, 2u);
    EXPECT_EQ(p->first, 1u);  // the zero is not part of the peak
    EXPECT_EQ(p->last, 5u);   // the valley ends it
    EXPECT_DOUBLE_EQ(p->mz, (499.995 * 10 + 500.0 * 40 + 500.005 * 30 + 500.01 * 5 + 500.015 * 2) / 87);
    // A sample beyond three steps of the apex's spacing is another peak's.
    const std::vector<double> gap_mz{500.000, 500.005, 500.010, 500.040};
    const std::vector<float> gap_in{50, 20, 10, 5};
    const auto g = find_lock_peak(gap_mz, gap_in, 500.0, 0.1, true);
    ASSERT_TRUE(g);
    EXPECT_EQ(g->last, 2u);
    // The same points read as centroid data: the apex alone.
    EXPECT_EQ(find_lock_peak(mz, in, 500.0, 0.1, false)->mz, 500.0);
}

TEST(LockMassCorrection, InterpolatesLinearlyBetweenTheLockScansAround) {
    // Given out of order on purpose.
    LockMassCorrection c({{2.0f, 0, 1.5}, {1.0f, 0, 1.25}, {3.0f, 0, 2.0}});
    struct Case {
        float rt;
        double factor;
    };
    for (const Case& k : {Case{0.0f, 1.25}, Case{1.0f, 1.25}, Case{1.2f, 1.25 + 0.25 * (double(1.2f) - 1.0)},
                          Case{2.0f, 1.5}, Case{2.75f, 1.875}, Case{3.0f, 2.0}, Case{99.0f, 2.0}})
        EXPECT_DOUBLE_EQ(c.factor_at(k.rt), k.factor) << k.rt;
}

TEST(LockMassCorrection, NoPointsMeansNoCorrection) {
    LockMassCorrection none;
    EXPECT_TRUE(none.empty());
    EXPECT_EQ(none.factor_at(1.0f), 1.0);
    // Points without a retention time are dropped.
    LockMassCorrection nan_only({{NAN, 0, 3.0}});
    EXPECT_TRUE(nan_only.empty());
    LockMassCorrection one({{1.0f, 0, 1.5}});
    EXPECT_EQ(one.factor_at(0.0f), 1.5);
    EXPECT_EQ(one.factor_at(5.0f), 1.5);
}

TEST(LockMassCorrection, FactorIsReferenceOverObservedAndScalesEveryMz) {
    const double reference = 556.2771, observed = 556.2882;
    std::vector<double> mz{100.0, observed, 1000.0};
    apply_factor(mz, reference / observed);
    EXPECT_EQ(mz[1], observed * (reference / observed));
    EXPECT_NEAR(mz[1], reference, 1e-9);
    EXPECT_EQ(mz[0], 100.0 * (reference / observed));
}

}  // namespace
}  // namespace kestrune
