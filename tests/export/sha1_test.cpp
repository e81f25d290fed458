#include <string>

#include <gtest/gtest.h>

#include "codec/sha1.h"

namespace kestrune {
using namespace codec;

namespace {

std::string sha1_hex(std::string_view text) {
    Sha1 h;
    h.update(text);
    return h.hex_digest();
}

TEST(Sha1, MatchesTheStandardTestVectors) {
    EXPECT_EQ(sha1_hex(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(sha1_hex("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(sha1_hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    EXPECT_EQ(sha1_hex(std::string(1000000, 'a')), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

TEST(Sha1, PaddingBoundariesAroundOneBlock) {
    // 55, 56 and 64 bytes: the length field fits, just misses, and a full block.
    EXPECT_EQ(sha1_hex(std::string(55, 'a')), "c1c8bbdc22796e28c0e15163d20899b65621d65a");
    EXPECT_EQ(sha1_hex(std::string(56, 'a')), "c2db330f6083854c99d4b5bfb6e8f29f201be699");
    EXPECT_EQ(sha1_hex(std::string(64, 'a')), "0098ba824b5c16427bd7a1122a5a442a25ec644d");
}

TEST(Sha1, PiecewiseFeedingEqualsOneShotAndDigestLeavesStateAlone) {
    std::string text;
    for (int i = 0; i < 1000; ++i) text += static_cast<char>(i * 7 + 3);
    Sha1 h;
    std::size_t pos = 0;
    for (std::size_t step = 1; pos < text.size(); step = step * 3 % 97 + 1) {
        const std::size_t n = std::min(step, text.size() - pos);
        h.update(text.data() + pos, n);
        pos += n;
        (void)h.digest();  // an intermediate digest must not disturb the state
    }
    EXPECT_EQ(h.hex_digest(), sha1_hex(text));
}

}  // namespace
}  // namespace kestrune
