#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <variant>

#include "kestrune/run.h"
#include "reader/reader.h"
#include "support/run_writer.h"
#include "support/temp_dir.h"

namespace kestrune {
namespace {

using reader::Reader;
using reader::ScanRange;
using namespace kestrune::testing;

ByteVec concat(std::initializer_list<ByteVec> parts) {
    ByteVec out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

RunFunction function_of(IndexLayout layout, std::vector<ByteVec> scans) {
    RunFunction f;
    f.info.function_type = 0x12;
    f.info.scan_time_s = 0.1f;
    f.info.mz_low = 100;
    f.info.mz_high = 400;
    f.layout = layout;
    f.scans = std::move(scans);
    return f;
}

Reader open_run(const TempDir& dir, std::string instrument, std::vector<RunFunction> functions) {
    RunSpec spec;
    spec.header = header_text(std::move(instrument), {{1, "0.5,1.001,T1"}});
    spec.extern_inf = extern_text(1200, 7200);
    spec.functions = std::move(functions);
    write_run(dir.path(), spec);
    auto r = Reader::open(dir.path());
    if (!r) ADD_FAILURE() << r.error().to_string();
    return std::move(*r);
}

// Every scan of function 1 through one range equals decode_scan's result,
// and the reused arrays do not grow again once the largest scan was seen.
void expect_range_matches_single_scans(const Reader& r) {
    auto range = ScanRange::open(r, 1, 0, UINT64_MAX);
    ASSERT_TRUE(range) << range.error().to_string();
    const std::uint64_t n = r.function(1)->idx.size();
    EXPECT_EQ(range->end(), n);
    Scan out;
    const double* storage = nullptr;
    for (std::uint64_t s = 0; s < n; ++s) {
        auto more = range->next(out);
        ASSERT_TRUE(more && *more) << (more ? "ended early" : more.error().to_string());
        auto single = r.decode_scan(1, s);
        ASSERT_TRUE(single) << single.error().to_string();
        EXPECT_EQ(out.index, s);
        EXPECT_EQ(out.rt_min, single->rt_min);
        EXPECT_EQ(out.mz, single->mz);
        EXPECT_EQ(out.intensity, single->intensity);
        EXPECT_EQ(out.drift_time_ms, single->drift_time_ms);
        EXPECT_EQ(out.ion_mobility, single->ion_mobility);
        if (!single->ion_mobility) {
            EXPECT_TRUE(out.drift_time_ms.empty());
        }
        if (s == 0) storage = out.mz.data();
        EXPECT_EQ(out.mz.data(), storage) << "scan " << s << " reallocated";
    }
    auto more = range->next(out);
    ASSERT_TRUE(more);
    EXPECT_FALSE(*more);
}

TEST(ScanRange, DecodesEveryEncodingAsSingleScansDoWithReusedArrays) {
    // Scans shrink, so the first one sizes the arrays for all.
    const ByteVec a0 = concat({record_a(16, 3, 0x800000), record_a(9, 4, 0x900000), record_a(2, 5, 0xA00000)});
    const ByteVec a1 = concat({record_a(0, 3, 0x800000), record_a(7, 4, 0x880000)});
    const ByteVec c0 = concat({record_c(1, 0, 10), record_c(2, 9, 15), record_c(3, 0, 20)});
    const ByteVec c1 = concat({record_c(4, 0, 10), record_c(5, 0, 20)});
    const ByteVec b0 = concat({record_b(5, 0, 10), record_b(0, 100, 12), record_b(6, 32768, 20)});
    const ByteVec b1 = concat({record_b(7, 9, 10), record_b(8, 10, 20)});
    struct Case {
        std::string instrument;
        RunFunction function;
    };
    const Case cases[] = {
        {"QTOF", function_of(IndexLayout::A22, {a0, a1, a1})},
        {"XEVO-G2XSQTOF", function_of(IndexLayout::B30, {c0, c1, c1})},
        {"SYNAPT G2-Si", function_of(IndexLayout::B30, {b0, b1})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.instrument);
        TempDir dir;
        Reader r = open_run(dir, c.instrument, {c.function});
        expect_range_matches_single_scans(r);
    }
}

TEST(ScanRange, ScansOutOfFileOrderAreReadAgainFromTheirOffset) {
    TempDir dir;
    const ByteVec first = concat({record_a(16, 3, 0x800000), record_a(9, 4, 0x900000)});
    const ByteVec second = concat({record_a(5, 3, 0x840000), record_a(6, 4, 0x940000)});
    Reader r = open_run(dir, "QTOF", {function_of(IndexLayout::A22, {first, second})});
    // Scan 0 now points at the second half of the file, scan 1 at the first.
    dir.write("_FUNC001.IDX", index_a_image({{12, 2, 0.5f, 0}, {0, 2, 1.5f, 0}}));
    auto reopened = Reader::open(dir.path());
    ASSERT_TRUE(reopened);
    expect_range_matches_single_scans(*reopened);
}

TEST(ScanRange, BoundsAndFailuresCarryTheScanContextAndTheRangeMovesOn) {
    TempDir dir;
    const ByteVec scan = concat({record_a(16, 3, 0x800000), record_a(9, 4, 0x900000)});
    Reader r = open_run(dir, "QTOF", {function_of(IndexLayout::A22, {scan, scan, scan})});
    const std::string where = dir.path().string() + " function ";

    auto part = ScanRange::open(r, 1, 1, 1);
    ASSERT_TRUE(part);
    EXPECT_EQ(part->position(), 1u);
    EXPECT_EQ(part->end(), 2u);
    EXPECT_TRUE(ScanRange::open(r, 1, 3, 5)->end() == 3u);  // empty range at the end
    EXPECT_EQ(ScanRange::open(r, 1, 4, 1).error().to_string(),
              where + "1: parse error: function 1 scan 4 out of range");
    EXPECT_EQ(ScanRange::open(r, 2, 0, 1).error().to_string(),
              where + "2: parse error: function 2 not present in bundle");

    // The data file loses its last scan after the range opened it.
    auto range = ScanRange::open(r, 1, 0, UINT64_MAX);
    ASSERT_TRUE(range);
    dir.write("_FUNC001.DAT", concat({scan, scan}));
    Scan out;
    for (int s = 0; s < 2; ++s) ASSERT_TRUE(range->next(out).value_or(false));
    auto failed = range->next(out);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().to_string(), where + "1 scan 2: I/O error: failed to fill whole buffer");
    EXPECT_EQ(range->position(), 3u);
    EXPECT_FALSE(range->next(out).value_or(true));
}

TEST(ScanCursor, OutlivesItsRunAndReadsOn) {
    TempDir dir;
    const ByteVec scan = concat({record_b(0, 0, 100), record_b(7, 0, 200), record_b(0, 0, 300)});
    open_run(dir, "QTOF", {function_of(IndexLayout::B30, {scan, scan, scan})});
    std::optional<ScanCursor> cursor;
    {
        auto run = Run::open(dir.path());
        ASSERT_TRUE(run) << run.error().to_string();
        auto made = run->scans(1);
        ASSERT_TRUE(made);
        cursor.emplace(std::move(*made));
    }  // the Run is gone; the cursor keeps what it reads
    Scan out;
    for (int k = 0; k < 3; ++k) {
        auto more = cursor->next(out);
        ASSERT_TRUE(more && *more) << k;
        EXPECT_EQ(out.intensity.size(), 1u);
    }
    EXPECT_FALSE(*cursor->next(out));
}

}  // namespace
}  // namespace kestrune
