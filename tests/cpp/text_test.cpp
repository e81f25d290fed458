// Text helpers: float forms, quoted form, lossy UTF-8, white space, number
// syntax of the text formats.
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "text.h"

namespace kestrune {
namespace {

using namespace std::string_view_literals;

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(PlainFloat, ShortestRoundTripWithoutExponent) {
    EXPECT_EQ(text::plain(1e21), "1000000000000000000000");
    EXPECT_EQ(text::plain(1e-7), "0.0000001");
    EXPECT_EQ(text::plain(1.0), "1");
    EXPECT_EQ(text::plain(0.1), "0.1");
    EXPECT_EQ(text::plain(0.3), "0.3");
    EXPECT_EQ(text::plain(-2.5), "-2.5");
    EXPECT_EQ(text::plain(123.456), "123.456");
    EXPECT_EQ(text::plain(0.0), "0");
    EXPECT_EQ(text::plain(-0.0), "-0");
    EXPECT_EQ(text::plain(0.1 + 0.2), "0.30000000000000004");
    EXPECT_EQ(text::plain(1e23), "100000000000000000000000");  // not the exact 99999999999999991611392
    EXPECT_EQ(text::plain(1180591620717411303424.0), "1180591620717411300000");  // 2^70
    EXPECT_EQ(text::plain(-1e16), "-10000000000000000");
    EXPECT_EQ(text::plain(0.000123), "0.000123");
    EXPECT_EQ(text::plain(12345.678), "12345.678");
    EXPECT_EQ(text::plain(5e-324), "0." + std::string(323, '0') + "5");
    EXPECT_EQ(text::plain(1.7976931348623157e308), "17976931348623157" + std::string(292, '0'));
}

TEST(PlainFloat, NonFiniteValues) {
    EXPECT_EQ(text::plain(kNaN), "NaN");
    EXPECT_EQ(text::plain(-kNaN), "NaN");
    EXPECT_EQ(text::plain(kInf), "inf");
    EXPECT_EQ(text::plain(-kInf), "-inf");
    EXPECT_EQ(text::plain(std::numeric_limits<float>::quiet_NaN()), "NaN");
    EXPECT_EQ(text::plain(-std::numeric_limits<float>::infinity()), "-inf");
}

TEST(PlainFloat, SinglePrecisionUsesItsOwnShortestForm) {
    EXPECT_EQ(text::plain(0.1f), "0.1");
    EXPECT_EQ(text::plain(static_cast<double>(0.1f)), "0.10000000149011612");
    EXPECT_EQ(text::plain(1e-7f), "0.0000001");
    EXPECT_EQ(text::plain(1200.0f), "1200");
    EXPECT_EQ(text::plain(16777216.0f), "16777216");
    EXPECT_EQ(text::plain(3.4028235e38f), "340282350000000000000000000000000000000");
    EXPECT_EQ(text::plain(-0.0f), "-0");
}

TEST(PlainFloat, PathsFormatAsLossyText) {
    const std::filesystem::path p(std::string("/run/a\xff" "b.raw"));
    EXPECT_EQ(text::path_text(p), "/run/a\xEF\xBF\xBD" "b.raw");
    EXPECT_EQ(fmt::format("reading {}", p), "reading /run/a\xEF\xBF\xBD" "b.raw");
}

TEST(FixedDecimals, RoundsExactBinaryValueTiesToEven) {
    EXPECT_EQ(text::fixed(250.03125, 4), "250.0312");  // exact tie, 2 is even
    EXPECT_EQ(text::fixed(250.03135, 4), "250.0314");  // binary value above the tie
    EXPECT_EQ(text::fixed(49.5, 0), "50");
    EXPECT_EQ(text::fixed(50.5, 0), "50");
    EXPECT_EQ(text::fixed(0.5, 0), "0");
    EXPECT_EQ(text::fixed(1.5, 0), "2");
    EXPECT_EQ(text::fixed(2.5, 0), "2");
    EXPECT_EQ(text::fixed(-2.5, 0), "-2");
    EXPECT_EQ(text::fixed(0.125, 2), "0.12");
    EXPECT_EQ(text::fixed(0.375, 2), "0.38");
    EXPECT_EQ(text::fixed(1.005, 2), "1.00");  // 1.005 is stored slightly below
    EXPECT_EQ(text::fixed(1.5, 4), "1.5000");
    EXPECT_EQ(text::fixed(0.1, 20), "0.10000000000000000555");
    EXPECT_EQ(text::fixed(1e21, 0), "1000000000000000000000");
    EXPECT_EQ(text::fixed(5e-324, 3), "0.000");
    EXPECT_EQ(text::fixed(static_cast<double>(50.0f), 0), "50");
    EXPECT_EQ(text::fixed(static_cast<double>(1200.0f), 0), "1200");
}

TEST(FixedDecimals, NegativeValuesKeepTheirSign) {
    EXPECT_EQ(text::fixed(-0.0, 0), "-0");
    EXPECT_EQ(text::fixed(-0.0, 4), "-0.0000");
    EXPECT_EQ(text::fixed(-0.4, 0), "-0");
    EXPECT_EQ(text::fixed(-0.00001, 4), "-0.0000");
    EXPECT_EQ(text::fixed(-1.25, 1), "-1.2");
}

TEST(FixedDecimals, NonFiniteValues) {
    EXPECT_EQ(text::fixed(kNaN, 4), "NaN");
    EXPECT_EQ(text::fixed(kInf, 0), "inf");
    EXPECT_EQ(text::fixed(-kInf, 4), "-inf");
}

TEST(QuotedForm, EscapesQuoteBackslashAndNamedControls) {
    EXPECT_EQ(text::quoted(""), "\"\"");
    EXPECT_EQ(text::quoted("Cal Function x"), "\"Cal Function x\"");
    EXPECT_EQ(text::quoted("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(text::quoted("\t\r\n"), "\"\\t\\r\\n\"");
    EXPECT_EQ(text::quoted("a\0b"sv), "\"a\\0b\"");
}

TEST(QuotedForm, OtherControlsAsHexCodePoints) {
    EXPECT_EQ(text::quoted("\x01"), "\"\\u{1}\"");
    EXPECT_EQ(text::quoted("\x1b[0m"), "\"\\u{1b}[0m\"");
    EXPECT_EQ(text::quoted("\x0b\x0c"), "\"\\u{b}\\u{c}\"");
    EXPECT_EQ(text::quoted("\x7f"), "\"\\u{7f}\"");
    EXPECT_EQ(text::quoted("\xC2\x85"), "\"\\u{85}\"");  // U+0085, a C1 control
    EXPECT_EQ(text::quoted("\xC2\x9F"), "\"\\u{9f}\"");
}

TEST(QuotedForm, PrintableTextUnchanged) {
    EXPECT_EQ(text::quoted("it's"), "\"it's\"");
    EXPECT_EQ(text::quoted(" ~!{}"), "\" ~!{}\"");
    EXPECT_EQ(text::quoted("\xC3\xA9t\xC3\xA9"), "\"\xC3\xA9t\xC3\xA9\"");
    EXPECT_EQ(text::quoted("\xE6\x97\xA5\xE6\x9C\xAC"), "\"\xE6\x97\xA5\xE6\x9C\xAC\"");
    EXPECT_EQ(text::quoted("\xF0\x9F\x98\x80"), "\"\xF0\x9F\x98\x80\"");
    EXPECT_EQ(text::quoted("\xC2\xA0"), "\"\xC2\xA0\"");  // no-break space is printable
    // Undecodable bytes show as replacement characters.
    EXPECT_EQ(text::quoted("a\xff"), "\"a\xEF\xBF\xBD\"");
}

// Expected outputs generated with Python: bytes.decode("utf-8", "replace").
struct LossyCase {
    std::string_view in;
    std::string_view out;
};

constexpr LossyCase kLossyCases[] = {
    {""sv, ""sv},
    {"\x61\x62\x63"sv, "\x61\x62\x63"sv},
    {"\xc3\xa9"sv, "\xc3\xa9"sv},
    {"\xc3"sv, "\xef\xbf\xbd"sv},
    {"\x61\xc3"sv, "\x61\xef\xbf\xbd"sv},
    {"\xc3\x61"sv, "\xef\xbf\xbd\x61"sv},
    {"\xe2\x82"sv, "\xef\xbf\xbd"sv},
    {"\xe2\x82\x61"sv, "\xef\xbf\xbd\x61"sv},
    {"\xe2\x82\xac"sv, "\xe2\x82\xac"sv},
    {"\xf0\x9f\x98"sv, "\xef\xbf\xbd"sv},
    {"\xf0\x9f\x98\x80"sv, "\xf0\x9f\x98\x80"sv},
    {"\xf0\x9f"sv, "\xef\xbf\xbd"sv},
    {"\xe0\x80"sv, "\xef\xbf\xbd\xef\xbf\xbd"sv},
    {"\xe0\x80\x80"sv, "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"sv},
    {"\xe0\xa0\x80"sv, "\xe0\xa0\x80"sv},
    {"\xed\xa0\x80"sv, "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"sv},
    {"\xed\x9f\xbf"sv, "\xed\x9f\xbf"sv},
    {"\xf4\x90\x80\x80"sv, "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"sv},
    {"\xf4\x8f\xbf\xbf"sv, "\xf4\x8f\xbf\xbf"sv},
    {"\xf0\x80\x80\x80"sv, "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"sv},
    {"\xc0\xaf"sv, "\xef\xbf\xbd\xef\xbf\xbd"sv},
    {"\xc1\xbf"sv, "\xef\xbf\xbd\xef\xbf\xbd"sv},
    {"\xc2"sv, "\xef\xbf\xbd"sv},
    {"\xf5\x80"sv, "\xef\xbf\xbd\xef\xbf\xbd"sv},
    {"\xf8\x88\x80\x80\x80"sv, "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"sv},
    {"\xff"sv, "\xef\xbf\xbd"sv},
    {"\xfe\xff"sv, "\xef\xbf\xbd\xef\xbf\xbd"sv},
    {"\x80"sv, "\xef\xbf\xbd"sv},
    {"\x80\x80"sv, "\xef\xbf\xbd\xef\xbf\xbd"sv},
    {"\xbf"sv, "\xef\xbf\xbd"sv},
    {"\xe1\x80\xe1\x80\x80"sv, "\xef\xbf\xbd\xe1\x80\x80"sv},
    {"\xf1\x80\x80\xf1"sv, "\xef\xbf\xbd\xef\xbf\xbd"sv},
    {"\xf1\x80\x80\x61"sv, "\xef\xbf\xbd\x61"sv},
    {"\xef\xbf\xbd"sv, "\xef\xbf\xbd"sv},
    {"\x00\x7f"sv, "\x00\x7f"sv},
    {"\x61\xff\x62\xc3\xa9\x63"sv, "\x61\xef\xbf\xbd\x62\xc3\xa9\x63"sv},
};

std::string hex(std::string_view s) {
    std::string out;
    for (const char c : s) out += fmt::format("{:02x} ", static_cast<unsigned char>(c));
    return out;
}

TEST(LossyUtf8, OneReplacementPerMaximalIllFormedSubpart) {
    for (const auto& c : kLossyCases) {
        EXPECT_EQ(hex(text::lossy_utf8(c.in)), hex(c.out)) << "input " << hex(c.in);
        const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(c.in.data()),
                                                  c.in.size());
        EXPECT_EQ(text::lossy_utf8(bytes), c.out) << "input " << hex(c.in);
        EXPECT_EQ(text::is_valid_utf8(c.in), c.in == c.out) << "input " << hex(c.in);
        EXPECT_TRUE(text::is_valid_utf8(text::lossy_utf8(c.in)));
    }
}

TEST(WhiteSpace, TrimsEveryUnicodeWhiteSpaceCharacter) {
    constexpr std::string_view kWhite[] = {
        "\t", "\n", "\x0b", "\x0c", "\r", " ",
        "\xC2\x85",      // U+0085
        "\xC2\xA0",      // U+00A0
        "\xE1\x9A\x80",  // U+1680
        "\xE2\x80\x80", "\xE2\x80\x85", "\xE2\x80\x8A",  // U+2000, U+2005, U+200A
        "\xE2\x80\xA8", "\xE2\x80\xA9",                  // U+2028, U+2029
        "\xE2\x80\xAF", "\xE2\x81\x9F",                  // U+202F, U+205F
        "\xE3\x80\x80",                                  // U+3000
    };
    for (const auto ws : kWhite) {
        EXPECT_EQ(text::white_space_at(ws), ws.size()) << hex(ws);
        const std::string inner = fmt::format("a{}b", ws);
        const std::string padded = fmt::format("{}{}{}", ws, inner, ws);
        EXPECT_EQ(text::trim(padded), inner) << hex(ws);
        EXPECT_EQ(text::trim_start(padded), padded.substr(ws.size())) << hex(ws);
        EXPECT_EQ(text::trim_end(padded), padded.substr(0, padded.size() - ws.size())) << hex(ws);
    }
    EXPECT_EQ(text::trim(" \xC2\x85\xE3\x80\x80 \t\r\n"), "");
    EXPECT_EQ(text::trim(""), "");
}

TEST(WhiteSpace, OtherInvisibleCharactersStay) {
    constexpr std::string_view kNotWhite[] = {
        "\xE2\x80\x8B",  // U+200B zero width space
        "\xE1\xA0\x8E",  // U+180E
        "\xEF\xBB\xBF",  // U+FEFF
        "\xE2\x81\xA0",  // U+2060
        "\x1f", "\x1c", "\x00"sv,
        "\xC3\xA9",
    };
    for (const auto c : kNotWhite) {
        EXPECT_EQ(text::white_space_at(c), 0u) << hex(c);
        const std::string s = std::string(c) + "x" + std::string(c);
        EXPECT_EQ(text::trim(s), s) << hex(c);
    }
    EXPECT_EQ(text::white_space_at(""), 0u);
    EXPECT_EQ(text::white_space_at("a "), 0u);
}

TEST(ParseF64, AcceptsEveryForm) {
    struct Case {
        std::string_view text;
        double value;
    };
    const Case cases[] = {
        {"1", 1.0},        {"+1", 1.0},      {"-1", -1.0},     {"007", 7.0},       {"1.", 1.0},
        {".5", 0.5},       {"-.5", -0.5},    {"+.5", 0.5},     {"1.25", 1.25},     {"1e5", 1e5},
        {"1E5", 1e5},      {"1e+5", 1e5},    {"1e-5", 1e-5},   {"1.5e3", 1500.0},  {".5e1", 5.0},
        {"1.e1", 10.0},    {"2.5e-3", 0.0025}, {"1e0005", 1e5}, {"0", 0.0},
        {"inf", kInf},     {"INF", kInf},    {"-inf", -kInf},  {"+Infinity", kInf}, {"iNfInItY", kInf},
        {"-INFINITY", -kInf},
    };
    for (const auto& c : cases) {
        const auto v = text::parse_f64(c.text);
        ASSERT_TRUE(v) << c.text;
        EXPECT_EQ(bits(*v), bits(c.value)) << c.text;
    }
    for (const auto t : {"nan"sv, "NaN"sv, "NAN"sv, "-nan"sv, "+nan"sv}) {
        const auto v = text::parse_f64(t);
        ASSERT_TRUE(v) << t;
        EXPECT_TRUE(std::isnan(*v)) << t;
    }
    EXPECT_EQ(bits(text::parse_f64("-0").value()), bits(-0.0));
    EXPECT_EQ(bits(text::parse_f64("-0.0e10").value()), bits(-0.0));
}

TEST(ParseF64, CorrectlyRoundedOnHardCases) {
    // Bit patterns from Python's float(), which rounds correctly.
    struct Case {
        std::string text;
        std::uint64_t bits;
    };
    const Case cases[] = {
        {"0.1", 0x3fb999999999999aULL},
        {"1e23", 0x44b52d02c7e14af6ULL},
        {"7.038531e-26", 0x3ab5c87fb0000000ULL},
        {"9007199254740993", 0x4340000000000000ULL},
        {"1.00000000000000011102230246251565404236316680908203125", 0x3ff0000000000000ULL},
        {"1.00000000000000011102230246251565404236316680908203126", 0x3ff0000000000001ULL},
        {"123456789012345678901234567890", 0x45f8ee90ff6c373eULL},
        {"1.7976931348623157e308", 0x7fefffffffffffffULL},
        {"1.7976931348623158e308", 0x7fefffffffffffffULL},
        {"2.2250738585072011e-308", 0x000fffffffffffffULL},
        {"2.2250738585072012e-308", 0x0010000000000000ULL},
        // Subnormals.
        {"4.9406564584124654e-324", 0x0000000000000001ULL},
        {"5e-324", 0x0000000000000001ULL},
        {"2.4703282292062328e-324", 0x0000000000000001ULL},
        {"1e-320", 0x00000000000007e8ULL},
        {"0." + std::string(323, '0') + "49406564584124654", 0x0000000000000001ULL},
        {"0." + std::string(322, '0') + "24703282292062328", 0x0000000000000005ULL},
    };
    for (const auto& c : cases) {
        const auto v = text::parse_f64(c.text);
        ASSERT_TRUE(v) << c.text;
        EXPECT_EQ(bits(*v), c.bits) << c.text;
    }
}

TEST(ParseF64, OutOfRangeGivesInfinityOrZero) {
    struct Case {
        std::string text;
        double value;
    };
    const Case cases[] = {
        {"1e400", kInf},
        {"-1e400", -kInf},
        {"1.7976931348623159e308", kInf},
        {"1" + std::string(400, '0'), kInf},
        {"0.0001e313", kInf},
        {"1e99999999999999999999", kInf},
        {"1e-400", 0.0},
        {"-1e-400", -0.0},
        {"2.4703282292062327e-324", 0.0},
        {"0." + std::string(400, '0') + "1", 0.0},
        {"1000e-330", 0.0},
        {"1e-99999999999999999999", 0.0},
        {"0e99999", 0.0},
    };
    for (const auto& c : cases) {
        const auto v = text::parse_f64(c.text);
        ASSERT_TRUE(v) << c.text;
        EXPECT_EQ(bits(*v), bits(c.value)) << c.text;
    }
}

TEST(ParseF64, RejectsEverythingElse) {
    constexpr std::string_view kRejected[] = {
        "",      "+",     "-",     ".",      "e5",        "1e",        "1e+",     "0x1p3",  "0x10",
        "1 000", "1,5",   "1_000", "+-1",    "--1",       "-+1",       "nan(1)",  "nan()",  "infinit",
        "infinityy", "in f", "1.5.2", "1e5.5", "1e 5", " 1", "1 ", "\t1", "1\n", "\xC2\xA0" "1",
        "\xEF\xBC\x91",  // fullwidth digit one
        "1f",    "1d",    "e",     "-.",     ".e1",       "1e1e1",     "1\0"sv,   "0b1",
    };
    for (const auto t : kRejected) EXPECT_FALSE(text::parse_f64(t)) << hex(t);
}

TEST(ParseU32, OptionalPlusThenDigitsUpToMax) {
    EXPECT_EQ(text::parse_u32("0"), 0u);
    EXPECT_EQ(text::parse_u32("+0"), 0u);
    EXPECT_EQ(text::parse_u32("+3"), 3u);
    EXPECT_EQ(text::parse_u32("03"), 3u);
    EXPECT_EQ(text::parse_u32("4294967295"), 4294967295u);
    EXPECT_EQ(text::parse_u32("000000000000000004294967295"), 4294967295u);
    constexpr std::string_view kRejected[] = {
        "", "+", "-1", "-0", "++1", "4294967296", "99999999999999999999999", " 1", "1 ", "1a", "0x10", "1.0",
    };
    for (const auto t : kRejected) EXPECT_FALSE(text::parse_u32(t)) << t;
}

}  // namespace
}  // namespace kestrune
