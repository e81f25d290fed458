#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "codec/base64.h"

namespace kestrune {
using namespace codec;

namespace {

std::vector<std::uint8_t> bytes_of(std::string_view s) { return {s.begin(), s.end()}; }

TEST(Base64, EncodesTheRfc4648Vectors) {
    const std::pair<const char*, const char*> cases[] = {
        {"", ""},          {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [plain, encoded] : cases) {
        EXPECT_EQ(base64_encode(bytes_of(plain)), encoded) << plain;
        EXPECT_EQ(base64_length(std::string_view(plain).size()), std::string_view(encoded).size());
        EXPECT_EQ(base64_decode(encoded), bytes_of(plain)) << encoded;
    }
}

TEST(Base64, AppendsAfterExistingTextAndRoundTripsEveryByte) {
    std::vector<std::uint8_t> all(256);
    for (int i = 0; i < 256; ++i) all[i] = std::uint8_t(255 - i);
    std::string out = "prefix";
    base64_append(all, out);
    ASSERT_TRUE(out.starts_with("prefix"));
    EXPECT_EQ(base64_decode(std::string_view(out).substr(6)), all);
    EXPECT_NE(out.find('+'), std::string::npos);
    EXPECT_NE(out.find('/'), std::string::npos);
}

TEST(Base64, DecodingRejectsMalformedText) {
    EXPECT_FALSE(base64_decode("Zg="));     // not a multiple of 4
    EXPECT_FALSE(base64_decode("Z g="));    // white space
    EXPECT_FALSE(base64_decode("Zg==Zg==")); // padding in the middle
    EXPECT_FALSE(base64_decode("Z=g="));    // digit after padding
    EXPECT_FALSE(base64_decode("Zm9-"));    // URL alphabet
}

}  // namespace
}  // namespace kestrune
