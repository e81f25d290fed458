#include "raw/header.h"

#include <cerrno>
#include <cmath>
#include <string>

#include <gtest/gtest.h>

#include "support/temp_dir.h"
#include "raw/header.h"

using kestrune::Error;
using kestrune::raw::CalType;
using kestrune::raw::FunctionCal;
using kestrune::raw::Header;
using kestrune::raw::header::parse_cal_value;
using kestrune::testing::TempDir;

namespace {

Header parse_ok(std::string_view text) {
    auto h = Header::from_str(text);
    EXPECT_TRUE(h.has_value()) << (h ? "" : h.error().to_string());
    return h ? std::move(*h) : Header{};
}

std::string parse_fail(std::string_view text) {
    auto h = Header::from_str(text);
    EXPECT_FALSE(h.has_value());
    if (h) return {};
    EXPECT_EQ(h.error().kind(), Error::Kind::Parse);
    return h.error().to_string();
}

std::vector<double> coefficients(std::string_view value) {
    auto cal = parse_cal_value(value);
    EXPECT_TRUE(cal.has_value()) << (cal ? "" : cal.error().to_string());
    return cal ? cal->coefficients : std::vector<double>{};
}

bool rejected(std::string_view value) { return !parse_cal_value(value).has_value(); }

}  // namespace

TEST(HeaderFields, EmptyTextGivesDefaultHeader) {
    for (std::string_view text : {"", "\n\n", "  \r\n"}) {
        const Header h = parse_ok(text);
        EXPECT_FALSE(h.version || h.acquired_name || h.acquired_date || h.acquired_time || h.instrument ||
                     h.operator_ || h.sample_description);
        EXPECT_TRUE(h.calibration.empty());
    }
}

TEST(HeaderFields, EachKeyFillsItsFieldTrimmed) {
    const Header h = parse_ok(
        "$$ Version: 4.1\r\n"
        "$$ Acquired Name: run_07\n"
        "$$ Acquired Date: 03-Feb-2021\n"
        "$$ Acquired Time:  14:02:33\t\n"
        "$$ Instrument: XEVO-G2\n"
        "$$ User Name: lab\n"
        "$$ Sample Description: blank\r\n");
    EXPECT_EQ(h.version, "4.1");
    EXPECT_EQ(h.acquired_name, "run_07");
    EXPECT_EQ(h.acquired_date, "03-Feb-2021");
    EXPECT_EQ(h.acquired_time, "14:02:33");
    EXPECT_EQ(h.instrument, "XEVO-G2");
    EXPECT_EQ(h.operator_, "lab");
    EXPECT_EQ(h.sample_description, "blank");
}

TEST(HeaderFields, LineShapeIsTolerated) {
    // White space before "$$", none after it, a blank before ": ".
    EXPECT_EQ(parse_ok(" \t$$Version : 4.1").version, "4.1");
    // Unicode white space counts as white space.
    EXPECT_EQ(parse_ok("\u3000$$\u00a0Version: 4.1\u2028").version, "4.1");
    // Only the first ": " splits.
    EXPECT_EQ(parse_ok("$$ Sample Description: a: b: c").sample_description, "a: b: c");
}

TEST(HeaderFields, LinesThatAreNotSettingsAreSkipped) {
    const Header h = parse_ok(
        "Version: 1\n"        // no "$$"
        "$ Version: 2\n"      // one "$"
        "$$ Version:3\n"      // no blank after the colon
        "$$ Version:\t3\n"    // a tab is not the separator
        "$$ version: 4\n"     // keys are case-sensitive
        "$$ Unknown Key: 5\n"
        "$$\n");
    EXPECT_FALSE(h.version.has_value());
    EXPECT_TRUE(h.calibration.empty());
}

TEST(HeaderFields, LastOccurrenceOfAKeyWins) {
    const Header h = parse_ok("$$ Instrument: first\n$$ Instrument: second\n");
    EXPECT_EQ(h.instrument, "second");
}

TEST(HeaderCalibration, LineIsStoredUnderItsFunctionNumber) {
    const Header h = parse_ok(
        "$$ Cal Function 2: 1.0,2.5e-3,,T1\n"
        "$$ Cal Function 1: T0\n");
    ASSERT_EQ(h.calibration.size(), 2u);
    EXPECT_EQ(h.calibration.begin()->first, 1u);
    EXPECT_TRUE(h.calibration.at(1).coefficients.empty());
    EXPECT_EQ(h.calibration.at(1).cal_type, CalType::T0);
    EXPECT_EQ(h.calibration.at(2).coefficients, (std::vector<double>{1.0, 0.0025}));
    EXPECT_EQ(h.calibration.at(2).cal_type, CalType::T1);
}

TEST(HeaderCalibration, FunctionNumberForms) {
    const Header h = parse_ok(
        "$$ Cal Function +3: T0\n"
        "$$ Cal Function 007: T1\n"
        "$$ Cal Function Cal Function 9: T0\n"  // a repeated prefix is removed as often as it occurs
        "$$ Cal Function 4294967295: T0\n");
    EXPECT_EQ(h.calibration.at(3).cal_type, CalType::T0);
    EXPECT_EQ(h.calibration.at(7).cal_type, CalType::T1);
    EXPECT_TRUE(h.calibration.contains(9));
    EXPECT_TRUE(h.calibration.contains(4294967295u));
}

TEST(HeaderCalibration, LastLineForAFunctionWins) {
    const Header h = parse_ok("$$ Cal Function 5: 1,2,T0\n$$ Cal Function 05: 3,T1\n");
    EXPECT_EQ(h.calibration.at(5).coefficients, std::vector<double>{3.0});
    EXPECT_EQ(h.calibration.at(5).cal_type, CalType::T1);
}

TEST(HeaderCalibration, LookalikeKeysAreIgnored) {
    const Header h = parse_ok(
        "$$ Cal Functions 1: T0\n"
        "$$ Cal Function 1 T0\n"      // no ": "
        "$$ Cal Function: 1,T0\n"     // "Cal Function" without the blank
        "$$ cal function 1: T0\n");
    EXPECT_TRUE(h.calibration.empty());
}

TEST(HeaderCalibrationErrors, BadFunctionNumberQuotesTheKey) {
    const std::string prefix = "parse error: _HEADER.TXT: invalid function index in key ";
    EXPECT_EQ(parse_fail("$$ Cal Function x: T0"), prefix + "\"Cal Function x\"");
    EXPECT_EQ(parse_fail("$$ Cal Function 4294967296: T0"), prefix + "\"Cal Function 4294967296\"");
    EXPECT_EQ(parse_fail("$$ Cal Function -3: T0"), prefix + "\"Cal Function -3\"");
    EXPECT_EQ(parse_fail("$$ Cal Function +: T0"), prefix + "\"Cal Function +\"");
    EXPECT_EQ(parse_fail("$$ Cal Function 1\"\\2: T0"), prefix + "\"Cal Function 1\\\"\\\\2\"");
}

TEST(HeaderCalibrationErrors, UnknownTypeQuotesTheTrimmedLastPiece) {
    const std::string prefix = "parse error: _HEADER.TXT: unknown calibration type ";
    EXPECT_EQ(parse_fail("$$ Cal Function 1: 1, T2 "), prefix + "\"T2\"");
    EXPECT_EQ(parse_fail("$$ Cal Function 1: 1,t1"), prefix + "\"t1\"");
    EXPECT_EQ(parse_fail("$$ Cal Function 1: 1.5"), prefix + "\"1.5\"");
    EXPECT_EQ(parse_fail("$$ Cal Function 1: 1,T0,"), prefix + "\"\"");
    // The type is checked before the coefficients.
    EXPECT_EQ(parse_fail("$$ Cal Function 1: abc,T9"), prefix + "\"T9\"");
}

TEST(HeaderCalibrationErrors, BadCoefficientQuotesThePieceUntrimmed) {
    EXPECT_EQ(parse_fail("$$ Cal Function 1: 1, abc ,T0"),
              "parse error: _HEADER.TXT: invalid coefficient \" abc \"");
    EXPECT_EQ(parse_fail("$$ Cal Function 1: 1,2\t3,T0"),
              "parse error: _HEADER.TXT: invalid coefficient \"2\\t3\"");
}

TEST(HeaderCalibrationErrors, FirstFailureEndsTheParse) {
    // Later lines would be valid, earlier fields were set: still an error.
    EXPECT_FALSE(Header::from_str("$$ Version: 1\n$$ Cal Function 1: q,T0\n$$ Cal Function 2: T0\n"));
}

TEST(HeaderCoefficientSyntax, AcceptedForms) {
    EXPECT_EQ(coefficients("+1,-2,.5,5.,1e3,2.5E-3,-1e+2,T0"),
              (std::vector<double>{1, -2, 0.5, 5, 1000, 0.0025, -100}));
    const auto named = coefficients("inf,-Infinity,NaN,nAn,INF,T1");
    ASSERT_EQ(named.size(), 5u);
    EXPECT_TRUE(std::isinf(named[0]) && named[0] > 0);
    EXPECT_TRUE(std::isinf(named[1]) && named[1] < 0);
    EXPECT_TRUE(std::isnan(named[2]) && std::isnan(named[3]));
    EXPECT_TRUE(std::isinf(named[4]));
    const auto extreme = coefficients("1e400,-1e400,1e-400,T0");
    EXPECT_EQ(extreme[0], HUGE_VAL);
    EXPECT_EQ(extreme[1], -HUGE_VAL);
    EXPECT_EQ(extreme[2], 0.0);
}

TEST(HeaderCoefficientSyntax, RejectedForms) {
    for (std::string_view value : {"0x10,T0", "1 000,T0", "1_000,T0", "nan(1),T0", ".,T0", "e5,T0", "1e,T0",
                                   "+-1,T0", "1.2.3,T0", "infinit,T0", "1,5;T0"})
        EXPECT_TRUE(rejected(value)) << value;
}

TEST(HeaderFromPath, DecodesInvalidUtf8AsReplacement) {
    TempDir dir;
    const auto path = dir.write("_HEADER.TXT", std::string("$$ User Name: a\xff" "b\r\n$$ Cal Function 1: 2,T1\r\n"));
    auto h = Header::from_path(path);
    ASSERT_TRUE(h.has_value());
    EXPECT_EQ(h->operator_, "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(h->calibration.at(1).coefficients, std::vector<double>{2.0});
}

TEST(HeaderFromPath, MissingFileIsIoError) {
    TempDir dir;
    auto h = Header::from_path(dir / "_HEADER.TXT");
    ASSERT_FALSE(h.has_value());
    EXPECT_EQ(h.error().kind(), Error::Kind::Io);
    EXPECT_EQ(h.error().os_errno(), ENOENT);
}
