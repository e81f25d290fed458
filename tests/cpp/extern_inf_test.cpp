#include "raw/extern_inf.h"

#include <cerrno>
#include <string>

#include <gtest/gtest.h>

#include "support/capture.h"
#include "support/temp_dir.h"

using kestrune::Error;
using kestrune::log::Level;
using kestrune::raw::ExternFunction;
using kestrune::raw::ExternInf;
using kestrune::raw::FunctionKind;
using kestrune::raw::Polarity;
using kestrune::raw::extern_inf::classify;
using kestrune::testing::LogCapture;
using kestrune::testing::TempDir;

namespace {

constexpr std::string_view kTof = "Lteff (mm)\t1200\nVeff (V)\t7000\n";

ExternInf parse_ok(std::string_view text) {
    auto inf = ExternInf::from_str(text);
    EXPECT_TRUE(inf.has_value()) << (inf ? "" : inf.error().to_string());
    return inf ? std::move(*inf) : ExternInf{};
}

// The run-wide constants followed by `body`.
ExternInf parse_with_tof(std::string_view body) { return parse_ok(std::string(kTof) + std::string(body)); }

std::string parse_fail(std::string_view text) {
    auto inf = ExternInf::from_str(text);
    EXPECT_FALSE(inf.has_value());
    if (inf) return {};
    EXPECT_EQ(inf.error().kind(), Error::Kind::Parse);
    return inf.error().to_string();
}

FunctionKind kind_of_title(std::string_view title) {
    const ExternInf inf = parse_with_tof(std::string(title) + "\n");
    EXPECT_EQ(inf.functions.size(), 1u) << title;
    return inf.functions.empty() ? FunctionKind::Other : inf.functions.begin()->second.kind;
}

}  // namespace

TEST(ExternInfRunValues, MinimalFileAndDebugRecord) {
    LogCapture cap(Level::Trace);
    const ExternInf inf = parse_ok("Lteff\t1200.5\r\nVeff\t7184\r\n");
    EXPECT_EQ(inf.lteff, 1200.5);
    EXPECT_EQ(inf.veff, 7184.0);
    EXPECT_FALSE(inf.pusher_interval.has_value());
    EXPECT_FALSE(inf.polarity.has_value());
    EXPECT_TRUE(inf.functions.empty());
    const auto records = cap.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].level, Level::Debug);
    EXPECT_EQ(records[0].target, "kestrune::raw::extern_inf");
    EXPECT_EQ(records[0].message, "_extern.inf: no numeric PusherInterval or Pusher Cycle Time");
}

TEST(ExternInfRunValues, FirstNumericValueWins) {
    const ExternInf inf = parse_ok(
        "Lteff (mm)  unknown\n"       // not numeric: skipped
        "Lteff (mm)  1100\n"
        "Lteff 1300\n"                // later numeric value: ignored
        "Veff(V)\t\t6000.25\n"
        "Veff 1\n");
    EXPECT_EQ(inf.lteff, 1100.0);
    EXPECT_EQ(inf.veff, 6000.25);
}

TEST(ExternInfRunValues, MissingConstantsFailLteffFirst) {
    EXPECT_EQ(parse_fail(""), "parse error: _extern.inf: Lteff field not found");
    EXPECT_EQ(parse_fail("Veff 7000\nLteff n/a\n"), "parse error: _extern.inf: Lteff field not found");
    EXPECT_EQ(parse_fail("Lteff 1200\nVeff\n"), "parse error: _extern.inf: Veff field not found");
    EXPECT_EQ(parse_fail("lteff 1200\nVeff 7000\n"), "parse error: _extern.inf: Lteff field not found");
}

TEST(ExternInfRunValues, PusherIntervalBeatsCycleTime) {
    LogCapture cap(Level::Trace);
    EXPECT_EQ(parse_with_tof("Pusher Cycle Time (usec)  30\nPusher Interval (us) 64.5\n").pusher_interval, 64.5);
    EXPECT_EQ(parse_with_tof("PusherInterval 64\nPusher Cycle Time 30\n").pusher_interval, 64.0);
    // The two spellings share one slot: the first numeric one wins.
    EXPECT_EQ(parse_with_tof("PusherInterval 64\nPusher Interval 70\n").pusher_interval, 64.0);
    EXPECT_EQ(parse_with_tof("Pusher Cycle Time 30\nPusher Cycle Time 31\n").pusher_interval, 30.0);
    EXPECT_TRUE(cap.records().empty());
}

TEST(ExternInfRunValues, NonNumericCycleTimeLeavesSlotEmpty) {
    LogCapture cap(Level::Debug);
    const ExternInf inf = parse_with_tof("Pusher Cycle Time (usec)  Automatic\n");
    EXPECT_FALSE(inf.pusher_interval.has_value());
    EXPECT_EQ(cap.messages(Level::Debug).size(), 1u);
}

TEST(ExternInfRunValues, RunKeysApplyInsideSections) {
    const ExternInf inf = parse_ok(
        "Function Parameters - Function 1 - TOF MS FUNCTION\n"
        "Lteff 1150\nVeff 6900\nPolarity ES-\n");
    EXPECT_EQ(inf.lteff, 1150.0);
    EXPECT_EQ(inf.veff, 6900.0);
    EXPECT_EQ(inf.polarity, Polarity::Negative);
}

TEST(ExternInfSettingLines, KeyIsWordsJoinedAndCutBeforeParenthesis) {
    const ExternInf inf = parse_with_tof(
        "Function Parameters - Function 1 - TOF MS\n"
        "Start\u00a0\u00a0 Mass   (Da)  \t 50\n"     // runs of Unicode white space between words
        "End Mass(Da) 1200\n"
        "Set   Mass 500 ignored\n"                   // key "Set Mass 500": not a setting
        "ADC Pusher Frequency (MHz) 3.5\n"
        "Start Mass\n");                             // one word short: skipped
    const ExternFunction& f = inf.functions.at(1);
    EXPECT_EQ(f.start_mass, 50.0);
    EXPECT_EQ(f.end_mass, 1200.0);
    EXPECT_FALSE(f.set_mass.has_value());
    EXPECT_EQ(f.adc_pusher_frequency, 3.5);
}

TEST(ExternInfSections, TitleGivesNumberAndKind) {
    EXPECT_EQ(kind_of_title("Function Parameters - Function 1 - TOF MS FUNCTION"), FunctionKind::TofMs);
    EXPECT_EQ(kind_of_title("Function Parameters - Function 1 - tof ms function"), FunctionKind::TofMs);
    EXPECT_EQ(kind_of_title("Function Parameters - Function 1"), FunctionKind::Other);
    EXPECT_EQ(kind_of_title("Function Parameters - Function 1 -"), FunctionKind::Other);
    EXPECT_EQ(kind_of_title("Function Parameters - Function 1 - TOF MSMS"), FunctionKind::Msms);
    EXPECT_EQ(kind_of_title("Function Parameters - Function 1 - TOF MS - REFERENCE"), FunctionKind::Reference);
    EXPECT_EQ(kind_of_title("Function Parameters - Function 1 - Survey-Parent"), FunctionKind::Parent);
    EXPECT_EQ(kind_of_title("Function Parameters - Function 1 - daughters"), FunctionKind::Daughter);
    const ExternInf inf = parse_with_tof("Function Parameters - Function +0042 - TOF MS\n");
    ASSERT_TRUE(inf.functions.contains(42));
    EXPECT_EQ(inf.functions.at(42).number, 42u);
    EXPECT_EQ(inf.functions.at(42).start_mass, 0.0);
    EXPECT_FALSE(inf.functions.at(42).set_mass.has_value());
}

TEST(ExternInfSections, ClassifyTestsInOrder) {
    EXPECT_EQ(classify("REFERENCE TOF MS"), FunctionKind::Reference);
    EXPECT_EQ(classify("DAUGHTER MSMS"), FunctionKind::Daughter);
    EXPECT_EQ(classify("MSMS PARENT"), FunctionKind::Msms);
    EXPECT_EQ(classify("PARENT TOF MS"), FunctionKind::Parent);
    EXPECT_EQ(classify("TOF MS"), FunctionKind::TofMs);
    EXPECT_EQ(classify(""), FunctionKind::Other);
    EXPECT_EQ(classify("tof ms"), FunctionKind::Other);  // the caller upper-cases
}

TEST(ExternInfSections, BadTitleNumberIgnoresTheLine) {
    const ExternInf inf = parse_with_tof(
        "Function Parameters - Function 1 - TOF MS\n"
        "Function Parameters - Function x - MSMS\n"
        "Function Parameters - Function 4294967296 - MSMS\n"
        "Start Mass 100\n");
    ASSERT_EQ(inf.functions.size(), 1u);
    EXPECT_EQ(inf.functions.at(1).start_mass, 100.0);
}

TEST(ExternInfSections, RepeatedSectionKeepsFirstKindTakesLastValues) {
    const ExternInf inf = parse_with_tof(
        "Function Parameters - Function 2 - TOF MS\n"
        "Start Mass 50\nSet Mass 300\n"
        "Function Parameters - Function 1 - MSMS\n"
        "Function Parameters - Function 2 - MSMS\n"
        "Start Mass 75\nStart Mass 80\nEnd Mass junk\n");
    ASSERT_EQ(inf.functions.size(), 2u);
    const ExternFunction& f = inf.functions.at(2);
    EXPECT_EQ(f.kind, FunctionKind::TofMs);
    EXPECT_EQ(f.start_mass, 80.0);
    EXPECT_EQ(f.set_mass, 300.0);
    EXPECT_EQ(f.end_mass, 0.0);
    EXPECT_EQ(inf.functions.at(1).start_mass, 0.0);
}

TEST(ExternInfSections, TitleLinesEndingInColonControlTheSection) {
    const ExternInf inf = parse_with_tof(
        "Start Mass 10\n"                                 // before any section: ignored
        "Function Parameters - Function 1 - TOF MS\n"
        "Function 1 Cone Settings:\n"                     // contains Function: stays open
        "Start Mass 20\n"
        "Instrument Function Parameters:\n"               // starts with Instrument: closes
        "Start Mass 30\n"
        "Function Parameters - Function 2 - TOF MS\n"
        "End Mass 40\n"
        "Source Parameters:\n"                            // other title: closes
        "End Mass 50\n");
    EXPECT_EQ(inf.functions.at(1).start_mass, 20.0);
    EXPECT_EQ(inf.functions.at(2).end_mass, 40.0);
}

TEST(ExternInfPolarity, FirstRecognisedValueWins) {
    EXPECT_EQ(parse_with_tof("Polarity ES-\n").polarity, Polarity::Negative);
    EXPECT_EQ(parse_with_tof("Polarity\tes+\n").polarity, Polarity::Positive);
    EXPECT_EQ(parse_with_tof("Polarity Negative\n").polarity, Polarity::Negative);
    EXPECT_EQ(parse_with_tof("Polarity pos\n").polarity, Polarity::Positive);
    EXPECT_EQ(parse_with_tof("Polarity Unknown\nPolarity POSITIVE\n").polarity, Polarity::Positive);
    EXPECT_EQ(parse_with_tof("Polarity ES\nPolarity NEG\n").polarity, Polarity::Negative);
    EXPECT_EQ(parse_with_tof("Polarity ES+\nPolarity ES-\n").polarity, Polarity::Positive);
    EXPECT_FALSE(parse_with_tof("Polarity EI+\npolarity ES+\n").polarity.has_value());
}

TEST(ExternInfMsLevel, FromSectionKindOrOne) {
    const ExternInf inf = parse_with_tof(
        "Function Parameters - Function 1 - TOF MS\n"
        "Function Parameters - Function 2 - TOF PARENT\n"
        "Function Parameters - Function 3 - TOF MSMS\n"
        "Function Parameters - Function 4 - DAUGHTER\n"
        "Function Parameters - Function 5 - REFERENCE\n"
        "Function Parameters - Function 6 - SURVEY\n");
    const int expected[] = {1, 1, 2, 2, 2, 1, 1, 1};  // functions 0..7; 0 and 7 have no section
    for (std::uint32_t n = 0; n < 8; ++n) EXPECT_EQ(inf.ms_level(n), expected[n]) << n;
}

TEST(ExternInfFromPath, ReadsAndDecodesTheFile) {
    TempDir dir;
    const auto path = dir.write("_extern.inf",
                                std::string("Lteff\t1\r\nVeff\t2\r\nFunction Parameters - Function 1 - \xff MSMS\r\n"));
    auto inf = ExternInf::from_path(path);
    ASSERT_TRUE(inf.has_value());
    EXPECT_EQ(inf->functions.at(1).kind, FunctionKind::Msms);
    auto missing = ExternInf::from_path(dir / "absent.inf");
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error().kind(), Error::Kind::Io);
    EXPECT_EQ(missing.error().os_errno(), ENOENT);
}
