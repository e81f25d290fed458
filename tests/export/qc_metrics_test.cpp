#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "export/channels.h"
#include "qc/metrics.h"

namespace kestrune {
using namespace qc;
using namespace exporting;

namespace {

TEST(QcMath, QuantilesInterpolateBetweenNeighbouringRanks) {
    struct Case {
        std::vector<double> sorted;
        double p;
        double expected;
    };
    const Case cases[] = {
        {{5}, 0.25, 5},          {{1, 2, 3, 4}, 0.0, 1},   {{1, 2, 3, 4}, 1.0, 4},
        {{1, 2, 3, 4}, 0.5, 2.5}, {{1, 2, 3, 4}, 0.25, 1.75}, {{10, 20, 40, 80, 160}, 0.75, 80},
        {{0, 10}, 0.3, 3},
    };
    for (const Case& c : cases) EXPECT_DOUBLE_EQ(quantile_sorted(c.sorted, c.p), c.expected) << c.p;
    EXPECT_TRUE(std::isnan(quantile_sorted({}, 0.5)));
    EXPECT_DOUBLE_EQ(median_of({9, 1, 5, 3}), 4);
    EXPECT_FALSE(sample_sd(std::vector<double>{1}));
    EXPECT_DOUBLE_EQ(*sample_sd(std::vector<double>{2, 4, 4, 4, 5, 5, 7, 9}), std::sqrt(32.0 / 7.0));
}

TEST(QcMath, JumpsAndFallsNeedMoreThanTheFactorBetweenAdjacentScans) {
    struct Case {
        std::vector<double> tic;
        std::size_t jumps, falls;
    };
    const Case cases[] = {
        {{}, 0, 0},
        {{1, 10, 1}, 0, 0},            // exactly 10x is not more than 10x
        {{1, 10.5, 1}, 1, 1},
        {{0, 1, 0}, 1, 1},             // from and to nothing
        {{100, 5, 200, 1, 50}, 2, 2},
        {{0, 0, 0}, 0, 0},
    };
    for (const Case& c : cases) {
        const SignalJumps j = signal_jumps(c.tic);
        EXPECT_EQ(j.jumps, c.jumps);
        EXPECT_EQ(j.falls, c.falls);
    }
}

TEST(QcMath, TicQuantileRtFractionsAreQuarterIntervalsOfTheRun) {
    // Equal TIC at equally spaced times: 25% is reached at the second scan.
    const std::vector<double> rt{0, 1, 2, 3, 4}, tic{1, 1, 1, 1, 0};
    const auto f = tic_quantile_rt_fractions(rt, tic, 4);
    ASSERT_TRUE(f);
    const std::vector<double> expected{0, 0.25, 0.25, 0.25};
    EXPECT_EQ(*f, expected);
    // All the signal at one time.
    const auto spike = tic_quantile_rt_fractions(rt, std::vector<double>{0, 0, 8, 0, 0}, 4);
    EXPECT_EQ(*spike, (std::vector<double>{0.5, 0, 0, 0}));
    EXPECT_FALSE(tic_quantile_rt_fractions(rt, std::vector<double>(5, 0.0), 4));
    EXPECT_FALSE(tic_quantile_rt_fractions(std::vector<double>{1, 1}, std::vector<double>{1, 1}, 4));
}

TEST(QcMath, DecimationKeepsShortSeriesWholeAndEveryBucketsExtremes) {
    Decimator whole(3, 10);
    for (double x : {1.0, 2.0, 3.0}) whole.add(x, x * x);
    const XY w = whole.finish();
    EXPECT_EQ(w.x, (std::vector<double>{1, 2, 3}));
    EXPECT_EQ(w.y, (std::vector<double>{1, 4, 9}));

    const std::size_t n = 100000;
    Decimator d(n, 1000);
    for (std::size_t i = 0; i < n; ++i) d.add(double(i), i == 777 ? 1e9 : i == 50000 ? -5 : double(i % 7));
    const XY out = d.finish();
    EXPECT_LE(out.size(), 1000u);
    EXPECT_GE(out.size(), 900u);
    EXPECT_TRUE(std::is_sorted(out.x.begin(), out.x.end()));
    EXPECT_EQ(*std::max_element(out.y.begin(), out.y.end()), 1e9);
    EXPECT_EQ(*std::min_element(out.y.begin(), out.y.end()), -5);
}

TEST(QcMath, HeatmapSumsIntoCellsAndClampsToTheEdges) {
    Heatmap h = make_heatmap(100, 200, 0, 10, 10, 5);  // 10 Da x 2 ms cells
    heatmap_add(h, 105, 1, 2);
    heatmap_add(h, 105.5, 1.5, 3);   // same cell
    heatmap_add(h, 199.9, 9.9, 1);   // last cell
    heatmap_add(h, 50, -1, 4);       // below both ranges: first cell
    heatmap_add(h, 500, 50, 8);      // above both: last cell
    heatmap_add(h, NAN, 1, 100);     // ignored
    EXPECT_EQ(h.sum[0], 9);
    EXPECT_EQ(h.sum.back(), 9);
    double total = 0;
    for (double v : h.sum) total += v;
    EXPECT_EQ(total, 18);
}

TEST(QcMath, HeatmapDriftAxisSpansTheDriftTimesSeen) {
    // Data at 1-14 ms of a 500 ms frame fill the rows, not a thin strip.
    HeatmapBuilder b(100, 200, 500, 10, 50);
    double total = 0;
    for (int k = 0; k <= 130; ++k) {
        b.add(150, 1.0 + k * 0.1, 1);
        total += 1;
    }
    const Heatmap h = b.finish();
    EXPECT_NEAR(h.drift_low, 1.0, 0.2);
    EXPECT_NEAR(h.drift_high, 14.0, 0.3);
    std::size_t rows_used = 0;
    double sum = 0;
    for (std::size_t r = 0; r < h.ny; ++r) {
        double row = 0;
        for (std::size_t c = 0; c < h.nx; ++c) row += h.sum[r * h.nx + c];
        rows_used += row > 0;
        sum += row;
    }
    EXPECT_GE(rows_used, 40u);
    EXPECT_EQ(sum, total);
    // Nothing seen: the whole scan time, empty.
    const Heatmap empty = HeatmapBuilder(100, 200, 500, 10, 50).finish();
    EXPECT_EQ(empty.drift_high, 500);
}

TEST(QcMath, PressureChannelsByUnitsOrName) {
    EXPECT_TRUE(is_pressure_channel("Pump A", "bar"));
    EXPECT_TRUE(is_pressure_channel("Pump A", " PSI "));
    EXPECT_TRUE(is_pressure_channel("System Pressure", ""));
    EXPECT_FALSE(is_pressure_channel("Column Temp", "C"));
    EXPECT_FALSE(is_pressure_channel("Flow", "mL/min"));
}

}  // namespace
}  // namespace kestrune
