// Display texts of the three error kinds, and the Io errors of the file reads.
#include <cerrno>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "error.h"
#include "fs.h"
#include "support/temp_dir.h"

namespace kestrune {
namespace {

using testing::TempDir;

std::string os_text(int number) { return std::strerror(number); }

TEST(ErrorDisplay, IoErrorOfMissingFileNamesTheOsErrorNumber) {
    TempDir dir;
    auto r = fs::read_file(dir / "absent.bin");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), Error::Kind::Io);
    EXPECT_EQ(r.error().os_errno(), ENOENT);
    EXPECT_EQ(r.error().to_string(), "I/O error: No such file or directory (os error 2)");
}

TEST(ErrorDisplay, IoErrorFromNumberAndFromErrorCodeAgree) {
    EXPECT_EQ(Error::io(EACCES).to_string(), "I/O error: " + os_text(EACCES) + " (os error 13)");
    EXPECT_EQ(Error::io(std::make_error_code(std::errc::is_a_directory)).to_string(),
              "I/O error: " + os_text(EISDIR) + " (os error 21)");
}

TEST(ErrorDisplay, ShortReadFailsToFillWholeBuffer) {
    TempDir dir;
    const auto file = dir.write("ten.bin", std::string(10, 'x'));
    auto past_end = fs::read_range(file, 4, 7);
    ASSERT_FALSE(past_end);
    EXPECT_EQ(past_end.error().kind(), Error::Kind::Io);
    EXPECT_EQ(past_end.error().to_string(), "I/O error: failed to fill whole buffer");

    auto far_past_end = fs::read_range(file, 1000, 1);
    ASSERT_FALSE(far_past_end);
    EXPECT_EQ(far_past_end.error().to_string(), "I/O error: failed to fill whole buffer");

    EXPECT_EQ(Error::io_short_read().to_string(), "I/O error: failed to fill whole buffer");
}

TEST(ErrorDisplay, ParseMessageFollowsPrefixEvenWhenEmpty) {
    EXPECT_EQ(Error::parse("").to_string(), "parse error: ");
    EXPECT_EQ(Error::parse("bad {} text").to_string(), "parse error: bad {} text");
    auto r = Result<int>(parse_error("x"));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), Error::Kind::Parse);
    EXPECT_EQ(r.error().text(), "x");
}

TEST(ErrorDisplay, ContextsNestOutermostFirst) {
    Error inner = Error::parse("_FUNCTNS.INF: file size 417 is not a multiple of 416 (record size)");
    Error once = Error::context("reading /r/_FUNCTNS.INF", std::move(inner));
    EXPECT_EQ(once.to_string(),
              "reading /r/_FUNCTNS.INF: parse error: _FUNCTNS.INF: file size 417 is not a multiple of 416 "
              "(record size)");
    Error twice = Error::context("outer", std::move(once));
    EXPECT_EQ(twice.kind(), Error::Kind::Context);
    EXPECT_EQ(twice.text(), "outer");
    ASSERT_NE(twice.inner(), nullptr);
    EXPECT_EQ(twice.inner()->kind(), Error::Kind::Context);
    EXPECT_EQ(twice.to_string(),
              "outer: reading /r/_FUNCTNS.INF: parse error: _FUNCTNS.INF: file size 417 is not a multiple "
              "of 416 (record size)");
    EXPECT_EQ(Error::context("", Error::io(ENOENT)).to_string(),
              ": I/O error: No such file or directory (os error 2)");
}

TEST(ErrorDisplay, MovedErrorKeepsItsChain) {
    Error a = Error::context("listing /d", Error::io(ENOTDIR));
    Error b = std::move(a);
    EXPECT_EQ(b.to_string(), "listing /d: I/O error: " + os_text(ENOTDIR) + " (os error 20)");
    EXPECT_EQ(b.inner()->os_errno(), ENOTDIR);
    EXPECT_EQ(b.os_errno(), 0);
}

TEST(FileReads, ReadRangeReturnsExactlyTheRequestedBytes) {
    TempDir dir;
    const auto file = dir.write("abc.bin", std::string("0123456789"));
    auto r = fs::read_range(file, 3, 4);
    ASSERT_TRUE(r);
    EXPECT_EQ(std::string(r->begin(), r->end()), "3456");
    auto to_end = fs::read_range(file, 6, 4);
    ASSERT_TRUE(to_end);
    EXPECT_EQ(std::string(to_end->begin(), to_end->end()), "6789");
    for (const std::uint64_t offset : {0, 10, 11, 1000}) {
        auto empty = fs::read_range(file, offset, 0);
        ASSERT_TRUE(empty) << offset;
        EXPECT_TRUE(empty->empty());
    }
    EXPECT_EQ(fs::read_range(dir / "none", 0, 0).error().os_errno(), ENOENT);
}

TEST(FileReads, HugeRangeOnSmallFileIsShortReadWithoutAllocating) {
    TempDir dir;
    const auto file = dir.write("small.bin", std::string(16, 'x'));
    // A length no machine could allocate must fail like any other range past
    // the end, not abort.
    auto r = fs::read_range(file, 8, std::uint64_t{1} << 46);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().to_string(), "I/O error: failed to fill whole buffer");
    auto wrap = fs::read_range(file, ~std::uint64_t{0} - 2, 8);
    ASSERT_FALSE(wrap);
    EXPECT_EQ(wrap.error().kind(), Error::Kind::Io);
}

TEST(FileReads, WholeFileAndSizeAndDirectoryTest) {
    TempDir dir;
    const std::string content(70000, 'k');  // more than one read chunk
    const auto file = dir.write("big.bin", content);
    auto r = fs::read_file(file);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->size(), content.size());
    auto empty = fs::read_file(dir.write("empty.bin", std::string()));
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->empty());
    EXPECT_EQ(fs::file_size(file).value(), 70000u);
    EXPECT_EQ(fs::file_size(dir / "none").error().os_errno(), ENOENT);
    EXPECT_TRUE(fs::is_directory(dir.path()));
    EXPECT_FALSE(fs::is_directory(file));
    EXPECT_FALSE(fs::is_directory(dir / "none"));
    auto of_dir = fs::read_file(dir.path());
    ASSERT_FALSE(of_dir);
    EXPECT_EQ(of_dir.error().os_errno(), EISDIR);
}

}  // namespace
}  // namespace kestrune
