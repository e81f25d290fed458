// Deflate (ISA-L, libdeflate), MS-Numpress and the array encoder that combines them
// with base64: what they write decodes with independent decoders (plain
// zlib, libmsnumpress's decoders) within the documented bounds.
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <libmsnumpress/MSNumpress.hpp>
#include <zlib.h>

#include "mzml/array_encoder.h"
#include "codec/base64.h"
#include "codec/deflate.h"
#include "codec/numpress.h"

namespace kestrune {
using namespace codec;
using namespace mzml;

namespace {

using Bytes = std::vector<std::uint8_t>;
namespace np = ms::numpress::MSNumpress;

Bytes inflate(std::span<const std::uint8_t> packed, std::size_t size) {
    Bytes out(size + 1);
    uLongf n = uLongf(out.size());
    EXPECT_EQ(uncompress(out.data(), &n, packed.data(), uLong(packed.size())), Z_OK);
    out.resize(n);
    return out;
}

template <class T>
Bytes bytes_of(const std::vector<T>& v) {
    Bytes b(v.size() * sizeof(T));
    if (!b.empty()) std::memcpy(b.data(), v.data(), b.size());
    return b;
}

// Sorted m/z values and detector counts like those of a TOF scan.
std::vector<double> some_mz(std::size_t n, std::mt19937& rng) {
    std::uniform_real_distribution<double> u(50.0, 2000.0);
    std::vector<double> v(n);
    for (double& x : v) x = u(rng);
    std::sort(v.begin(), v.end());
    return v;
}
std::vector<double> some_counts(std::size_t n, std::mt19937& rng) {
    std::uniform_int_distribution<int> u(0, 60000);
    std::vector<double> v(n);
    for (double& x : v) x = u(rng) + (u(rng) % 4) * 0.25;
    return v;
}

TEST(Deflate, EveryLevelWritesZlibStreamsThatPlainZlibInflates) {
    std::mt19937 rng(7);
    Bytes noise(200000);
    for (auto& b : noise) b = std::uint8_t(rng());
    const std::vector<Bytes> inputs{
        {}, {42}, Bytes(1 << 20, 0), noise, bytes_of(some_mz(5000, rng)), bytes_of(some_counts(5000, rng))};
    for (int level = kMinCompressionLevel; level <= kMaxCompressionLevel; ++level) {
        Deflater d(level);
        for (const Bytes& in : inputs) {
            const auto packed = d.compress(in);
            ASSERT_TRUE(packed) << level;
            EXPECT_EQ(inflate(*packed, in.size()), in) << "level " << level << ", " << in.size() << " bytes";
        }
    }
    // The stream depends on the bytes and the level alone, not on what the
    // compressor did before (each export thread has its own).
    Deflater used(1);
    for (const Bytes& in : inputs) (void)used.compress(in);
    for (const Bytes& in : inputs) {
        Deflater fresh(1);
        const auto a = fresh.compress(in);
        const Bytes first(a->begin(), a->end());
        const auto b = used.compress(in);
        EXPECT_EQ(Bytes(b->begin(), b->end()), first) << in.size() << " bytes";
    }
    // Zeros compress; at level 1 and above float arrays get smaller too.
    EXPECT_LT(Deflater(1).compress(inputs[2])->size(), 1u << 14);
    EXPECT_LT(Deflater(1).compress(inputs[5])->size(), inputs[5].size());
}

// Nor on where the compressor lies in memory: compressors alive at once, at
// as many addresses, write the same streams. (A deflater that hashed an
// address gave another stream for the first array below at about one
// address in twenty.)
TEST(Deflate, TheStreamDoesNotDependOnWhereTheCompressorLies) {
    std::mt19937 rng(3);
    const std::vector<Bytes> inputs{
        {0x00, 0xfb, 0xff, 0x04, 0xec, 0xff, 0x43, 0x40, 0x00, 0xb0, 0xff, 0x04,
         0xc0, 0xfe, 0x03, 0x40, 0x00, 0xfb, 0xff, 0x04, 0xec, 0xff, 0x43, 0x40},
        {7, 7},
        bytes_of(some_mz(300, rng)),
        bytes_of(some_counts(4000, rng)),
    };
    std::vector<Deflater> deflaters(96);
    std::vector<Bytes> first;
    for (const Bytes& in : inputs) {
        const auto packed = deflaters[0].compress(in);
        ASSERT_TRUE(packed);
        first.emplace_back(packed->begin(), packed->end());
    }
    for (std::size_t k = 1; k < deflaters.size(); ++k)
        for (std::size_t i = 0; i < inputs.size(); ++i) {
            const auto packed = deflaters[k].compress(inputs[i]);
            ASSERT_TRUE(packed);
            ASSERT_EQ(Bytes(packed->begin(), packed->end()), first[i]) << "compressor " << k << ", array " << i;
        }
}

TEST(Numpress, EncodingsDecodeWithinTheirBounds) {
    std::mt19937 rng(11);
    for (std::size_t n : {0u, 1u, 2u, 3u, 4000u}) {
        const auto mz = some_mz(n, rng);
        const auto counts = some_counts(n, rng);
        for (double ppm : {0.01, 0.1, 5.0}) {
            Bytes out{9};  // appended after what is there
            ASSERT_TRUE(numpress_linear(mz, ppm, out)) << n << " " << ppm;
            ASSERT_EQ(out[0], 9);
            std::vector<double> back(n + 2);
            back.resize(np::decodeLinear(out.data() + 1, out.size() - 1, back.data()));
            ASSERT_EQ(back.size(), n);
            for (std::size_t i = 0; i < n; ++i) EXPECT_LE(std::abs(back[i] - mz[i]), ppm * 1e-6 * mz[i]) << i;
        }
        Bytes pic, slof;
        ASSERT_TRUE(numpress_pic(counts, pic));
        ASSERT_TRUE(numpress_slof(counts, slof));
        std::vector<double> back(2 * n + 2);
        back.resize(np::decodePic(pic.data(), pic.size(), back.data()));
        ASSERT_EQ(back.size(), n);
        for (std::size_t i = 0; i < n; ++i) EXPECT_LE(std::abs(back[i] - counts[i]), 0.5);
        back.resize(2 * n + 2);
        back.resize(np::decodeSlof(slof.data(), slof.size(), back.data()));
        ASSERT_EQ(back.size(), n);
        const double max = n ? *std::max_element(counts.begin(), counts.end()) : 0;
        const double fixed = std::floor(65535 / std::max(1.0, std::log(max + 1)));
        if (n > 0) {
            EXPECT_EQ(fixed, np::optimalSlofFixedPoint(counts.data(), n));
        }
        for (std::size_t i = 0; i < n; ++i)
            EXPECT_LE(std::abs(std::log((back[i] + 1) / (counts[i] + 1))), 0.5 / fixed + 1e-12) << i;
    }
}

TEST(Numpress, ValuesOutsideAnEncodingAreRefusedAndLeaveTheOutputAlone) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        std::vector<double> values;
        bool linear, pic, slof;
    } cases[] = {
        {{100.0, -1.0}, false, false, false},
        {{100.0, nan}, false, false, false},
        {{100.0, inf}, false, false, false},
        {{3e9, 5.0}, false, false, true},     // pic holds up to 2^31 - 1
        {{0.0, 0.0, 0.0}, true, true, true},  // zeros are exact
        // 1e-3 ppm of 0.001 needs a fixed point beyond what 2000 allows
        {{0.001, 2000.0}, false, true, true},
    };
    for (const auto& c : cases) {
        Bytes out{1, 2, 3};
        EXPECT_EQ(numpress_linear(c.values, 1e-3, out), c.linear) << c.values[0] << " " << c.values[1];
        if (!c.linear) {
            EXPECT_EQ(out, (Bytes{1, 2, 3}));
        }
        out = {1, 2, 3};
        EXPECT_EQ(numpress_pic(c.values, out), c.pic) << c.values[0] << " " << c.values[1];
        if (!c.pic) {
            EXPECT_EQ(out, (Bytes{1, 2, 3}));
        }
        out = {1, 2, 3};
        EXPECT_EQ(numpress_slof(c.values, out), c.slof) << c.values[0] << " " << c.values[1];
        if (!c.slof) {
            EXPECT_EQ(out, (Bytes{1, 2, 3}));
        }
    }
}

TEST(ArrayEncoder, TermsFollowTheModeTheRoleAndTheValues) {
    const std::vector<double> mz{100.5, 200.25, 300.125};
    const std::vector<float> counts{1, 2, 3};
    const std::vector<float> negative{1, -2, 3};
    const struct {
        Numpress mode;
        bool compress;
        const char* mz;         // compression of the m/z array
        const char* intensity;  // compression of the 32-bit intensity array
        const char* negative;   // ... of intensities numpress cannot hold
    } cases[] = {
        {Numpress::None, true, "MS:1000574", "MS:1000574", "MS:1000574"},
        {Numpress::None, false, "MS:1000576", "MS:1000576", "MS:1000576"},
        {Numpress::Linear, true, "MS:1002746", "MS:1000574", "MS:1000574"},
        {Numpress::Pic, true, "MS:1002746", "MS:1002747", "MS:1000574"},
        {Numpress::Slof, true, "MS:1002746", "MS:1002748", "MS:1000574"},
        {Numpress::Slof, false, "MS:1002312", "MS:1002314", "MS:1000576"},
        {Numpress::Pic, false, "MS:1002312", "MS:1002313", "MS:1000576"},
    };
    for (const auto& c : cases) {
        ArrayEncoder e(ArrayEncoding{.compress = c.compress, .numpress = c.mode});
        const auto m = e.encode(std::span<const double>(mz), ArrayRole::Mz);
        ASSERT_TRUE(m);
        EXPECT_EQ(m->compression.accession, c.mz);
        EXPECT_EQ(m->precision.accession, "MS:1000523");
        const auto i = e.encode(std::span<const float>(counts), ArrayRole::Intensity);
        ASSERT_TRUE(i);
        EXPECT_EQ(i->compression.accession, c.intensity);
        // Numpress decodes to 64-bit values; lossless arrays keep their type.
        EXPECT_EQ(i->precision.accession, std::string_view(c.intensity).starts_with("MS:1002") ? "MS:1000523"
                                                                                                 : "MS:1000521");
        const auto n = e.encode(std::span<const float>(negative), ArrayRole::Intensity);
        ASSERT_TRUE(n);
        EXPECT_EQ(n->compression.accession, c.negative);
        EXPECT_EQ(n->precision.accession, "MS:1000521");
        auto raw = base64_decode(n->base64);
        ASSERT_TRUE(raw);
        if (c.compress) *raw = inflate(*raw, negative.size() * 4);
        EXPECT_EQ(*raw, bytes_of(negative));
        // Other arrays (drift times, chromatograms) are never numpressed.
        const auto other = e.encode(std::span<const double>(mz), ArrayRole::Other);
        EXPECT_EQ(other->compression.accession, c.compress ? "MS:1000574" : "MS:1000576");
    }
}

}  // namespace
}  // namespace kestrune
