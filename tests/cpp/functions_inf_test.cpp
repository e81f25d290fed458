// _FUNCTNS.INF: 416-byte records read at fixed offsets.
#include <bit>
#include <cerrno>
#include <cstdint>
#include <limits>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "raw/functions_inf.h"
#include "support/temp_dir.h"

namespace kestrune::raw::functions_inf {
namespace {

using testing::ByteImage;
using testing::TempDir;

std::uint32_t bits(float v) { return std::bit_cast<std::uint32_t>(v); }

// One record with every read field set to a distinct value and the unread
// bytes filled with 0xAA, so that a field read at a wrong offset shows.
ByteImage record(std::uint8_t type, std::uint8_t subtype, float cycle, std::uint16_t depth, float delay,
                 float scan_time, float mz_low, float mz_high) {
    ByteImage r(kRecordSize, 0xAA);
    r.set_u8(0, type).set_u8(1, subtype).set_f32(2, cycle).set_u16(16, depth);
    r.set_f32(28, delay).set_f32(32, scan_time).set_f32(160, mz_low).set_f32(288, mz_high);
    return r;
}

Bytes span(const std::vector<std::uint8_t>& v) { return Bytes(v.data(), v.size()); }

TEST(FunctionTableRecords, EveryFieldAtItsOffset) {
    const ByteImage r = record(0x12, 0x01, 0.75f, 2000, 0.015f, 0.985f, 50.0f, 1200.0f);
    auto t = FunctionTable::from_bytes(span(r));
    ASSERT_TRUE(t) << t.error().to_string();
    ASSERT_EQ(t->functions.size(), 1u);
    const FunctionInfo& f = t->functions[0];
    EXPECT_EQ(f.index, 1u);
    EXPECT_EQ(f.function_type, 0x12);
    EXPECT_EQ(f.scan_subtype, 0x01);
    EXPECT_EQ(f.cycle_time_s, 0.75f);
    EXPECT_EQ(f.tof_depth, 2000);
    EXPECT_EQ(f.interscan_delay_s, 0.015f);
    EXPECT_EQ(f.scan_time_s, 0.985f);
    EXPECT_EQ(f.mz_low, 50.0f);
    EXPECT_EQ(f.mz_high, 1200.0f);
    EXPECT_FALSE(f.is_lock_mass());

    // Any function type is accepted as it is.
    const ByteImage odd = record(0xFF, 0, 0, 0, 0, 0, 0, 0);
    EXPECT_EQ(FunctionTable::from_bytes(span(odd)).value().functions.at(0).function_type, 0xFF);
}

TEST(FunctionTableRecords, CycleTimeIsTheUnalignedFloatAtByteTwo) {
    ByteImage r(kRecordSize, 0);
    r.set_raw(2, std::string_view("\x00\x00\x80\x3F", 4));
    auto t = FunctionTable::from_bytes(span(r));
    ASSERT_TRUE(t);
    EXPECT_EQ(t->functions.at(0).cycle_time_s, 1.0f);
}

TEST(FunctionTableRecords, IndexIsPositionPlusOneAndRecordsStayApart) {
    ByteImage image;
    for (int i = 0; i < 3; ++i) {
        const ByteImage r = record(static_cast<std::uint8_t>(0x10 + i), static_cast<std::uint8_t>(i), 1.0f + i,
                                   static_cast<std::uint16_t>(100 + i), 0.0f, 0.5f, 100.0f * (i + 1),
                                   1000.0f + i);
        image.raw(r.bytes());
    }
    // A duplicate and an all-zero record are entries like any other.
    image.raw(record(0x12, 0x02, 1.0f, 100, 0.0f, 0.5f, 100.0f, 1000.0f).bytes());
    image.zeros(kRecordSize);
    auto t = FunctionTable::from_bytes(span(image));
    ASSERT_TRUE(t);
    ASSERT_EQ(t->functions.size(), 5u);
    for (std::uint32_t i = 0; i < 5; ++i) EXPECT_EQ(t->functions[i].index, i + 1);
    for (int i = 0; i < 3; ++i) {
        const FunctionInfo& f = t->functions[static_cast<std::size_t>(i)];
        EXPECT_EQ(f.function_type, 0x10 + i);
        EXPECT_EQ(f.scan_subtype, i);
        EXPECT_EQ(f.cycle_time_s, 1.0f + i);
        EXPECT_EQ(f.tof_depth, 100 + i);
        EXPECT_EQ(f.mz_low, 100.0f * (i + 1));
        EXPECT_EQ(f.mz_high, 1000.0f + i);
    }
    const FunctionInfo& zero = t->functions[4];
    EXPECT_EQ(zero.function_type, 0);
    EXPECT_EQ(bits(zero.mz_high), 0u);
}

TEST(FunctionTableRecords, FloatsPassThroughBitForBit) {
    const float nan_payload = std::bit_cast<float>(0x7FA12345u);  // signalling NaN with payload
    const float neg_nan = std::bit_cast<float>(0xFFC00001u);
    const float inf = std::numeric_limits<float>::infinity();
    const float subnormal = std::bit_cast<float>(0x00000001u);
    const ByteImage r = record(0x12, 0, nan_payload, 0xFFFF, neg_nan, -0.0f, -inf, subnormal);
    auto t = FunctionTable::from_bytes(span(r));
    ASSERT_TRUE(t);
    const FunctionInfo& f = t->functions[0];
    EXPECT_EQ(bits(f.cycle_time_s), 0x7FA12345u);
    EXPECT_EQ(bits(f.interscan_delay_s), 0xFFC00001u);
    EXPECT_EQ(bits(f.scan_time_s), 0x80000000u);
    EXPECT_EQ(bits(f.mz_low), bits(-inf));
    EXPECT_EQ(bits(f.mz_high), 1u);
    EXPECT_EQ(f.tof_depth, 0xFFFF);
}

TEST(FunctionTableRecords, LockMassIsBitSevenOfSubtype) {
    const std::pair<std::uint8_t, bool> cases[] = {
        {0x80, true}, {0x92, true}, {0xFF, true}, {0x12, false}, {0x7F, false}, {0x00, false},
    };
    for (const auto& [subtype, lock] : cases) {
        const ByteImage r = record(0x12, subtype, 1.0f, 0, 0, 0, 0, 0);
        auto t = FunctionTable::from_bytes(span(r));
        ASSERT_TRUE(t);
        EXPECT_EQ(t->functions[0].scan_subtype, subtype);
        EXPECT_EQ(t->functions[0].is_lock_mass(), lock) << int(subtype);
    }
}

TEST(FunctionTableSize, MustBeAMultipleOfTheRecordSize) {
    auto empty = FunctionTable::from_bytes(Bytes());
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->functions.empty());

    for (const std::size_t size : {std::size_t{1}, std::size_t{415}, std::size_t{417}, std::size_t{833}}) {
        const std::vector<std::uint8_t> image(size, 0);
        auto t = FunctionTable::from_bytes(span(image));
        ASSERT_FALSE(t) << size;
        EXPECT_EQ(t.error().kind(), Error::Kind::Parse);
        EXPECT_EQ(t.error().to_string(),
                  fmt::format("parse error: _FUNCTNS.INF: file size {} is not a multiple of 416 (record size)", size));
    }
    const std::vector<std::uint8_t> two(832, 0);
    EXPECT_EQ(FunctionTable::from_bytes(span(two)).value().functions.size(), 2u);
}

TEST(FunctionTablePath, ReadsTheWholeFile) {
    TempDir dir;
    ByteImage image;
    image.raw(record(0x12, 0x92, 1.0f, 7, 0, 0.25f, 50.0f, 1200.0f).bytes());
    image.raw(record(0x12, 0x00, 2.0f, 8, 0, 0.5f, 60.0f, 1300.0f).bytes());
    const auto file = dir.write("_FUNCTNS.INF", image.bytes());
    auto t = FunctionTable::from_path(file);
    ASSERT_TRUE(t) << t.error().to_string();
    ASSERT_EQ(t->functions.size(), 2u);
    EXPECT_TRUE(t->functions[0].is_lock_mass());
    EXPECT_EQ(t->functions[1].index, 2u);
    EXPECT_EQ(t->functions[1].mz_high, 1300.0f);

    const auto empty = dir.write("empty.inf", std::string());
    ASSERT_TRUE(FunctionTable::from_path(empty));

    const auto odd = dir.write("odd.inf", std::string(417, '\0'));
    auto bad = FunctionTable::from_path(odd);
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().to_string(),
              "parse error: _FUNCTNS.INF: file size 417 is not a multiple of 416 (record size)");
}

TEST(FunctionTablePath, IoErrorIsReturnedUnwrapped) {
    TempDir dir;
    auto missing = FunctionTable::from_path(dir / "_FUNCTNS.INF");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().kind(), Error::Kind::Io);
    EXPECT_EQ(missing.error().to_string(), "I/O error: No such file or directory (os error 2)");
    auto of_dir = FunctionTable::from_path(dir.path());
    ASSERT_FALSE(of_dir);
    EXPECT_EQ(of_dir.error().kind(), Error::Kind::Io);
    EXPECT_EQ(of_dir.error().os_errno(), EISDIR);
}

}  // namespace
}  // namespace kestrune::raw::functions_inf
