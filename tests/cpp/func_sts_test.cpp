#include "raw/func_sts.h"

#include <gtest/gtest.h>

#include <string>

#include "support/temp_dir.h"

namespace kestrune::raw::func_sts {
namespace {

using testing::ByteImage;
using testing::TempDir;

struct Desc {
    std::uint16_t value_type;
    std::uint16_t offset;
    std::string name;  // written NUL-padded to 42 bytes (cut to 42)
    std::uint16_t tag = 0;
};

ByteImage preamble(std::uint16_t data_offset, std::uint16_t record_size, std::uint16_t n_desc) {
    ByteImage img;
    img.u16(data_offset).u16(0xAAAA).u16(record_size).u16(n_desc).zeros(24);
    return img;
}

// A complete, consistent file: preamble, descriptors, then the record bytes.
ByteImage sts_file(std::uint16_t record_size, const std::vector<Desc>& descs,
                   const std::vector<std::uint8_t>& records = {}) {
    const auto n = static_cast<std::uint16_t>(descs.size());
    ByteImage img = preamble(static_cast<std::uint16_t>(32 + 48 * n), record_size, n);
    for (const Desc& d : descs) {
        std::string name = d.name.substr(0, 42);
        name.resize(42, '\0');
        img.u16(d.tag).u16(d.value_type).u16(d.offset).raw(name);
    }
    img.raw(records);
    return img;
}

std::string error_text(const Result<FuncSts>& r) { return r ? std::string("ok") : r.error().to_string(); }

TEST(FuncStsStructure, FileShorterThanPreambleFails) {
    const auto r = FuncSts::from_bytes(ByteImage(31).bytes());
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), Error::Kind::Parse);
    EXPECT_EQ(error_text(r), "parse error: _FUNCnnn.STS too small: 31 bytes (need at least 32)");
    EXPECT_EQ(error_text(FuncSts::from_bytes({})), "parse error: _FUNCnnn.STS too small: 0 bytes (need at least 32)");
}

TEST(FuncStsStructure, DataOffsetMustFollowDescriptors) {
    ByteImage img = preamble(100, 8, 2);
    img.zeros(200);
    EXPECT_EQ(error_text(FuncSts::from_bytes(img.bytes())),
              "parse error: _FUNCnnn.STS: data_offset 100 does not match preamble + n_desc*48 = 128");
    // A descriptor count whose table cannot end within a u16 offset.
    ByteImage huge = preamble(0xFFFF, 8, 0xFFFF);
    EXPECT_EQ(error_text(FuncSts::from_bytes(huge.bytes())),
              "parse error: _FUNCnnn.STS: data_offset 65535 does not match preamble + n_desc*48 = 3145712");
}

TEST(FuncStsStructure, FileMustHoldDeclaredDescriptors) {
    ByteImage img = preamble(128, 8, 2);
    img.zeros(127 - 32);
    ASSERT_EQ(img.size(), 127u);
    EXPECT_EQ(error_text(FuncSts::from_bytes(img.bytes())),
              "parse error: _FUNCnnn.STS: file too small for declared 2 descriptor records");
}

TEST(FuncStsStructure, UnknownValueTypeFailsBeforeZeroRecordSizeIsChecked) {
    const ByteImage img = sts_file(0, {{3, 0, "Fine"}, {7, 0, "Bad"}});
    EXPECT_EQ(error_text(FuncSts::from_bytes(img.bytes())),
              "parse error: _FUNCnnn.STS: unknown channel encoding type 7");
    EXPECT_EQ(error_text(FuncSts::from_bytes(sts_file(8, {{4, 0, "X"}}).bytes())),
              "parse error: _FUNCnnn.STS: unknown channel encoding type 4");
}

TEST(FuncStsStructure, ZeroRecordSizeFails) {
    EXPECT_EQ(error_text(FuncSts::from_bytes(sts_file(0, {{0, 0, "A"}}, {1, 2, 3}).bytes())),
              "parse error: _FUNCnnn.STS: scan_record_size is zero");
}

TEST(FuncStsRecords, PreambleOnlyGivesNoChannelsAndNoScans) {
    const auto r = FuncSts::from_bytes(preamble(32, 8, 0).bytes());
    ASSERT_TRUE(r) << error_text(r);
    EXPECT_TRUE(r->channels.empty());
    EXPECT_EQ(r->n_scans, 0u);
    EXPECT_TRUE(r->data.empty());
    EXPECT_EQ(r->scan_record_size, 8u);
}

TEST(FuncStsRecords, OnlyWholeRecordsAreKept) {
    std::vector<std::uint8_t> records(25);
    for (std::size_t i = 0; i < records.size(); ++i) records[i] = static_cast<std::uint8_t>(i);
    const auto r = FuncSts::from_bytes(sts_file(10, {{0, 9, "Last"}}, records).bytes());
    ASSERT_TRUE(r) << error_text(r);
    EXPECT_EQ(r->n_scans, 2u);
    ASSERT_EQ(r->data.size(), 20u);
    EXPECT_EQ(r->data.front(), 0);
    EXPECT_EQ(r->data.back(), 19);
    EXPECT_EQ(r->value_at(r->channels[0], 1), 19.0);
    EXPECT_FALSE(r->value_at(r->channels[0], 2));
}

TEST(FuncStsDescriptors, FieldsAndNamesAreDecoded) {
    const std::string full(42, 'N');
    const auto r = FuncSts::from_bytes(sts_file(4, {{2, 0, full, 0x1234},
                                                    {1, 2, "  Collision Energy \t"},
                                                    {0, 3, "caf\xc3\xa9\xff"},
                                                    {3, 0, std::string("Cut\0Tail", 8)}})
                                           .bytes());
    ASSERT_TRUE(r) << error_text(r);
    ASSERT_EQ(r->channels.size(), 4u);
    EXPECT_EQ(r->channels[0].name, full);
    EXPECT_EQ(r->channels[0].tag, 0x1234);
    EXPECT_EQ(r->channels[0].value_type, 2);
    EXPECT_EQ(r->channels[1].name, "Collision Energy");
    EXPECT_EQ(r->channels[1].offset, 2u);
    EXPECT_EQ(r->channels[2].name, "caf\xc3\xa9\xef\xbf\xbd");
    EXPECT_EQ(r->channels[3].name, "Cut");
}

TEST(FuncStsValues, EachTypeReadsLittleEndianAndConvertsExactly) {
    // record: u8 @0, i16 @1, u32 @3, f32 @7 (11 bytes)
    ByteImage rec0;
    rec0.u8(200).u16(0xFFFF).u32(0xFFFFFFFF).f32(-2.5f);
    ByteImage rec1;
    rec1.u8(1).i16(-300).u32(70000).f32(0.1f);
    std::vector<std::uint8_t> records = rec0.bytes();
    records.insert(records.end(), rec1.bytes().begin(), rec1.bytes().end());
    const auto r = FuncSts::from_bytes(
        sts_file(11, {{0, 0, "u8"}, {1, 1, "i16"}, {2, 3, "u32"}, {3, 7, "f32"}}, records).bytes());
    ASSERT_TRUE(r) << error_text(r);
    const auto& ch = r->channels;
    EXPECT_EQ(r->value_at(ch[0], 0), 200.0);
    EXPECT_EQ(r->value_at(ch[1], 0), -1.0);
    EXPECT_EQ(r->value_at(ch[2], 0), 4294967295.0);
    EXPECT_EQ(r->value_at(ch[3], 0), -2.5);
    EXPECT_EQ(r->value_at(ch[0], 1), 1.0);
    EXPECT_EQ(r->value_at(ch[1], 1), -300.0);
    EXPECT_EQ(r->value_at(ch[2], 1), 70000.0);
    EXPECT_EQ(r->value_at(ch[3], 1), static_cast<double>(0.1f));
    EXPECT_FALSE(r->value_at(ch[0], 2));
}

TEST(FuncStsValues, ValueReachingPastRecordEndIsAbsent) {
    const std::vector<std::uint8_t> records(16, 0xFF);
    const auto r = FuncSts::from_bytes(sts_file(8,
                                                {{2, 6, "u32 at size-2"},
                                                 {3, 5, "f32 at size-3"},
                                                 {3, 4, "f32 fits"},
                                                 {1, 7, "i16 at size-1"},
                                                 {1, 6, "i16 fits"},
                                                 {0, 8, "u8 at size"},
                                                 {0, 7, "u8 fits"},
                                                 {0, 0xFFFF, "far"}},
                                                records)
                                            .bytes());
    ASSERT_TRUE(r) << error_text(r);
    const auto& ch = r->channels;
    for (std::size_t scan = 0; scan < 2; ++scan) {
        EXPECT_FALSE(r->value_at(ch[0], scan));
        EXPECT_FALSE(r->value_at(ch[1], scan));
        EXPECT_TRUE(r->value_at(ch[2], scan));
        EXPECT_FALSE(r->value_at(ch[3], scan));
        EXPECT_TRUE(r->value_at(ch[4], scan));
        EXPECT_FALSE(r->value_at(ch[5], scan));
        EXPECT_TRUE(r->value_at(ch[6], scan));
        EXPECT_FALSE(r->value_at(ch[7], scan));
    }
}

TEST(FuncStsValues, ForeignDescriptorCannotReadOutsideRecords) {
    const auto r = FuncSts::from_bytes(sts_file(4, {}, std::vector<std::uint8_t>(8, 1)).bytes());
    ASSERT_TRUE(r);
    ChannelDescriptor wild;
    wild.value_type = 2;
    wild.offset = SIZE_MAX - 1;  // offset + width would wrap
    EXPECT_FALSE(r->value_at(wild, 0));
    wild.offset = 0;
    wild.value_type = 9;
    EXPECT_FALSE(r->value_at(wild, 0));
}

TEST(FuncStsNamedChannels, FirstExactlyNamedChannelWinsElseAbsent) {
    ByteImage rec;
    rec.f32(25.0f).u8(3).u8(99);
    const auto r = FuncSts::from_bytes(sts_file(6,
                                                {{3, 0, "collision energy"},
                                                 {0, 5, "Collision Energy  "},
                                                 {3, 0, "Collision Energy"},
                                                 {0, 4, "ETD Fragmentation Mode"}},
                                                rec.bytes())
                                           .bytes());
    ASSERT_TRUE(r) << error_text(r);
    EXPECT_EQ(r->collision_energy(0), 99.0);
    EXPECT_EQ(r->etd_fragmentation_mode(0), 3.0);
    EXPECT_FALSE(r->collision_energy(1));
    EXPECT_FALSE(r->etd_fragmentation_mode(1));

    const auto none = FuncSts::from_bytes(sts_file(4, {{3, 0, "Collision Energy V"}}, {0, 0, 0, 0}).bytes());
    ASSERT_TRUE(none);
    EXPECT_FALSE(none->collision_energy(0));
    EXPECT_FALSE(none->etd_fragmentation_mode(0));
}

TEST(FuncStsFile, FromPathParsesFileAndReturnsIoError) {
    TempDir dir;
    ByteImage rec;
    rec.f32(12.5f);
    const auto r =
        FuncSts::from_path(dir.write("_FUNC001.STS", sts_file(4, {{3, 0, "Collision Energy"}}, rec.bytes()).bytes()));
    ASSERT_TRUE(r) << error_text(r);
    EXPECT_EQ(r->collision_energy(0), 12.5);
    const auto missing = FuncSts::from_path(dir / "_FUNC002.STS");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().kind(), Error::Kind::Io);
}

}  // namespace
}  // namespace kestrune::raw::func_sts
