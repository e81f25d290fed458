#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "reader/lookup.h"
#include "reader/reader.h"
#include "support/capture.h"
#include "support/run_writer.h"
#include "support/temp_dir.h"
#include "reader/reader.h"

namespace kestrune {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using log::Level;
using reader::Encoding;
using reader::Reader;
using namespace kestrune::testing;

raw::functions_inf::FunctionInfo info(float mz_low = 100, float mz_high = 400, std::uint8_t subtype = 0x12) {
    raw::functions_inf::FunctionInfo i;
    i.function_type = 0x12;
    i.scan_subtype = subtype;
    i.scan_time_s = 0.1f;
    i.mz_low = mz_low;
    i.mz_high = mz_high;
    return i;
}

// A 22-byte-index function with `scans` scans of `records` A-encoded records each.
RunFunction function_a(std::size_t scans = 3, std::size_t records = 4) {
    RunFunction f;
    f.info = info();
    f.layout = IndexLayout::A22;
    f.record_width = 6;
    for (std::size_t s = 0; s < scans; ++s) {
        ByteVec scan;
        for (std::size_t r = 0; r < records; ++r) {
            auto rec = record_a(static_cast<std::uint16_t>(10 + r), 3, 0x800000);
            scan.insert(scan.end(), rec.begin(), rec.end());
        }
        f.scans.push_back(scan);
    }
    return f;
}

RunFunction function_b30(std::size_t scans = 2) {
    RunFunction f;
    f.info = info();
    f.layout = IndexLayout::B30;
    for (std::size_t s = 0; s < scans; ++s) {
        ByteVec scan;
        for (std::uint16_t pos : {10, 15, 20}) {
            auto rec = record_c(7, 0, pos);
            scan.insert(scan.end(), rec.begin(), rec.end());
        }
        f.scans.push_back(scan);
    }
    return f;
}

RunSpec basic_run(std::optional<std::string> instrument = "QTOF") {
    RunSpec spec;
    spec.header = header_text(std::move(instrument), {{1, "0,1,T1"}, {2, "T0"}});
    spec.extern_inf = extern_text(1200, 7200);
    return spec;
}

std::string dir_text(const TempDir& dir) { return dir.path().string(); }

// A 22-byte index whose records have these offsets and peak counts.
void write_index_a(const TempDir& dir, std::uint32_t n, const std::vector<std::pair<std::uint32_t, std::uint32_t>>& recs) {
    std::vector<raw::ScanIndexA> a;
    for (auto [offset, count] : recs) a.push_back({offset, count, 0.f, 0});
    dir.write(reader::function_file_name(n, ".IDX"), index_a_image(a));
}

TEST(ReaderOpen, RequiredFilesAreLookedUpHeaderFirst) {
    TempDir dir;
    auto r = Reader::open(dir.path());
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().to_string(), "parse error: required file _HEADER.TXT missing in " + dir_text(dir));

    dir.write("_HEADER.TXT", header_text("QTOF", {}));
    r = Reader::open(dir.path());
    EXPECT_EQ(r.error().to_string(), "parse error: required file _extern.inf missing in " + dir_text(dir));

    dir.write("_EXTERN.INF", extern_text(1200, 7200));
    r = Reader::open(dir.path());
    EXPECT_EQ(r.error().to_string(), "parse error: required file _FUNCTNS.INF missing in " + dir_text(dir));
}

TEST(ReaderOpen, MissingDirectoryFailsAtFirstListingAndLogsOnlyOpening) {
    TempDir dir;
    LogCapture cap(Level::Trace);
    const auto missing = dir / "nope.raw";
    auto r = Reader::open(missing);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().to_string(),
              "listing " + missing.string() + ": I/O error: No such file or directory (os error 2)");
    EXPECT_THAT(cap.messages(), ElementsAre("opening " + missing.string()));

    const auto file = dir.write("plain.raw", "x");
    r = Reader::open(file);
    EXPECT_EQ(r.error().to_string(), "listing " + file.string() + ": I/O error: Not a directory (os error 20)");
}

TEST(ReaderOpen, EmptyFunctionTableGivesNoFunctions) {
    TempDir dir;
    write_run(dir.path(), basic_run());
    LogCapture cap(Level::Debug);
    auto r = Reader::open(dir.path());
    ASSERT_TRUE(r) << r.error().to_string();
    EXPECT_TRUE(r->functions().empty());
    const auto msgs = cap.messages(Level::Debug);
    ASSERT_FALSE(msgs.empty());
    EXPECT_EQ(msgs.back(), "opened " + dir.path().filename().string() + ": 0 of 0 functions readable");
}

TEST(ReaderOpen, FunctionWithoutDataFileIsSkippedWithOneWarning) {
    TempDir dir;
    RunSpec spec = basic_run();
    spec.functions = {function_a(), function_a()};
    spec.functions[0].write_dat = false;
    write_run(dir.path(), spec);
    LogCapture cap(Level::Warn);
    auto r = Reader::open(dir.path());
    ASSERT_TRUE(r) << r.error().to_string();
    ASSERT_EQ(r->functions().size(), 1u);
    EXPECT_EQ(r->functions()[0].number, 2u);
    EXPECT_THAT(cap.messages(Level::Warn),
                ElementsAre("function 1: _FUNC001.IDX or _FUNC001.DAT missing in " + dir_text(dir) +
                            "; skipping function"));
    EXPECT_EQ(r->function(1), nullptr);
    EXPECT_NE(r->function(2), nullptr);
}

TEST(ReaderOpen, EncodingFollowsIndexLayoutRecordWidthAndInstrument) {
    struct Case {
        std::vector<std::pair<std::uint32_t, std::uint32_t>> recs;
        Encoding want;
    };
    const std::vector<Case> cases = {
        {{{0, 100}, {600, 100}}, Encoding::A},
        {{{0, 100}, {800, 100}}, Encoding::D},
        {{{0, 100}}, Encoding::A},                         // single record
        {{{0, 100}, {700, 100}}, Encoding::A},             // quotient 7
        {{{0, 100}, {0, 100}, {0, 0}}, Encoding::A},       // equal offsets, zero count
        {{{0, 100}, {700, 100}, {1500, 5}}, Encoding::D},  // 7, then 8 decides
        {{{800, 10}, {0, 100}, {600, 5}}, Encoding::A},    // a decreasing pair is skipped
    };
    for (const auto& c : cases) {
        TempDir dir;
        RunSpec spec = basic_run();
        spec.functions = {function_a(1, 1)};
        write_run(dir.path(), spec);
        write_index_a(dir, 1, c.recs);
        auto r = Reader::open(dir.path());
        ASSERT_TRUE(r) << r.error().to_string();
        EXPECT_EQ(r->functions().at(0).encoding, c.want) << c.recs.size() << " records";
    }
}

TEST(ReaderOpen, ThirtyByteIndexIsImsOnlyOnSynapt) {
    for (auto [instrument, want] : std::vector<std::pair<std::optional<std::string>, Encoding>>{
             {"sYnApT G2-S", Encoding::B},
             {"SYNAPT", Encoding::B},
             {"SYNAP", Encoding::C},
             {std::nullopt, Encoding::C},
             {"XEVO-G2XSQTOF#NotSet", Encoding::C}}) {
        TempDir dir;
        RunSpec spec = basic_run(instrument);
        spec.functions = {function_b30()};
        write_run(dir.path(), spec);
        auto r = Reader::open(dir.path());
        ASSERT_TRUE(r) << r.error().to_string();
        EXPECT_EQ(r->functions().at(0).encoding, want) << instrument.value_or("(absent)");
    }
}

TEST(ReaderOpen, MalformedIndexFailsTheWholeOpenWithItsPath) {
    TempDir dir;
    RunSpec spec = basic_run();
    spec.functions = {function_a(), function_a()};
    write_run(dir.path(), spec);
    const auto idx = dir.write("_FUNC002.IDX", ByteVec(50, 0));
    auto r = Reader::open(dir.path());
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().to_string(), "reading " + idx.string() +
                                         ": parse error: _FUNCnnn.IDX: size 50 is not a multiple of 22 "
                                         "(Variant A) or 30 (Variant B)");
}

TEST(ReaderOpen, RunWideParserErrorsCarryTheReadingContext) {
    TempDir dir;
    RunSpec spec = basic_run();
    spec.extern_inf = "Veff 7200\n";
    write_run(dir.path(), spec);
    auto r = Reader::open(dir.path());
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().to_string(),
              "reading " + (dir / "_extern.inf").string() + ": parse error: _extern.inf: Lteff field not found");

    write_run(dir.path(), basic_run());
    dir.write("_FUNCTNS.INF", ByteVec(417, 0));
    r = Reader::open(dir.path());
    EXPECT_EQ(r.error().to_string(), "reading " + (dir / "_FUNCTNS.INF").string() +
                                         ": parse error: _FUNCTNS.INF: file size 417 is not a multiple of 416 "
                                         "(record size)");
}

TEST(ReaderOpen, IndexBeyondDataFileWarnsButKeepsTheFunction) {
    TempDir dir;
    RunSpec spec = basic_run();
    spec.functions = {function_a(1, 4), function_b30()};
    write_run(dir.path(), spec);
    write_index_a(dir, 1, {{0, 4}, {24, 10}});  // 24 + 10 * 6 = 84 > 24
    dir.write("_FUNC002.DAT", ByteVec(4, 0));   // B30 offsets run past the file: never checked
    LogCapture cap(Level::Warn);
    auto r = Reader::open(dir.path());
    ASSERT_TRUE(r) << r.error().to_string();
    EXPECT_EQ(r->functions().size(), 2u);
    EXPECT_THAT(cap.messages(Level::Warn), ElementsAre("function 1: index addresses 84 bytes but " +
                                                       (dir / "_FUNC001.DAT").string() + " is 24 bytes"));
}

TEST(ReaderOpen, FunctionWithoutCalibrationLineIsKeptUncalibrated) {
    TempDir dir;
    RunSpec spec = basic_run();
    spec.functions = {function_a(), function_a(), function_a()};
    write_run(dir.path(), spec);
    LogCapture cap(Level::Warn);
    auto r = Reader::open(dir.path());
    ASSERT_TRUE(r) << r.error().to_string();
    ASSERT_EQ(r->functions().size(), 3u);
    EXPECT_THAT(cap.messages(Level::Warn),
                ElementsAre("function 3: no Cal Function line in _HEADER.TXT; m/z is uncalibrated"));
    EXPECT_EQ(r->functions()[2].cal.cal_type, raw::CalType::T0);
    EXPECT_TRUE(r->functions()[2].cal.coefficients.empty());
    EXPECT_EQ(r->functions()[0].cal.cal_type, raw::CalType::T1);
    EXPECT_THAT(r->functions()[0].cal.coefficients, ElementsAre(0.0, 1.0));
}

TEST(ReaderOpen, StatisticsAreOptionalAndUnreadableOnesAreIgnored) {
    TempDir dir;
    RunSpec spec = basic_run();
    spec.functions = {function_a(1), function_a(1), function_a(1)};
    spec.functions[0].sts = sts_image({{"Collision Energy", 3, 0}}, 4, {sts_float_record(4, 0, 25.f)});
    spec.functions[1].sts = ByteVec(31, 0);
    write_run(dir.path(), spec);
    LogCapture cap(Level::Debug);
    auto r = Reader::open(dir.path());
    ASSERT_TRUE(r) << r.error().to_string();
    EXPECT_TRUE(r->functions()[0].sts.has_value());
    EXPECT_FALSE(r->functions()[1].sts.has_value());
    EXPECT_FALSE(r->functions()[2].sts.has_value());
    EXPECT_THAT(cap.messages(Level::Warn),
                ::testing::Contains("function 2: ignoring unreadable " + (dir / "_FUNC002.STS").string() +
                                    ": parse error: _FUNCnnn.STS too small: 31 bytes (need at least 32)"));
    const auto debug = cap.messages(Level::Debug);
    EXPECT_EQ(std::count(debug.begin(), debug.end(), "function 3: no STS file"), 1);
}

TEST(ReaderOpen, DebugSummariesDescribeTheRunAndEachFunction) {
    TempDir dir;
    RunSpec spec = basic_run("Q\"TOF");
    spec.functions = {function_a(2, 4), function_b30(3)};
    spec.functions[0].info = info(50.5f, 1200.f, 0x92);
    write_run(dir.path(), spec);
    write_index_a(dir, 1, {{0, 4}, {24, 4}});
    LogCapture cap(Level::Debug);
    auto r = Reader::open(dir.path());
    ASSERT_TRUE(r) << r.error().to_string();
    const auto debug = cap.messages(Level::Debug);
    EXPECT_THAT(debug, ::testing::Contains("instrument \"Q\\\"TOF\"; Lteff 1200 mm, Veff 7200 V, pusher interval "
                                           "64 us; 2 functions in _FUNCTNS.INF; T1 calibration for functions [1, 2]"));
    EXPECT_THAT(debug, ::testing::Contains("function 1: 2 scans, m/z 50.5-1200, subtype 0x92 (lock mass), encoding A "
                                           "(22-byte index, 6-byte records), calibration T1 with 2 coefficients, "
                                           "DAT 48 bytes"));
    EXPECT_THAT(debug, ::testing::Contains("function 2: 3 scans, m/z 100-400, subtype 0x12, encoding C (30-byte "
                                           "index, instrument \"Q\\\"TOF\" is not SYNAPT), calibration T0 with 0 "
                                           "coefficients, DAT 72 bytes"));
    EXPECT_EQ(debug.back(), "opened " + dir.path().filename().string() + ": 2 of 2 functions readable");
    for (const auto& rec : cap.records()) EXPECT_EQ(rec.target, "kestrune::reader");
}

TEST(ReaderOpen, PusherIntervalAbsentIsReportedAsAbsent) {
    TempDir dir;
    RunSpec spec = basic_run(std::nullopt);
    spec.extern_inf = extern_text(1200, 7200, std::nullopt);
    write_run(dir.path(), spec);
    LogCapture cap(Level::Debug);
    ASSERT_TRUE(Reader::open(dir.path()));
    EXPECT_THAT(cap.messages(Level::Debug),
                ::testing::Contains("instrument \"\"; Lteff 1200 mm, Veff 7200 V, pusher interval absent; 0 "
                                    "functions in _FUNCTNS.INF; T1 calibration for functions [1, 2]"));
}

TEST(ReaderRunFiles, FunctionTableKeepsUnreadableRecords) {
    TempDir dir;
    RunSpec spec = basic_run();
    spec.functions = {function_a(), function_a(), function_a()};
    spec.functions[1].write_idx = false;
    spec.functions[2].info.mz_high = 900;
    write_run(dir.path(), spec);
    auto r = Reader::open(dir.path());
    ASSERT_TRUE(r) << r.error().to_string();
    EXPECT_EQ(r->functions().size(), 2u);
    const auto& table = r->function_table().functions;
    ASSERT_EQ(table.size(), 3u);
    EXPECT_EQ(table[1].index, 2u);
    EXPECT_EQ(table[2].mz_high, 900.f);
}

// _CHROMS.INF with the given channel names (no meta records).
ByteVec chroms_image(const std::vector<std::string>& names) {
    ByteVec image(128, 0);
    image[4] = 85;
    for (const auto& name : names) {
        ByteVec rec(85, 0);
        rec[0] = 4;
        std::copy(name.begin(), name.end(), rec.begin() + 4);
        image.insert(image.end(), rec.begin(), rec.end());
    }
    return image;
}

TEST(ReaderRunFiles, ChannelsAreReadOnDemandAndNeverFailTheOpen) {
    TempDir dir;
    write_run(dir.path(), basic_run());
    dir.write("_CHROMS.INF", ByteVec(10, 0));  // too small
    LogCapture cap(Level::Warn);
    auto r = Reader::open(dir.path());
    ASSERT_TRUE(r) << r.error().to_string();
    EXPECT_TRUE(cap.messages().empty());
    auto bad = r->channels();
    ASSERT_FALSE(bad);
    EXPECT_THAT(bad.error().to_string(), HasSubstr("reading " + (dir / "_CHROMS.INF").string() + ": parse error"));

    // Read again on the next call: the file's present state counts.
    dir.write("_chroms.inf", chroms_image({"Pump A", "Temp"}));
    std::filesystem::remove(dir / "_CHROMS.INF");
    auto chroms = r->channels();
    ASSERT_TRUE(chroms) << chroms.error().to_string();
    ASSERT_TRUE(*chroms);
    ASSERT_EQ((*chroms)->channels.size(), 2u);
    EXPECT_EQ((*chroms)->channels[1].name, "Temp");

    std::filesystem::remove(dir / "_chroms.inf");
    auto none = r->channels();
    ASSERT_TRUE(none);
    EXPECT_FALSE(*none);
}

TEST(ReaderRunFiles, ChannelSamplesComeFromTheFileNumberedThreeHigher) {
    TempDir dir;
    write_run(dir.path(), basic_run());
    ByteVec samples(128, 0);
    for (float v : {1.5f, 20.f, 2.5f, 30.f}) {
        const auto* b = reinterpret_cast<const std::uint8_t*>(&v);
        samples.insert(samples.end(), b, b + 4);
    }
    dir.write("_CHRO004.DAT", samples);
    dir.write("_CHRO005.DAT", ByteVec(12, 0));
    auto r = Reader::open(dir.path());
    ASSERT_TRUE(r) << r.error().to_string();
    EXPECT_EQ(raw::chroms::channel_file_name(1), "_CHRO004.DAT");
    EXPECT_EQ(raw::chroms::channel_file_name(997), "_CHRO1000.DAT");

    auto points = r->read_channel(1);
    ASSERT_TRUE(points && *points);
    ASSERT_EQ((*points)->size(), 2u);
    EXPECT_EQ((**points)[1].rt_min, 2.5f);
    EXPECT_EQ((**points)[1].value, 30.f);

    auto missing = r->read_channel(0);
    ASSERT_TRUE(missing);
    EXPECT_FALSE(*missing);
    auto malformed = r->read_channel(2);
    ASSERT_FALSE(malformed);
    EXPECT_THAT(malformed.error().to_string(), HasSubstr("reading " + (dir / "_CHRO005.DAT").string()));
}

TEST(RunName, IsTheFinalNormalComponent) {
    EXPECT_EQ(reader::run_name("/data/sample.raw"), "sample.raw");
    EXPECT_EQ(reader::run_name("/data/sample.raw/"), "sample.raw");
    EXPECT_EQ(reader::run_name("sample.raw/."), "sample.raw");
    EXPECT_EQ(reader::run_name("/data/x/.."), "bundle.raw");
    EXPECT_EQ(reader::run_name(""), "bundle.raw");
    EXPECT_EQ(reader::run_name("."), "bundle.raw");
    EXPECT_EQ(reader::run_name("/"), "bundle.raw");
    EXPECT_EQ(reader::run_name(std::string("run\xff.raw")), "run\xEF\xBF\xBD.raw");
}

TEST(IndexEnd, IsComputedInSixtyFourBitsWithTheEncodingWidth) {
    raw::ScanIndex idx(std::vector<raw::ScanIndexA>{{0xFFFFFFF0u, 0xFFFFFFu, 0, 0}, {10, 1, 0, 0}});
    EXPECT_EQ(reader::index_end(idx, Encoding::A), 0xFFFFFFF0ull + 0xFFFFFFull * 6);
    EXPECT_EQ(reader::index_end(idx, Encoding::D), 0xFFFFFFF0ull + 0xFFFFFFull * 8);
    EXPECT_EQ(reader::index_end(raw::ScanIndex(std::vector<raw::ScanIndexA>{}), Encoding::A), std::nullopt);
    EXPECT_EQ(reader::index_end(raw::ScanIndex(std::vector<raw::ScanIndexB>{{0, 0}}), Encoding::C), std::nullopt);
}

}  // namespace
}  // namespace kestrune
