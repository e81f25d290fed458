#include <cerrno>
#include <cmath>
#include <functional>

#include <gtest/gtest.h>

#include "options.h"

namespace kestrune::cli {
namespace {

TEST(FunctionList, CommaSeparatedNumbersWithoutDuplicates) {
    auto r = parse_function_list("3, 1,3 ,+2");
    ASSERT_TRUE(r) << r.error().to_string();
    EXPECT_EQ(*r, (std::vector<std::uint32_t>{3, 1, 2}));
}

TEST(FunctionList, RejectsZeroEmptyPiecesAndWords) {
    for (const char* bad : {"", "0", "1,,2", "1,x", "-1", "4294967296", "1;2"}) {
        auto r = parse_function_list(bad);
        ASSERT_FALSE(r) << bad;
        EXPECT_TRUE(r.error().to_string().starts_with("parse error: --functions: ")) << r.error().to_string();
    }
}

TEST(RtRange, BothEndsOptionalAndInclusive) {
    auto r = parse_rt_range("0.5:1.5");
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->contains(0.5));
    EXPECT_TRUE(r->contains(1.5));
    EXPECT_FALSE(r->contains(1.5000001));
    EXPECT_FALSE(r->contains(NAN));
    auto open_start = parse_rt_range(":2");
    ASSERT_TRUE(open_start);
    EXPECT_FALSE(open_start->min);
    EXPECT_TRUE(open_start->contains(-100.0));
    auto open_end = parse_rt_range("2:");
    ASSERT_TRUE(open_end);
    EXPECT_FALSE(open_end->max);
    EXPECT_TRUE(open_end->contains(1e9));
}

TEST(RtRange, RejectsMissingColonNonNumbersAndReversedEnds) {
    EXPECT_EQ(parse_rt_range("1.5").error().to_string(), "parse error: --rt-range: \"1.5\" is not of the form MIN:MAX");
    EXPECT_EQ(parse_rt_range("a:2").error().to_string(), "parse error: --rt-range: \"a\" is not a number of minutes");
    EXPECT_EQ(parse_rt_range("nan:2").error().to_string(),
              "parse error: --rt-range: \"nan\" is not a number of minutes");
    EXPECT_EQ(parse_rt_range("3:2").error().to_string(), "parse error: --rt-range: start 3 is after end 2");
}


// The one validator every front-end calls: each field out of range alone is
// an invalid argument; the defaults and the edges of each range are taken.
TEST(ExportOptionsValidate, EachFieldOutOfRangeIsAnInvalidArgument) {
    struct Case {
        const char* what;
        std::function<void(ExportOptions&)> set;
        bool valid;
    };
    const Case cases[] = {
        {"defaults", [](ExportOptions&) {}, true},
        {"level 0", [](ExportOptions& o) { o.compression_level = 0; }, true},
        {"level 12", [](ExportOptions& o) { o.compression_level = 12; }, true},
        {"level 13", [](ExportOptions& o) { o.compression_level = 13; }, false},
        {"level -1", [](ExportOptions& o) { o.compression_level = -1; }, false},
        {"ppm 0", [](ExportOptions& o) { o.numpress_ppm = 0; }, false},
        {"ppm NaN", [](ExportOptions& o) { o.numpress_ppm = NAN; }, false},
        {"threads 0 is the default", [](ExportOptions& o) { o.threads = 0; }, true},
        {"threads max", [](ExportOptions& o) { o.threads = kMaxThreads; }, true},
        {"threads above max", [](ExportOptions& o) { o.threads = kMaxThreads + 1; }, false},
        {"lock mass inf", [](ExportOptions& o) { o.lockmass = INFINITY; }, false},
        {"lock mass 0", [](ExportOptions& o) { o.lockmass = 0.0; }, false},
        {"lock mass", [](ExportOptions& o) { o.lockmass = 556.2771; }, true},
        {"tolerance negative", [](ExportOptions& o) { o.lockmass_tolerance = -0.1; }, false},
        {"MS level 0", [](ExportOptions& o) { o.ms_level = 0u; }, false},
        {"MS level 256", [](ExportOptions& o) { o.ms_level = 256u; }, false},
        {"function 0", [](ExportOptions& o) { o.functions = std::vector<std::uint32_t>{1, 0}; }, false},
        {"reversed range", [](ExportOptions& o) { o.rt_range = RtRange{2.0, 1.0}; }, false},
        {"NaN range end", [](ExportOptions& o) { o.rt_range = RtRange{std::nullopt, NAN}; }, false},
        {"open range", [](ExportOptions& o) { o.rt_range = RtRange{std::nullopt, 1.0}; }, true},
    };
    for (const Case& c : cases) {
        ExportOptions o;
        c.set(o);
        const auto r = o.validate();
        EXPECT_EQ(r.has_value(), c.valid) << c.what;
        if (!r) {
            EXPECT_EQ(r.error().kind(), Error::Kind::InvalidArgument) << c.what;
        }
    }
}

TEST(ExitStatus, ComesFromTheKindOfTheCauseNeverFromTheText) {
    struct Case {
        Error error;
        int status;
    };
    Case cases[] = {
        {Error::io(ENOSPC), kExitFailure},
        {Error::parse("usage error"), kExitFailure},
        {Error::refused("refusing to write x inside the run directory y"), kExitFailure},
        {Error::invalid_argument("function 9 not found"), kExitUsage},
        {Error::context("run a.raw", Error::invalid_argument("no scan matches")), kExitUsage},
        {Error::context("usage error", Error::parse("bad")), kExitFailure},
    };
    for (const Case& c : cases) EXPECT_EQ(exit_status(c.error), c.status) << c.error.to_string();
    // A refusal reads as one, not as a parse error.
    EXPECT_EQ(Error::refused("refusing to write x").to_string(), "refusing to write x");
}

}  // namespace
}  // namespace kestrune::cli
