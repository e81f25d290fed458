#include "raw/index.h"

#include <gtest/gtest.h>

#include <cmath>

#include "support/capture.h"
#include "support/temp_dir.h"

namespace kestrune::raw::index {
namespace {

using testing::ByteImage;
using testing::LogCapture;
using testing::TempDir;

constexpr const char* kTarget = "kestrune::raw::index";

// One Variant A record: offset, peak count (24 bits) with the marker byte,
// retention time, aux word.
void add_record_a(ByteImage& img, std::uint32_t offset, std::uint32_t peaks, float rt, std::uint16_t aux = 0,
                  std::uint8_t marker = kMarkerA) {
    img.u32(offset).u32((peaks & 0xFFFFFFu) | (std::uint32_t{marker} << 24)).zeros(4).f32(rt).u16(aux).zeros(4);
}

void add_record_b(ByteImage& img, std::uint32_t offset, float rt) {
    img.u32(0xDEADBEEF).zeros(8).f32(rt).zeros(6).u32(offset).zeros(4);
}

// 330 bytes read as fifteen Variant A records with non-decreasing offsets.
ByteImage ambiguous_a() {
    ByteImage img;
    for (std::uint32_t i = 0; i < 15; ++i) add_record_a(img, 100 * i, i, 0.5f * float(i));
    return img;
}

TEST(ScanIndexSize, SizeFittingNeitherStrideFails) {
    const auto r = ScanIndex::from_bytes(ByteImage(50).bytes());
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), Error::Kind::Parse);
    EXPECT_EQ(r.error().to_string(),
              "parse error: _FUNCnnn.IDX: size 50 is not a multiple of 22 (Variant A) or 30 (Variant B)");
    EXPECT_FALSE(ScanIndex::from_bytes(ByteImage(1).bytes()));
    EXPECT_FALSE(ScanIndex::from_bytes(ByteImage(331).bytes()));
}

TEST(ScanIndexSize, EmptyFileIsVariantAWithoutLogRecord) {
    LogCapture cap(log::Level::Trace);
    const auto r = ScanIndex::from_bytes({});
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->is_variant_a());
    EXPECT_EQ(r->size(), 0u);
    EXPECT_TRUE(cap.records().empty());
}

TEST(ScanIndexSize, MultipleOfOneStrideChoosesThatVariantWithoutLogRecord) {
    LogCapture cap(log::Level::Trace);
    ByteImage a;
    add_record_a(a, 10, 1, 1.0f);
    add_record_a(a, 5, 2, 2.0f, 0, 0x00);  // unordered, no marker: still Variant A
    const auto ra = ScanIndex::from_bytes(a.bytes());
    ASSERT_TRUE(ra);
    EXPECT_TRUE(ra->is_variant_a());
    EXPECT_EQ(ra->size(), 2u);

    ByteImage b;
    add_record_b(b, 0, 1.0f);
    add_record_b(b, 40, 2.0f);
    const auto rb = ScanIndex::from_bytes(b.bytes());
    ASSERT_TRUE(rb);
    EXPECT_TRUE(rb->is_variant_b());
    EXPECT_EQ(rb->size(), 2u);
    EXPECT_TRUE(cap.records().empty());
}

TEST(ScanIndexVariantA, ReadsFieldsAndMasksMarkerFromPeakCount) {
    ByteImage img;
    add_record_a(img, 0x01020304, 5, 1.25f, 0xBEEF);
    add_record_a(img, 0xFFFFFFFF, 0xFFFFFF, std::nanf(""), 7);
    ASSERT_EQ(img.bytes()[4], 0x05);
    ASSERT_EQ(img.bytes()[7], 0x18);
    const auto r = ScanIndex::from_bytes(img.bytes());
    ASSERT_TRUE(r);
    const auto& recs = r->a();
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[0].offset, 0x01020304u);
    EXPECT_EQ(recs[0].peak_count, 5u);
    EXPECT_EQ(recs[0].rt_min, 1.25f);
    EXPECT_EQ(recs[0].aux_word, 0xBEEF);
    EXPECT_EQ(recs[1].peak_count, 0xFFFFFFu);
    EXPECT_TRUE(std::isnan(recs[1].rt_min));
    EXPECT_EQ(r->offset(1), 0xFFFFFFFFu);
    EXPECT_EQ(r->rt_min(0), 1.25f);
}

TEST(ScanIndexVariantB, OffsetComesFromBytes22To25) {
    ByteImage img;
    add_record_b(img, 1234, 0.75f);
    add_record_b(img, 0, -1.0f);
    const auto r = ScanIndex::from_bytes(img.bytes());
    ASSERT_TRUE(r);
    ASSERT_TRUE(r->is_variant_b());
    EXPECT_EQ(r->b()[0].offset, 1234u);
    EXPECT_EQ(r->b()[0].rt_min, 0.75f);
    EXPECT_EQ(r->offset(1), 0u);
    EXPECT_EQ(r->rt_min(1), -1.0f);
}

TEST(ScanIndexParse, IgnoresTrailingPartialRecord) {
    EXPECT_TRUE(parse_variant_a(ByteImage(21).bytes()).empty());
    EXPECT_TRUE(parse_variant_b(ByteImage(29).bytes()).empty());
    EXPECT_EQ(parse_variant_a(ByteImage(43).bytes()).size(), 1u);
    const auto b = parse_variant_b(ByteImage(61).bytes());
    EXPECT_EQ(b.size(), 2u);
    EXPECT_EQ(b.capacity(), 2u);
}

TEST(ScanIndexAmbiguous, MarkersAndOrderedOffsetsSelectVariantA) {
    LogCapture cap(log::Level::Debug);
    const auto r = ScanIndex::from_bytes(ambiguous_a().bytes());
    ASSERT_TRUE(r);
    ASSERT_TRUE(r->is_variant_a());
    EXPECT_EQ(r->size(), 15u);
    EXPECT_EQ(r->a()[14].peak_count, 14u);
    const auto recs = cap.records();
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].level, log::Level::Debug);
    EXPECT_EQ(recs[0].target, kTarget);
    EXPECT_EQ(recs[0].message, "_FUNCnnn.IDX: 330 bytes fits both strides; record markers select 22-byte Variant A");
}

TEST(ScanIndexAmbiguous, DecreasingOffsetSelectsVariantB) {
    LogCapture cap(log::Level::Debug);
    ByteImage img = ambiguous_a();
    img.set_u32(9 * 22, 50);  // smaller than record 8's offset 800
    const auto r = ScanIndex::from_bytes(img.bytes());
    ASSERT_TRUE(r);
    ASSERT_TRUE(r->is_variant_b());
    EXPECT_EQ(r->size(), 11u);
    EXPECT_EQ(cap.messages(log::Level::Debug),
              std::vector<std::string>{
                  "_FUNCnnn.IDX: 330 bytes fits both strides; record markers select 30-byte Variant B"});
}

TEST(ScanIndexAmbiguous, OffsetOrderIsUnsignedAndAllowsEqualNeighbours) {
    ByteImage img = ambiguous_a();
    img.set_u32(5 * 22, 400);           // equal to record 4's offset
    img.set_u32(14 * 22, 0x80000000u);  // negative if compared signed
    const auto r = ScanIndex::from_bytes(img.bytes());
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->is_variant_a());
}

TEST(ScanIndexAmbiguous, MissingMarkerSelectsVariantBWhateverTheOffsets) {
    for (std::size_t rec : {0u, 7u, 14u}) {
        ByteImage img = ambiguous_a();
        img.set_u8(rec * 22 + 7, 0x17);
        const auto r = ScanIndex::from_bytes(img.bytes());
        ASSERT_TRUE(r);
        EXPECT_TRUE(r->is_variant_b()) << "record " << rec;
    }
}

TEST(ScanIndexAmbiguous, DebugRecordOnlyWhenDebugEnabledAndChoiceUnchanged) {
    ByteImage b = ambiguous_a();
    b.set_u8(7, 0);
    for (const ByteImage& img : {ambiguous_a(), b}) {
        LogCapture cap(log::Level::Info);
        const auto quiet = ScanIndex::from_bytes(img.bytes());
        EXPECT_TRUE(cap.records().empty());
        log::set_max_level(log::Level::Debug);
        const auto loud = ScanIndex::from_bytes(img.bytes());
        EXPECT_EQ(cap.messages(log::Level::Debug).size(), 1u);
        ASSERT_TRUE(quiet && loud);
        EXPECT_EQ(quiet->is_variant_a(), loud->is_variant_a());
        EXPECT_EQ(quiet->size(), loud->size());
    }
}

TEST(ScanIndexFile, FromPathParsesFileAndReturnsBareIoError) {
    TempDir dir;
    ByteImage img;
    add_record_a(img, 42, 3, 2.5f);
    const auto r = ScanIndex::from_path(dir.write("_FUNC001.IDX", img.bytes()));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->offset(0), 42u);

    const auto missing = ScanIndex::from_path(dir / "_FUNC002.IDX");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().kind(), Error::Kind::Io);
    EXPECT_EQ(missing.error().os_errno(), 2);

    const auto bad = ScanIndex::from_path(dir.write("_FUNC003.IDX", ByteImage(7).bytes()));
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().kind(), Error::Kind::Parse);
}

}  // namespace
}  // namespace kestrune::raw::index
