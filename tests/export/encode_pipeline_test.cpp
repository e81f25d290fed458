#include <atomic>
#include <chrono>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "export/pipeline.h"

namespace kestrune {
using namespace exporting;

namespace {

// Jobs of uneven duration: results are consumed in job order, from the slot
// the job wrote, and never more than jobs_ahead jobs are started but not
// consumed, nor (beyond the next one) started while the waiting results
// hold more than bytes_ahead.
TEST(OrderedPipeline, ConsumesInOrderWithinTheLimits) {
    for (unsigned threads : {1u, 2u, 4u, 8u}) {
        for (std::size_t bytes_ahead : {std::size_t{0}, std::size_t{5}, std::size_t{1} << 30}) {
            const PipelineLimits limits{threads, 3, bytes_ahead};
            constexpr std::size_t kJobs = 300;
            std::vector<std::size_t> slots(limits.jobs_ahead);
            std::vector<std::size_t> order;
            std::atomic<std::size_t> started{0}, consumed{0}, waiting_bytes{0};
            std::atomic<bool> over_jobs{false}, over_bytes{false};
            run_ordered(
                kJobs, limits,
                [&](std::size_t job, unsigned worker) -> std::size_t {
                    EXPECT_LT(worker, threads);
                    if (job - consumed.load() >= limits.jobs_ahead) over_jobs = true;
                    if (job != consumed.load() && waiting_bytes.load() > bytes_ahead + 2 * threads) over_bytes = true;
                    ++started;
                    std::this_thread::sleep_for(std::chrono::microseconds((job * 7919) % 13 * 20));
                    slots[job % slots.size()] = job;
                    waiting_bytes += 2;
                    return 2;
                },
                [&](std::size_t job) {
                    order.push_back(slots[job % slots.size()]);
                    waiting_bytes -= 2;
                    ++consumed;
                    return true;
                });
            std::vector<std::size_t> want(kJobs);
            for (std::size_t i = 0; i < kJobs; ++i) want[i] = i;
            EXPECT_EQ(order, want) << threads << " threads";
            EXPECT_FALSE(over_jobs) << threads << " threads";
            EXPECT_FALSE(over_bytes) << threads << " threads, " << bytes_ahead;
        }
    }
}

TEST(OrderedPipeline, StopsEarlyAndRethrowsInJobOrder) {
    for (unsigned threads : {1u, 3u}) {
        std::size_t consumed = 0;
        run_ordered(
            100, {threads, 4, 1 << 20}, [](std::size_t, unsigned) { return std::size_t{0}; },
            [&](std::size_t job) {
                ++consumed;
                return job < 9;
            });
        EXPECT_EQ(consumed, 10u);

        // Jobs 20 and 30 fail; the first failure in job order comes out,
        // after every job before it was consumed.
        consumed = 0;
        try {
            run_ordered(
                100, {threads, 4, 1 << 20},
                [](std::size_t job, unsigned) -> std::size_t {
                    if (job == 20 || job == 30) throw std::runtime_error(std::to_string(job));
                    return 0;
                },
                [&](std::size_t) {
                    ++consumed;
                    return true;
                });
            ADD_FAILURE() << "no exception";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "20");
        }
        EXPECT_EQ(consumed, 20u);
    }
}

}  // namespace
}  // namespace kestrune
