#include "raw/data.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "raw/data.h"

using kestrune::Bytes;
using kestrune::raw::CalType;
using kestrune::raw::FunctionCal;
using kestrune::raw::data::calibrate;
using kestrune::raw::data::decode_encoding_a;
using kestrune::raw::data::decode_encoding_b;
using kestrune::raw::data::decode_encoding_c;
using kestrune::raw::data::decode_encoding_d;
using kestrune::raw::data::DecodeParams;
using kestrune::testing::ByteImage;
namespace detail = kestrune::raw::data::detail;

namespace {

using Image = std::vector<std::uint8_t>;

FunctionCal t0() { return {}; }
FunctionCal t1(std::vector<double> c) { return {std::move(c), CalType::T1}; }

DecodeParams params(FunctionCal cal, double mz_low = 100, double mz_high = 400, double tof = 0.07) {
    DecodeParams p;
    p.cal = std::move(cal);
    p.tof_constant = tof;
    p.mz_low = mz_low;
    p.mz_high = mz_high;
    p.scan_time_ms = 100;
    return p;
}

// Runs the body once with the four-record kernels and once without.
template <class F>
void both_paths(F&& body) {
    for (bool vector : {true, false}) {
        SCOPED_TRACE(vector ? "vector kernels" : "one record at a time");
        detail::set_vector_kernels(vector);
        body();
    }
    detail::set_vector_kernels(true);
}

template <class T>
std::string error_text(const kestrune::Result<T>& r) {
    return r ? std::string("no error") : r.error().to_string();
}

// ---- straightforward decoders, written from the format description ----

struct Decoded {
    std::vector<double> mz, drift;
    std::vector<float> intensity;
    std::string error;
};

Decoded failed(std::string message) {
    Decoded d;
    d.error = std::move(message);
    return d;
}

double root(const FunctionCal& cal, double u) {
    if (cal.cal_type == CalType::T0) return u;
    double acc = 0;
    for (std::size_t k = cal.coefficients.size(); k > 0; --k) acc = acc * u + cal.coefficients[k - 1];
    return acc;
}

unsigned word16(const Image& b, std::size_t off) { return b[off] | (b[off + 1] << 8); }
std::uint32_t word32(const Image& b, std::size_t off) { return word16(b, off) | (word16(b, off + 2) << 16); }

Decoded straight_a(const Image& b, const DecodeParams& p) {
    Decoded d;
    if (b.size() % 6)
        return failed(fmt::format("parse error: Encoding A: scan size {} is not a multiple of 6", b.size()));
    for (std::size_t o = 0; o < b.size(); o += 6) {
        const unsigned count = word16(b, o);
        if (count == 0) continue;
        if ((b[o + 5] & 0x80) == 0 || (b[o + 2] & 0x0F) != 0)
            return failed(
                fmt::format("parse error: Encoding A: unsupported m/z word {:02x} {:02x} {:02x} {:02x}",
                            b[o + 2], b[o + 3], b[o + 4], b[o + 5]));
        const double m = b[o + 5] * 65536.0 + b[o + 4] * 256.0 + b[o + 3];
        const double u = std::sqrt(std::ldexp(1.0, (b[o + 2] >> 4) - 24) * m);
        const double r = root(p.cal, u);
        d.mz.push_back(r * r);
        d.intensity.push_back(static_cast<float>(count));
    }
    return d;
}

Decoded straight_bc(const Image& b, const DecodeParams& p, bool ims) {
    Decoded d;
    if (b.empty()) return d;
    if (b.size() % 8)
        return failed(fmt::format("parse error: Encoding {}: scan size {} is not a multiple of 8",
                                  ims ? 'B' : 'C', b.size()));
    if (b.size() < 16) return d;
    const int first = static_cast<int>(word16(b, 6));
    const int last = static_cast<int>(word16(b, b.size() - 2));
    if (first >= last) return d;
    const double t_low = std::sqrt(p.mz_low) * p.tof_constant;
    const double t_high = std::sqrt(p.mz_high) * p.tof_constant;
    const double s = (t_high - t_low) / (last - first);
    for (std::size_t o = 0; o < b.size(); o += 8) {
        const unsigned count = word16(b, o + 2);
        if (count == 0) continue;
        const int pos = static_cast<int>(word16(b, o + 6));
        const double t =
            ims ? (pos - first) * s + t_low : (word16(b, o + 4) / 65536.0 + (pos - first)) * s + t_low;
        const double q = root(p.cal, t) / p.tof_constant;
        d.mz.push_back(q * q);
        if (ims) d.drift.push_back((word16(b, o + 4) * p.scan_time_ms) / 65536.0);
        d.intensity.push_back(static_cast<float>(count));
    }
    return d;
}

Decoded straight_d(const Image& b, const DecodeParams& p) {
    Decoded d;
    if (b.size() % 8)
        return failed(fmt::format("parse error: Encoding D: scan size {} is not a multiple of 8", b.size()));
    for (std::size_t o = 0; o < b.size(); o += 8) {
        const std::uint32_t level = word32(b, o), w = word32(b, o + 4);
        if (level == 0) continue;
        if (!(w & 0x04000000))
            return failed(fmt::format(
                "parse error: Encoding D: position word {:#010x} lacks the leading mantissa bit", w));
        const double mantissa = (w & 0x07FFFFFF) / 134217728.0;
        const double r = root(p.cal, std::sqrt(std::ldexp(1.0, static_cast<int>(w >> 27)) * mantissa));
        d.mz.push_back(r * r);
        d.intensity.push_back(static_cast<float>(level / 65536.0));
    }
    return d;
}

template <class T>
bool same_bits(const std::vector<T>& a, const std::vector<T>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::isnan(a[i]) && std::isnan(b[i])) continue;
        if (std::bit_cast<std::conditional_t<sizeof(T) == 8, std::uint64_t, std::uint32_t>>(a[i]) !=
            std::bit_cast<std::conditional_t<sizeof(T) == 8, std::uint64_t, std::uint32_t>>(b[i]))
            return false;
    }
    return true;
}

template <class R>
void expect_same(const R& got, const Decoded& want) {
    if (!want.error.empty()) {
        EXPECT_EQ(error_text(got), want.error);
        return;
    }
    ASSERT_TRUE(got.has_value()) << error_text(got);
    EXPECT_TRUE(same_bits(got->mz, want.mz));
    EXPECT_TRUE(same_bits(got->intensity, want.intensity));
    if constexpr (requires { got->drift_time_ms; }) {
        EXPECT_TRUE(same_bits(got->drift_time_ms, want.drift));
    }
}

// ---- random scans ----

struct Random {
    std::mt19937_64 rng;
    explicit Random(std::uint64_t start) : rng(start) {}
    std::uint64_t bits() { return rng(); }
    bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(rng) < p; }
    double real(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); }
};

FunctionCal random_cal(Random& r) {
    if (r.chance(0.2)) return t0();
    std::vector<double> c;
    const std::size_t n = r.bits() % 9;
    for (std::size_t k = 0; k < n; ++k)
        c.push_back(r.real(-2, 2) * std::pow(10.0, -3.0 * static_cast<double>(k)));
    return t1(std::move(c));
}

// ~5% zero intensities; `bad` is the chance of an invalid position field.
Image random_scan(Random& r, char encoding, std::size_t records, double bad) {
    Image img;
    for (std::size_t i = 0; i < records; ++i) {
        const std::uint64_t v = r.bits();
        const bool zero = r.chance(0.05);
        if (encoding == 'A') {
            std::uint8_t rec[6];
            for (int j = 0; j < 6; ++j) rec[j] = static_cast<std::uint8_t>(v >> (8 * j));
            if (zero) rec[0] = rec[1] = 0;
            if (!zero && !r.chance(bad)) {  // zero records keep random, often invalid, bits
                rec[2] &= 0xF0;
                rec[5] |= 0x80;
            }
            img.insert(img.end(), rec, rec + 6);
        } else {
            std::uint64_t w = v;
            if (encoding == 'D') {
                if (zero) w &= ~std::uint64_t{0xFFFFFFFF};
                if (!zero && !r.chance(bad)) w |= std::uint64_t{1} << 58;
            } else {
                if (zero) w &= ~std::uint64_t{0xFFFF0000};
                // Anchors low and high; the positions between are arbitrary.
                const std::uint64_t pos = i == 0 ? w % 1000 : i + 1 == records ? 60000 + w % 5000 : w >> 48;
                w = (w & 0x0000FFFFFFFFFFFF) | (pos << 48);
            }
            for (int j = 0; j < 8; ++j) img.push_back(static_cast<std::uint8_t>(w >> (8 * j)));
        }
    }
    return img;
}

DecodeParams random_params(Random& r) {
    DecodeParams p = params(random_cal(r), r.real(20, 500), r.real(500, 4000), r.real(0.01, 0.2));
    p.scan_time_ms = r.real(10, 2000);
    if (r.chance(0.05)) p.tof_constant = r.chance(0.5) ? 0.0 : std::numeric_limits<double>::quiet_NaN();
    if (r.chance(0.05)) p.mz_high = std::numeric_limits<double>::infinity();
    return p;
}

}  // namespace

TEST(Calibration, RootIsIdentityForT0AndHornerPolynomialForT1) {
    EXPECT_EQ(calibrate(FunctionCal{{5.0, 7.0}, CalType::T0}, 3.5), 3.5);
    EXPECT_EQ(calibrate(t1({1, 2, 3}), 2.0), 17.0);  // 1 + 2*2 + 3*4
    EXPECT_EQ(calibrate(t1({}), 123.0), 0.0);
    // Horner from an accumulator of 0: the first step is 0 * u + c_last.
    EXPECT_TRUE(std::isnan(calibrate(t1({5}), std::numeric_limits<double>::infinity())));
    // Exactly the nested order: ((0*u + 1e16)*u + 1)*u + -1e16 at u = 1.
    EXPECT_EQ(calibrate(t1({-1e16, 1, 1e16}), 1.0), 0.0);
}

TEST(EncodingA, DecodesWorkedRecordsAndRejectsBadWords) {
    both_paths([] {
        EXPECT_TRUE(decode_encoding_a({}, params(t0()))->mz.empty());
        const Image seven(7, 0);
        EXPECT_EQ(error_text(decode_encoding_a(seven, params(t0()))),
                  "parse error: Encoding A: scan size 7 is not a multiple of 6");

        const Image rec = {0x10, 0x00, 0x30, 0x00, 0x00, 0x80};
        auto s = decode_encoding_a(rec, params(t0()));
        ASSERT_TRUE(s) << error_text(s);
        EXPECT_EQ(s->mz, std::vector<double>{4.0});
        EXPECT_EQ(s->intensity, std::vector<float>{16.0f});
        EXPECT_EQ(decode_encoding_a(rec, params(t1({0, 2})))->mz, std::vector<double>{16.0});

        const Image skipped = {0x00, 0x00, 0xF3, 0xFF, 0xFF, 0x7F};
        EXPECT_TRUE(decode_encoding_a(skipped, params(t0()))->mz.empty());
        EXPECT_EQ(error_text(decode_encoding_a(Image{0x01, 0x00, 0x03, 0x00, 0x00, 0x80}, params(t0()))),
                  "parse error: Encoding A: unsupported m/z word 03 00 00 80");
        EXPECT_EQ(error_text(decode_encoding_a(Image{0x01, 0x00, 0x30, 0x00, 0x00, 0x7f}, params(t0()))),
                  "parse error: Encoding A: unsupported m/z word 30 00 00 7f");
    });
}

TEST(EncodingC, AnchorsPositionsOnMassRangeAndGivesEmptyForDegenerateScans) {
    auto rec = [](ByteImage& img, unsigned count, unsigned frac, unsigned pos) {
        img.u16(0).u16(count).u16(frac).u16(pos);
    };
    both_paths([&] {
        EXPECT_TRUE(decode_encoding_c({}, params(t0()))->mz.empty());
        EXPECT_EQ(error_text(decode_encoding_c(Image(12, 0), params(t0()))),
                  "parse error: Encoding C: scan size 12 is not a multiple of 8");
        ByteImage one;
        rec(one, 5, 0, 10);
        EXPECT_TRUE(decode_encoding_c(one.bytes(), params(t0()))->mz.empty());

        ByteImage flat;  // first and last position equal
        rec(flat, 5, 0, 10), rec(flat, 5, 0, 30), rec(flat, 5, 0, 10);
        EXPECT_TRUE(decode_encoding_c(flat.bytes(), params(t0()))->mz.empty());

        ByteImage scan;
        rec(scan, 1, 0, 10), rec(scan, 0, 0, 12), rec(scan, 2, 0, 15), rec(scan, 3, 0x8000, 17),
            rec(scan, 4, 0, 20);
        auto s = decode_encoding_c(scan.bytes(), params(t0(), 100, 400, 0.0731));
        ASSERT_TRUE(s) << error_text(s);
        ASSERT_EQ(s->mz.size(), 4u);
        EXPECT_DOUBLE_EQ(s->mz[0], 100.0);
        EXPECT_DOUBLE_EQ(s->mz[1], 225.0);
        EXPECT_DOUBLE_EQ(s->mz[2], std::pow(10 + 7.5, 2));  // fraction word counts half a step
        EXPECT_DOUBLE_EQ(s->mz[3], 400.0);
        EXPECT_EQ(s->intensity, (std::vector<float>{1, 2, 3, 4}));
        EXPECT_EQ(decode_encoding_c(scan.bytes(), params(t1({})))->mz, std::vector<double>(4, 0.0));
    });
}

TEST(EncodingB, DecodesMassAndDriftTimeWithEqualLengthArrays) {
    auto rec = [](ByteImage& img, unsigned count, unsigned drift, unsigned pos) {
        img.u16(0).u16(count).u16(drift).u16(pos);
    };
    both_paths([&] {
        EXPECT_TRUE(decode_encoding_b({}, params(t0()))->mz.empty());
        EXPECT_TRUE(decode_encoding_b(Image(8, 1), params(t0()))->mz.empty());
        EXPECT_EQ(error_text(decode_encoding_b(Image(12, 0), params(t0()))),
                  "parse error: Encoding B: scan size 12 is not a multiple of 8");

        ByteImage flat;
        rec(flat, 5, 0, 10), rec(flat, 5, 0, 30), rec(flat, 5, 0, 10);
        EXPECT_TRUE(decode_encoding_b(flat.bytes(), params(t0()))->drift_time_ms.empty());

        ByteImage scan;
        rec(scan, 7, 16384, 10), rec(scan, 0, 99, 15), rec(scan, 9, 32768, 20);
        DecodeParams p = params(t0(), 100, 400);
        p.scan_time_ms = static_cast<double>(0.1f) * 1000;
        auto s = decode_encoding_b(scan.bytes(), p);
        ASSERT_TRUE(s) << error_text(s);
        ASSERT_EQ(s->mz.size(), 2u);
        ASSERT_EQ(s->drift_time_ms.size(), 2u);
        EXPECT_DOUBLE_EQ(s->mz[0], 100.0);
        EXPECT_DOUBLE_EQ(s->mz[1], 400.0);
        EXPECT_NEAR(s->drift_time_ms[0], 25.0, 1e-5);
        EXPECT_NEAR(s->drift_time_ms[1], 50.0, 1e-5);
        EXPECT_EQ(s->intensity, (std::vector<float>{7, 9}));
        EXPECT_EQ(decode_encoding_b(scan.bytes(), params(t1({})))->mz, std::vector<double>(2, 0.0));
    });
}

TEST(EncodingD, DecodesFixedPointIntensityAndRejectsMissingLeadingBit) {
    both_paths([] {
        EXPECT_TRUE(decode_encoding_d({}, params(t0()))->mz.empty());
        EXPECT_EQ(error_text(decode_encoding_d(Image(12, 0), params(t0()))),
                  "parse error: Encoding D: scan size 12 is not a multiple of 8");
        auto s = decode_encoding_d(Image{0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x0C}, params(t0()));
        ASSERT_TRUE(s) << error_text(s);
        EXPECT_EQ(s->mz, std::vector<double>{1.0});
        EXPECT_EQ(s->intensity, std::vector<float>{1.0f});
        EXPECT_TRUE(decode_encoding_d(ByteImage().u32(0).u32(0x0A000000).bytes(), params(t0()))->mz.empty());
        EXPECT_EQ(error_text(decode_encoding_d(ByteImage().u32(1).u32(0x0A000000).bytes(), params(t0()))),
                  "parse error: Encoding D: position word 0x0a000000 lacks the leading mantissa bit");
    });
}

TEST(Decoders, FirstInvalidRecordFailsWholeScanWhereverItSits) {
    Random r(7);
    for (std::size_t at = 0; at < 24; ++at) {
        for (char enc : {'A', 'D'}) {
            Image img = random_scan(r, enc, 24, 0.0);
            const std::size_t width = enc == 'A' ? 6 : 8;
            img[at * width] = 1;  // nonzero intensity
            if (enc == 'A')
                img[at * width + 2] |= 0x01;
            else
                img[at * width + 7] &= ~0x04;
            both_paths([&] {
                const DecodeParams p = params(t0());
                if (enc == 'A')
                    expect_same(decode_encoding_a(img, p), straight_a(img, p));
                else
                    expect_same(decode_encoding_d(img, p), straight_d(img, p));
            });
        }
    }
}

TEST(Decoders, MatchStraightforwardLoopBitForBitOnRandomScans) {
    Random r(20240611);
    for (int round = 0; round < 400; ++round) {
        const std::size_t records = round % 50 == 0 ? 20000 : r.bits() % 70;
        const DecodeParams p = random_params(r);
        const double bad = round % 4 == 0 ? 0.002 : 0.0;
        const Image a = random_scan(r, 'A', records, bad);
        const Image b = random_scan(r, 'B', records, 0);
        const Image c = random_scan(r, 'C', records, 0);
        const Image d = random_scan(r, 'D', records, bad);
        SCOPED_TRACE(fmt::format("round {} records {}", round, records));
        both_paths([&] {
            expect_same(decode_encoding_a(a, p), straight_a(a, p));
            expect_same(decode_encoding_b(b, p), straight_bc(b, p, true));
            expect_same(decode_encoding_c(c, p), straight_bc(c, p, false));
            expect_same(decode_encoding_d(d, p), straight_d(d, p));
        });
    }
}
