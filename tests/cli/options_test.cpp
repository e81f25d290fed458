#include <cmath>

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


}  // namespace
}  // namespace kestrune::cli
