#include "raw/chroms.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "support/temp_dir.h"

using kestrune::Bytes;
using kestrune::Error;
using kestrune::raw::ChromsInf;
using kestrune::raw::chroms::decode_cp1252;
using kestrune::raw::chroms::parse_cc_spec;
using kestrune::raw::chroms::parse_chro_bytes;
using kestrune::raw::chroms::read_chro_dat;
using kestrune::testing::ByteImage;
using kestrune::testing::TempDir;

namespace {

using Image = std::vector<std::uint8_t>;

ByteImage inf_header(std::uint16_t record_size, std::uint16_t meta) {
    ByteImage img;
    img.u32(0).u16(record_size).u16(meta).zeros(120);
    return img;
}

// One 85-byte data record; the text field is NUL-padded.
void add_record(ByteImage& img, std::uint32_t source, std::string_view text) {
    img.u32(source).raw(text).zeros(81 - text.size());
}

Image field(std::string_view text) {
    Image f(text.begin(), text.end());
    f.resize(81, 0);
    return f;
}

template <class T>
std::string error_text(const kestrune::Result<T>& r) {
    return r ? std::string("no error") : r.error().to_string();
}

}  // namespace

TEST(ChromsInf, SizeChecksRunInOrderWithTheirMessages) {
    EXPECT_EQ(error_text(ChromsInf::from_bytes(Image(297, 0))),
              "parse error: _CHROMS.INF too small: 297 bytes (need at least 298)");
    ByteImage wrong_size = inf_header(84, 0);
    wrong_size.zeros(170);
    EXPECT_EQ(error_text(ChromsInf::from_bytes(wrong_size.bytes())),
              "parse error: _CHROMS.INF: record size field is 84, expected 85");
    ByteImage too_many = inf_header(85, 10);
    too_many.zeros(170);
    EXPECT_EQ(error_text(ChromsInf::from_bytes(too_many.bytes())),
              "parse error: _CHROMS.INF: file too small for declared 10 meta records");
    // The largest meta count claims far more than the file holds.
    ByteImage most = inf_header(85, 65535);
    most.zeros(170);
    EXPECT_EQ(error_text(ChromsInf::from_bytes(most.bytes())),
              "parse error: _CHROMS.INF: file too small for declared 65535 meta records");
    ByteImage ragged = inf_header(85, 0);
    ragged.zeros(171);
    EXPECT_EQ(error_text(ChromsInf::from_bytes(ragged.bytes())),
              "parse error: _CHROMS.INF: data section size 171 is not a multiple of 85");
}

TEST(ChromsInf, SkipsMetaRecordsAndNumbersDataRecords) {
    ByteImage img = inf_header(85, 2);
    img.raw(std::string(170, '\x7f'));  // meta records are never read
    auto empty = ChromsInf::from_bytes(img.bytes());
    ASSERT_TRUE(empty) << error_text(empty);
    EXPECT_TRUE(empty->channels.empty());

    add_record(img, 4, "Pump A Pressure");
    ASSERT_EQ(img.size(), 383u);
    auto one = ChromsInf::from_bytes(img.bytes());
    ASSERT_TRUE(one) << error_text(one);
    ASSERT_EQ(one->channels.size(), 1u);
    EXPECT_EQ(one->channels[0].index, 0u);

    add_record(img, 1, std::string(81, 'x'));  // no NUL: all 81 bytes are the name
    auto inf = ChromsInf::from_bytes(img.bytes());
    ASSERT_TRUE(inf) << error_text(inf);
    ASSERT_EQ(inf->channels.size(), 2u);
    EXPECT_EQ(inf->channels[0].index, 0u);
    EXPECT_EQ(inf->channels[0].source_type, 4u);
    EXPECT_EQ(inf->channels[0].name, "Pump A Pressure");
    EXPECT_EQ(inf->channels[0].scale_f, 1.0);
    EXPECT_EQ(inf->channels[0].units, "");
    EXPECT_EQ(inf->channels[1].index, 1u);
    EXPECT_EQ(inf->channels[1].source_type, 1u);
    EXPECT_EQ(inf->channels[1].name, std::string(81, 'x'));
}

TEST(ChromsInf, ReadsNameAndCcTextOnEitherSideOfTheNul) {
    ByteImage img = inf_header(85, 0);
    add_record(img, 4, std::string("Pump A Pressure\0$CC$,0.1,x,y,z,bar,extra", 40));
    add_record(img, 1, "Flow$CC$, 2.5 ,a,b,c,%");
    auto inf = ChromsInf::from_bytes(img.bytes());
    ASSERT_TRUE(inf) << error_text(inf);
    EXPECT_EQ(inf->channels[0].name, "Pump A Pressure");
    EXPECT_EQ(inf->channels[0].scale_f, 0.1);
    EXPECT_EQ(inf->channels[0].units, "bar,extra");
    EXPECT_EQ(inf->channels[1].name, "Flow$CC$, 2.5 ,a,b,c,%");
    EXPECT_EQ(inf->channels[1].scale_f, 2.5);
    EXPECT_EQ(inf->channels[1].units, "%");
}

TEST(ChromsCcText, UnreadableCcTextGivesDefaults) {
    const std::pair<double, std::string> none{1.0, ""};
    EXPECT_EQ(parse_cc_spec(field("Temp")), none);
    EXPECT_EQ(parse_cc_spec(field("$CC$,3,a,b,C")), none);  // four commas
    EXPECT_EQ(parse_cc_spec(field("$CC$,abc,a,b,c,C")), none);
    EXPECT_EQ(parse_cc_spec(field("$CC$,\xff"
                                  "1,a,b,c,C")),
              none);  // invalid UTF-8
    // A NUL ends the $CC$ text before its sixth piece.
    EXPECT_EQ(parse_cc_spec(field(std::string("$CC$,3,a,b\0,c,C", 16))), none);
    // Without a NUL after the marker the $CC$ text runs to the field's end.
    std::string tail = std::string("X\0", 2) + std::string(65, '\0') + "$CC$,5,a,b,c,u";
    ASSERT_EQ(tail.size(), 81u);
    EXPECT_EQ(parse_cc_spec(field(tail)), (std::pair<double, std::string>{5.0, "u"}));
    // Units are not trimmed and are read as Windows-1252.
    EXPECT_EQ(parse_cc_spec(field("$CC$,1e-3,a,b,c, \xb0"
                                  "C ")),
              (std::pair<double, std::string>{1e-3, " \u00b0C "}));
    // The first marker wins.
    EXPECT_EQ(parse_cc_spec(field("$CC$,2,a,b,c,u$CC$,3,a,b,c,v")).first, 2.0);
}

TEST(ChromsCcText, Cp1252MapsEveryByteToOneCharacter) {
    const Image bytes = {'A', 0x80, 0x81, 0x8D, 0x8F, 0x90, 0x9D, 0x9F, 0xA0, 0xE9, 0xFF, 0x00};
    EXPECT_EQ(decode_cp1252(bytes),
              std::string("A\u20ac\u0081\u008d\u008f\u0090\u009d\u0178\u00a0\u00e9\u00ff") + '\0');
    EXPECT_EQ(decode_cp1252(Image{0x99, 0x85, 0x96}), "\u2122\u2026\u2013");
}

TEST(ChroDat, ChecksSizeAndCopiesSamplesBitForBit) {
    EXPECT_EQ(error_text(parse_chro_bytes(Image(127, 0))),
              "parse error: _CHRO*.DAT too small: 127 bytes (need at least 128)");
    EXPECT_EQ(error_text(parse_chro_bytes(Image(132, 0))),
              "parse error: _CHRO*.DAT data section size 4 is not a multiple of 8");
    EXPECT_TRUE(parse_chro_bytes(Image(128, 0xAA))->empty());

    ByteImage img;
    img.zeros(128).f32(0.5f).f32(-3.25f).f32(1.0f).u32(0x7FC00001);  // a NaN with a payload
    auto points = parse_chro_bytes(img.bytes());
    ASSERT_TRUE(points) << error_text(points);
    ASSERT_EQ(points->size(), 2u);
    EXPECT_EQ((*points)[0].rt_min, 0.5f);
    EXPECT_EQ((*points)[0].value, -3.25f);
    EXPECT_EQ((*points)[1].rt_min, 1.0f);
    EXPECT_EQ(std::bit_cast<std::uint32_t>((*points)[1].value), 0x7FC00001u);
}

TEST(ChroDat, PathReadersReturnBareIoErrors) {
    TempDir dir;
    ByteImage inf = inf_header(85, 0);
    add_record(inf, 4, "A");
    add_record(inf, 1, "B");
    auto channels = ChromsInf::from_path(dir.write("_CHROMS.INF", inf.bytes()));
    ASSERT_TRUE(channels) << error_text(channels);
    EXPECT_EQ(channels->channels.size(), 2u);
    auto points = read_chro_dat(dir.write("_CHRO003.DAT", Image(136, 0)));
    ASSERT_TRUE(points) << error_text(points);
    EXPECT_EQ(points->size(), 1u);

    auto missing = read_chro_dat(dir / "_CHRO004.DAT");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().kind(), Error::Kind::Io);
    EXPECT_EQ(missing.error().os_errno(), ENOENT);
    auto missing_inf = ChromsInf::from_path(dir / "nothing");
    ASSERT_FALSE(missing_inf);
    EXPECT_EQ(missing_inf.error().kind(), Error::Kind::Io);
}
