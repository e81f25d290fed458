#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "lockmass.h"

namespace kestrune::cli {
namespace {

TEST(LockPeak, TakesTheMostIntensePointInsideTheWindowOnly) {
    const std::vector<double> mz{556.0, 556.25, 556.30, 557.0, 556.2771};
    const std::vector<float> in{9000, 10, 50, 8000, 40};
    // 556.0 and 557.0 are outside 0.1 of the reference, however intense.
    EXPECT_EQ(find_lock_peak(mz, in, 556.2771, 0.1), 2u);
    // With a wider window the intense neighbour wins.
    EXPECT_EQ(find_lock_peak(mz, in, 556.2771, 0.5), 0u);
    EXPECT_FALSE(find_lock_peak(mz, in, 600.0, 0.5));
    EXPECT_FALSE(find_lock_peak({}, {}, 556.2771, 0.5));
}

TEST(LockPeak, EqualIntensitiesKeepTheFirstAndNaNNeverWins) {
    const std::vector<double> mz{100.0, 100.1, 100.2, NAN};
    const std::vector<float> in{NAN, 5, 5, 1000};
    EXPECT_EQ(find_lock_peak(mz, in, 100.1, 0.2), 1u);
}

TEST(LockMassCorrection, UsesTheLockScanNearestInRetentionTime) {
    // Given out of order on purpose.
    LockMassCorrection c({{2.0f, 0, 1.5}, {1.0f, 0, 1.25}, {3.0f, 0, 2.0}});
    EXPECT_EQ(c.factor_at(0.0f), 1.25);   // before the first
    EXPECT_EQ(c.factor_at(1.2f), 1.25);
    EXPECT_EQ(c.factor_at(1.6f), 1.5);
    EXPECT_EQ(c.factor_at(2.0f), 1.5);   // exactly on a lock scan
    EXPECT_EQ(c.factor_at(2.75f), 2.0);
    EXPECT_EQ(c.factor_at(99.0f), 2.0);  // after the last
}

TEST(LockMassCorrection, TiesGoToTheEarlierScanAndNoPointsMeansNoCorrection) {
    LockMassCorrection c({{1.0f, 0, 1.25}, {2.0f, 0, 1.5}});
    EXPECT_EQ(c.factor_at(1.5f), 1.25);
    LockMassCorrection none;
    EXPECT_TRUE(none.empty());
    EXPECT_EQ(none.factor_at(1.0f), 1.0);
    // Points without a retention time are dropped.
    LockMassCorrection nan_only({{NAN, 0, 3.0}});
    EXPECT_TRUE(nan_only.empty());
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
}  // namespace kestrune::cli
