#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "batch.h"
#include "command_line.h"
#include "options.h"

namespace kestrune::cli {
namespace {

namespace fs = std::filesystem;

TEST(Batch, OutputNameFollowsTheRunWithoutItsRawSuffix) {
    EXPECT_EQ(batch_output("out", "/data/QC_01.raw"), fs::path("out/QC_01.mzML"));
    EXPECT_EQ(batch_output("out", "/data/QC_01.RAW/"), fs::path("out/QC_01.mzML"));
    EXPECT_EQ(batch_output("out", "plain"), fs::path("out/plain.mzML"));
    EXPECT_EQ(batch_output("out", ".raw"), fs::path("out/.raw.mzML"));  // no name left: kept whole
}

TEST(Batch, CoresAreSharedBetweenJobsAndThreads) {
    struct Case {
        unsigned cores;
        std::size_t runs;
        unsigned jobs, threads;  // as given, 0 open
        unsigned want_jobs, want_threads;
    };
    for (const Case& c : {
             Case{8, 100, 0, 0, 8, 1},  // many runs: one thread each
             Case{8, 2, 0, 0, 2, 4},    // few runs: the cores go to their threads
             Case{8, 1, 0, 0, 1, 8},
             Case{8, 100, 2, 0, 2, 4},  // jobs given
             Case{8, 100, 0, 3, 2, 3},  // threads given
             Case{8, 100, 3, 5, 3, 5},  // both given: kept
             Case{0, 5, 0, 0, 1, 1},    // unknown core count
             Case{2, 0, 0, 0, 1, 2},
         }) {
        const CoreShare s = share_cores(c.cores, c.runs, c.jobs, c.threads);
        EXPECT_EQ(s.jobs, c.want_jobs) << c.cores << " " << c.runs << " " << c.jobs << " " << c.threads;
        EXPECT_EQ(s.threads, c.want_threads) << c.cores << " " << c.runs << " " << c.jobs << " " << c.threads;
    }
}

ParsedCommandLine parse(std::vector<const char*> args) {
    args.insert(args.begin(), "kestrune");
    return parse_command_line(int(args.size()), args.data());
}

TEST(CommandLine, ValuesAreTypedAndCheckedWhereTheyAreParsed) {
    struct Case {
        std::vector<const char*> args;
        int status;  // 0: parsed
    };
    for (const Case& c : {
             Case{{"spectrum", "r.raw", "1", "0"}, 0},
             Case{{"spectrum", "r.raw", "+2", "007"}, 0},
             Case{{"spectrum", "r.raw", "0", "0"}, kExitUsage},
             Case{{"spectrum", "r.raw", "4294967296", "0"}, kExitUsage},
             Case{{"spectrum", "r.raw", "1", "-1"}, kExitUsage},
             Case{{"spectrum", "r.raw", "1", "0x10"}, kExitUsage},
             Case{{"spectrum", "r.raw", "1", " 1"}, kExitUsage},
             Case{{"chrom", "r.raw", "18446744073709551616"}, kExitUsage},
             Case{{"export", "r.raw", "-o", "x", "--lockmass", "inf"}, kExitUsage},
             Case{{"export", "r.raw", "-o", "x", "--lockmass", "0"}, kExitUsage},
             Case{{"export", "r.raw", "-o", "x", "--lockmass", "556.2", "--lockmass-tolerance", "-1"}, kExitUsage},
             Case{{"export", "r.raw", "-o", "x", "--lockmass-optional"}, kExitUsage},
             Case{{"export", "r.raw", "-o", "x", "--ms-level", "0"}, kExitUsage},
             Case{{"export", "r.raw", "-o", "x", "--functions", "1,,2"}, kExitUsage},
             Case{{"export", "r.raw", "-o", "x", "--rt-range", "2:1"}, kExitUsage},
             Case{{"export", "r.raw", "-O", "d", "--jobs", "0"}, kExitUsage},
             Case{{"export", "r.raw", "-O", "d", "--force", "-v"}, 0},
             Case{{"-q", "-v", "info", "r.raw"}, kExitUsage},
         }) {
        std::string joined;
        for (const char* a : c.args) joined += std::string(a) + " ";
        const ParsedCommandLine p = parse(c.args);
        EXPECT_EQ(p.line.has_value(), c.status == 0) << joined;
        if (!p.line) {
            EXPECT_EQ(p.exit_status, c.status) << joined;
        }
    }
}

TEST(CommandLine, GlobalOptionsGoEitherSideOfTheSubcommand) {
    const auto after = parse({"export", "a.raw", "b.raw", "-O", "out", "-vv", "--jobs", "+3"});
    ASSERT_TRUE(after.line);
    EXPECT_EQ(after.line->verbose, 2);
    EXPECT_TRUE(after.line->batch_mode);
    EXPECT_EQ(after.line->batch.jobs, 3u);
    EXPECT_EQ(after.line->batch.runs.size(), 2u);
    const auto before = parse({"-q", "spectrum", "r.raw", "+2", "007"});
    ASSERT_TRUE(before.line);
    EXPECT_TRUE(before.line->quiet);
    EXPECT_EQ(before.line->function, 2u);
    EXPECT_EQ(before.line->scan, 7u);  // decimal, not octal
    const auto single = parse({"export", "r.raw", "-o", "-", "--functions", "3,1", "--lockmass", "556.2771"});
    ASSERT_TRUE(single.line);
    EXPECT_FALSE(single.line->batch_mode);
    EXPECT_EQ(single.line->export_options.output, fs::path("-"));
    EXPECT_EQ(single.line->export_options.functions, (std::vector<std::uint32_t>{3, 1}));
    EXPECT_EQ(single.line->export_options.lockmass, 556.2771);
}

TEST(CommandLine, ErrorsOfUseAreTellableFromOthers) {
    const Error use = usage_error("function 9 not found");
    EXPECT_TRUE(is_usage_error(use));
    EXPECT_EQ(error_text(use), "function 9 not found");
    const Error wrapped = Error::context("run a.raw", usage_error("no scan matches"));
    EXPECT_TRUE(is_usage_error(wrapped));
    EXPECT_EQ(error_text(wrapped), "run a.raw: no scan matches");
    const Error other = Error::context("reading x", Error::parse("bad"));
    EXPECT_FALSE(is_usage_error(other));
    EXPECT_EQ(error_text(other), other.to_string());
}

}  // namespace
}  // namespace kestrune::cli
