#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <bit>
#include <thread>

#include "reader/reader.h"
#include "support/capture.h"
#include "support/run_writer.h"
#include "support/temp_dir.h"

namespace kestrune {
namespace {

using ::testing::ElementsAre;
using log::Level;
using reader::Encoding;
using reader::Reader;
using namespace kestrune::testing;

raw::functions_inf::FunctionInfo info(float mz_low = 100, float mz_high = 400) {
    raw::functions_inf::FunctionInfo i;
    i.function_type = 0x12;
    i.scan_time_s = 0.1f;
    i.mz_low = mz_low;
    i.mz_high = mz_high;
    return i;
}

ByteVec concat(std::initializer_list<ByteVec> parts) {
    ByteVec out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Reader open_run(const TempDir& dir, const RunSpec& spec) {
    write_run(dir.path(), spec);
    auto r = Reader::open(dir.path());
    if (!r) ADD_FAILURE() << r.error().to_string();
    return std::move(*r);
}

RunSpec spec_with(std::vector<RunFunction> functions, std::optional<std::string> instrument = "QTOF",
                  std::vector<std::pair<std::uint32_t, std::string>> cal = {}) {
    RunSpec spec;
    spec.header = header_text(std::move(instrument), cal);
    spec.extern_inf = extern_text(1200, 7200);
    spec.functions = std::move(functions);
    return spec;
}

RunFunction a_function(std::vector<ByteVec> scans) {
    RunFunction f;
    f.info = info();
    f.layout = IndexLayout::A22;
    f.record_width = 6;
    f.scans = std::move(scans);
    return f;
}

RunFunction b30_function(std::vector<ByteVec> scans) {
    RunFunction f;
    f.info = info();
    f.layout = IndexLayout::B30;
    f.scans = std::move(scans);
    return f;
}

TEST(TofConstant, FollowsTheFixedOrderOfOperations) {
    EXPECT_EQ(reader::tof_constant(1200, 7200), 1.0217477667474355);
    EXPECT_EQ(reader::tof_constant(0, 7200), 0.0);
    EXPECT_EQ(reader::tof_constant(1200, 0), std::numeric_limits<double>::infinity());
}

TEST(DecodeScan, UnknownFunctionsAndScansFailInsideTheScanContext) {
    TempDir dir;
    RunSpec spec = spec_with({a_function({record_a(16, 3, 0x800000)}), a_function({record_a(1, 3, 0x800000)})});
    spec.functions[0].write_dat = false;  // function 1 is skipped at open
    Reader r = open_run(dir, spec);
    const std::string d = dir.path().string();
    EXPECT_EQ(r.decode_scan(0, 0).error().to_string(),
              d + " function 0 scan 0: parse error: function 0 not present in bundle");
    EXPECT_EQ(r.decode_scan(1, 0).error().to_string(),
              d + " function 1 scan 0: parse error: function 1 not present in bundle");
    EXPECT_EQ(r.decode_scan(2, 1).error().to_string(),
              d + " function 2 scan 1: parse error: function 2 scan 1 out of range");
    EXPECT_TRUE(r.decode_scan(2, 0));
}

TEST(DecodeScan, EncodingAScanCarriesItsRetentionTimeAndCalibration) {
    TempDir dir;
    RunFunction f = a_function({record_a(16, 3, 0x800000), concat({record_a(0, 0, 0), record_a(16, 3, 0x800000)})});
    f.rt_min = {1.25f, 2.5f};
    f.sts = sts_image({{"Collision Energy", 3, 4}, {"ETD Fragmentation Mode", 1, 0}}, 8,
                      {sts_float_record(8, 4, 6.f), sts_float_record(8, 4, 30.5f)});
    Reader r = open_run(dir, spec_with({f}, "QTOF", {{1, "0,2,T1"}}));
    auto s = r.decode_scan(1, 1);
    ASSERT_TRUE(s) << s.error().to_string();
    const auto& sp = (*s);
    EXPECT_THAT(sp.mz, ElementsAre(16.0));
    EXPECT_THAT(sp.intensity, ElementsAre(16.0f));
    EXPECT_EQ(s->rt_min, 2.5f);
    EXPECT_EQ(s->index, 1u);
    EXPECT_EQ(s->function, 1u);
    EXPECT_EQ(s->collision_energy, 30.5);
    EXPECT_EQ(s->etd_fragmentation_mode, 0.0);
}

TEST(DecodeScan, WithoutStatisticsBothStatisticValuesAreAbsent) {
    TempDir dir;
    Reader r = open_run(dir, spec_with({a_function({record_a(16, 3, 0x800000)})}));
    auto s = r.decode_scan(1, 0);
    ASSERT_TRUE(s) << s.error().to_string();
    EXPECT_FALSE(s->collision_energy.has_value());
    EXPECT_FALSE(s->etd_fragmentation_mode.has_value());
    EXPECT_THAT((*s).mz, ElementsAre(4.0));  // uncalibrated T0
}

TEST(DecodeScan, VariantBLastScanRunsToTheEndOfTheFile) {
    TempDir dir;
    const ByteVec scan0 = concat({record_c(1, 0, 10), record_c(2, 0, 20)});
    const ByteVec scan1 = concat({record_c(3, 0, 10), record_c(4, 0, 15), record_c(5, 0, 20)});
    Reader r = open_run(dir, spec_with({b30_function({scan0, scan1})}));
    ASSERT_EQ(r.functions()[0].encoding, Encoding::C);
    auto s = r.decode_scan(1, 1);
    ASSERT_TRUE(s) << s.error().to_string();
    const auto& sp = (*s);
    ASSERT_EQ(sp.mz.size(), 3u);
    EXPECT_NEAR(sp.mz[0], 100.0, 1e-9);
    EXPECT_NEAR(sp.mz[1], 225.0, 1e-9);
    EXPECT_NEAR(sp.mz[2], 400.0, 1e-9);
    EXPECT_THAT(sp.intensity, ElementsAre(3.f, 4.f, 5.f));
}

TEST(DecodeScan, VariantBSuccessorWithSmallerOffsetGivesAnEmptyScan) {
    TempDir dir;
    const ByteVec scan = concat({record_c(1, 0, 10), record_c(2, 0, 20)});
    write_run(dir.path(), spec_with({b30_function({scan, scan})}));
    dir.write("_FUNC001.IDX", index_b_image({{16, 0.f}, {0, 0.f}}));
    auto reopened = Reader::open(dir.path());
    ASSERT_TRUE(reopened);
    auto s = reopened->decode_scan(1, 0);
    ASSERT_TRUE(s) << s.error().to_string();
    EXPECT_TRUE((*s).mz.empty());
}

TEST(DecodeScan, RangeIsClippedToTheRecordedFileSize) {
    TempDir dir;
    write_run(dir.path(), spec_with({a_function({record_a(16, 3, 0x800000)})}));
    // Peak count 2 promises 12 bytes; the file holds 6 and then 1 more.
    dir.write("_FUNC001.IDX", index_a_image({{0, 2, 0.f, 0}}));
    dir.write("_FUNC001.DAT", concat({record_a(16, 3, 0x800000), ByteVec{0}}));
    auto r = Reader::open(dir.path());
    ASSERT_TRUE(r);
    auto s = r->decode_scan(1, 0);
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().to_string(),
              dir.path().string() + " function 1 scan 0: parse error: Encoding A: scan size 7 is not a multiple of 6");

    // A scan starting beyond the file decodes from zero bytes.
    dir.write("_FUNC001.IDX", index_a_image({{100, 2, 0.f, 0}}));
    r = Reader::open(dir.path());
    ASSERT_TRUE(r);
    s = r->decode_scan(1, 0);
    ASSERT_TRUE(s) << s.error().to_string();
    EXPECT_TRUE((*s).mz.empty());
}

TEST(DecodeScan, DataFileShrunkAfterOpenIsAShortRead) {
    TempDir dir;
    Reader r = open_run(dir, spec_with({a_function({concat({record_a(16, 3, 0x800000), record_a(16, 3, 0x800000)})})}));
    dir.write("_FUNC001.DAT", record_a(16, 3, 0x800000));
    auto s = r.decode_scan(1, 0);
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().to_string(),
              dir.path().string() + " function 1 scan 0: I/O error: failed to fill whole buffer");

    std::filesystem::remove(dir / "_FUNC001.DAT");
    EXPECT_EQ(r.decode_scan(1, 0).error().to_string(),
              dir.path().string() + " function 1 scan 0: I/O error: No such file or directory (os error 2)");
}

TEST(DecodeScan, ImsScansDecodeWithDriftTimes) {
    TempDir dir;
    const ByteVec scan = concat({record_b(5, 0, 10), record_b(0, 100, 12), record_b(6, 32768, 20)});
    Reader r = open_run(dir, spec_with({b30_function({scan})}, "SYNAPT G2-Si"));
    ASSERT_EQ(r.functions()[0].encoding, Encoding::B);
    auto s = r.decode_scan(1, 0);
    ASSERT_TRUE(s) << s.error().to_string();
    const auto& ims = (*s);
    ASSERT_EQ(ims.mz.size(), 2u);
    EXPECT_NEAR(ims.mz[0], 100.0, 1e-9);
    EXPECT_NEAR(ims.mz[1], 400.0, 1e-9);
    EXPECT_EQ(ims.drift_time_ms[1], (32768.0 * (static_cast<double>(0.1f) * 1000.0)) * 0x1p-16);
    EXPECT_THAT(ims.intensity, ElementsAre(5.f, 6.f));
}

TEST(DecodeScan, TraceRecordDescribesTheRange) {
    TempDir dir;
    RunFunction f = a_function({record_a(16, 3, 0x800000), record_a(16, 3, 0x800000)});
    f.rt_min = {0.5f, 0.1f};
    Reader r = open_run(dir, spec_with({f}));
    LogCapture cap(Level::Trace);
    ASSERT_TRUE(r.decode_scan(1, 1));
    EXPECT_THAT(cap.messages(Level::Trace), ElementsAre("function 1 scan 1: A bytes 6..12 of " +
                                                        (dir / "_FUNC001.DAT").string() + ", RT 0.1 min"));
}

TEST(DecodeScan, ConcurrentDecodingMatchesASerialPass) {
    TempDir dir;
    std::vector<ByteVec> scans;
    for (std::uint16_t s = 0; s < 40; ++s) {
        ByteVec scan;
        for (std::uint16_t k = 0; k < 50; ++k) {
            auto rec = record_c(static_cast<std::uint16_t>(k * s % 7), static_cast<std::uint16_t>(k * 977),
                                static_cast<std::uint16_t>(100 + k));
            scan.insert(scan.end(), rec.begin(), rec.end());
        }
        scans.push_back(scan);
    }
    Reader r = open_run(dir, spec_with({b30_function(scans)}, "QTOF", {{1, "1e-3,1.0001,2e-7,T1"}}));
    std::vector<Scan> serial;
    for (std::uint64_t s = 0; s < scans.size(); ++s) serial.push_back(*r.decode_scan(1, s));

    std::vector<std::vector<Scan>> per_thread(4);
    std::vector<std::thread> threads;
    for (auto& out : per_thread)
        threads.emplace_back([&r, &out, n = scans.size()] {
            for (int round = 0; round < 5; ++round)
                for (std::uint64_t s = 0; s < n; ++s) {
                    auto d = r.decode_scan(1, s);
                    if (d) out.push_back(std::move(*d));
                }
        });
    for (auto& t : threads) t.join();
    for (const auto& out : per_thread) {
        ASSERT_EQ(out.size(), serial.size() * 5);
        for (std::size_t i = 0; i < out.size(); ++i) {
            const auto& want = serial[i % serial.size()];
            ASSERT_EQ(out[i].mz.size(), want.mz.size());
            for (std::size_t k = 0; k < want.mz.size(); ++k)
                ASSERT_EQ(std::bit_cast<std::uint64_t>(out[i].mz[k]), std::bit_cast<std::uint64_t>(want.mz[k]));
            ASSERT_EQ(out[i].intensity, want.intensity);
        }
    }
}

}  // namespace
}  // namespace kestrune
