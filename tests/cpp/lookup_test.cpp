// Case-tolerant lookup of run-directory files, on real directories.
#include <cerrno>
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fs.h"
#include "reader/lookup.h"
#include "support/capture.h"
#include "support/temp_dir.h"

namespace kestrune::reader {
namespace {

using log::Level;
using testing::LogCapture;
using testing::TempDir;
namespace stdfs = std::filesystem;

// The directory's entry names in the order the OS lists them.
std::vector<std::string> listing_order(const stdfs::path& dir) {
    std::vector<std::string> names;
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return names;
    while (const dirent* e = ::readdir(d)) names.emplace_back(e->d_name);
    ::closedir(d);
    return names;
}

std::size_t position(const std::vector<std::string>& names, const std::string& name) {
    return static_cast<std::size_t>(std::find(names.begin(), names.end(), name) - names.begin());
}

std::string dir_text(const TempDir& dir) { return dir.path().string(); }

TEST(FindFile, ExactNameIsFoundWithoutLogging) {
    TempDir dir;
    dir.write("_FUNCTNS.INF", "x");
    dir.write("_HEADER.TXT", "x");
    LogCapture cap(Level::Trace);
    auto r = find_file(dir.path(), "_FUNCTNS.INF");
    ASSERT_TRUE(r) << r.error().to_string();
    ASSERT_TRUE(*r);
    EXPECT_EQ(**r, dir / "_FUNCTNS.INF");
    EXPECT_TRUE(cap.records().empty());
}

TEST(FindFile, DifferentlyCasedNameIsFoundAndTraced) {
    TempDir dir;
    dir.write("_functns.inf", "x");
    LogCapture cap(Level::Trace);
    auto r = find_file(dir.path(), "_FUNCTNS.INF");
    ASSERT_TRUE(r);
    ASSERT_TRUE(*r);
    EXPECT_EQ(**r, dir / "_functns.inf");  // the entry's own spelling
    const auto records = cap.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].level, Level::Trace);
    EXPECT_EQ(records[0].target, "kestrune::reader");
    EXPECT_EQ(records[0].message, "_FUNCTNS.INF: using differently cased " + dir_text(dir) + "/_functns.inf");
    EXPECT_EQ(records[0].file, "src/reader/lookup.cpp");
    EXPECT_GT(records[0].line, 0u);

    // At Debug the Trace record is not made.
    LogCapture debug_only(Level::Debug);
    ASSERT_TRUE(find_file(dir.path(), "_FUNCTNS.INF"));
    EXPECT_TRUE(debug_only.records().empty());
}

TEST(FindFile, MixedCaseRequestMatchesEitherSpelling) {
    TempDir dir;
    dir.write("_FUNC001.DAT", "x");
    auto r = find_file(dir.path(), "_Func001.Dat");
    ASSERT_TRUE(r && *r);
    EXPECT_EQ(**r, dir / "_FUNC001.DAT");
}

TEST(FindFile, SinglePrefixedFileIsUsedAndLoggedAtDebug) {
    TempDir dir;
    dir.write("RUN1_FUNCTNS.INF", "x");
    dir.write("unrelated.txt", "x");
    LogCapture cap(Level::Trace);
    auto r = find_file(dir.path(), "_FUNCTNS.INF");
    ASSERT_TRUE(r && *r);
    EXPECT_EQ(**r, dir / "RUN1_FUNCTNS.INF");
    const auto records = cap.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].level, Level::Debug);
    EXPECT_EQ(records[0].target, "kestrune::reader");
    EXPECT_EQ(records[0].message, "_FUNCTNS.INF: using prefixed " + dir_text(dir) + "/RUN1_FUNCTNS.INF");
    EXPECT_EQ(records[0].file, "src/reader/lookup.cpp");
}

TEST(FindFile, PrefixedMatchIgnoresCaseToo) {
    TempDir dir;
    dir.write("run1_functns.inf", "x");
    LogCapture cap(Level::Trace);
    auto r = find_file(dir.path(), "_FUNCTNS.INF");
    ASSERT_TRUE(r && *r);
    EXPECT_EQ(**r, dir / "run1_functns.inf");
    EXPECT_EQ(cap.messages(Level::Debug),
              std::vector<std::string>{"_FUNCTNS.INF: using prefixed " + dir_text(dir) + "/run1_functns.inf"});
    EXPECT_TRUE(cap.messages(Level::Trace).empty());
}

TEST(FindFile, ExactMatchWinsOverOnePrefixedMatchWithoutDebugRecord) {
    TempDir dir;
    dir.write("A_FUNC001.DAT", "x");
    dir.write("_FUNC001.DAT", "x");
    LogCapture cap(Level::Trace);
    auto r = find_file(dir.path(), "_FUNC001.DAT");
    ASSERT_TRUE(r && *r);
    EXPECT_EQ(**r, dir / "_FUNC001.DAT");
    EXPECT_TRUE(cap.records().empty());
}

TEST(FindFile, TwoPrefixedMatchesAreAnError) {
    TempDir dir;
    dir.write("A_FUNC001.DAT", "x");
    dir.write("B_FUNC001.DAT", "x");
    LogCapture cap(Level::Trace);
    auto r = find_file(dir.path(), "_FUNC001.DAT");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), Error::Kind::Parse);
    EXPECT_EQ(r.error().to_string(), "parse error: multiple files match _FUNC001.DAT in " + dir_text(dir));
    EXPECT_TRUE(cap.records().empty());
    auto req = required_file(dir.path(), "_FUNC001.DAT");
    ASSERT_FALSE(req);
    EXPECT_EQ(req.error().to_string(), r.error().to_string());
}

TEST(FindFile, ExactMatchAgainstTwoPrefixedDependsOnListingOrder) {
    // Directory order is the file system's own (hashed on ext4), so several
    // name sets in both creation orders are tried, each judged against the
    // order readdir reports.
    const std::pair<std::string, std::string> prefixes[] = {
        {"A", "B"}, {"x", "y"}, {"run1", "run2"}, {"old", "new"}, {"P", "Q"}, {"01", "02"},
    };
    for (const auto& [p1, p2] : prefixes) {
        for (const bool exact_first : {true, false}) {
            TempDir dir;
            const std::string exact = "_FUNC001.DAT", a = p1 + exact, b = p2 + exact;
            if (exact_first) dir.write(exact, "x");
            dir.write(a, "x");
            dir.write(b, "x");
            if (!exact_first) dir.write(exact, "x");
            const auto order = listing_order(dir.path());
            const std::size_t second_prefixed = std::max(position(order, a), position(order, b));
            auto r = find_file(dir.path(), exact);
            if (position(order, exact) < second_prefixed) {
                ASSERT_TRUE(r) << r.error().to_string();
                ASSERT_TRUE(*r);
                EXPECT_EQ(**r, dir / exact);
            } else {
                ASSERT_FALSE(r);
                EXPECT_EQ(r.error().to_string(),
                          "parse error: multiple files match _FUNC001.DAT in " + dir_text(dir));
            }
        }
    }
}

TEST(FindFile, FirstOfTwoDifferentlyCasedExactMatchesInListingWins) {
    TempDir dir;
    dir.write("_func001.dat", "x");
    dir.write("_FUNC001.dat", "x");
    const auto order = listing_order(dir.path());
    const std::string first =
        position(order, "_func001.dat") < position(order, "_FUNC001.dat") ? "_func001.dat" : "_FUNC001.dat";
    auto r = find_file(dir.path(), "_FUNC001.DAT");
    ASSERT_TRUE(r && *r);
    EXPECT_EQ(**r, dir / first);
}

TEST(FindFile, SymbolicLinksAndDirectoriesNeverMatch) {
    TempDir dir;
    const auto target = dir.write("target.bin", "x");
    stdfs::create_symlink(target, dir / "_FUNC001.DAT");
    stdfs::create_symlink(target, dir / "L_FUNC001.DAT");
    stdfs::create_directory(dir / "_FUNC001.IDX");
    stdfs::create_directory(dir / "D_FUNC001.IDX");
    auto dat = find_file(dir.path(), "_FUNC001.DAT");
    ASSERT_TRUE(dat);
    EXPECT_FALSE(*dat);
    auto idx = find_file(dir.path(), "_FUNC001.IDX");
    ASSERT_TRUE(idx);
    EXPECT_FALSE(*idx);

    // A symbolic link with the exact name does not hide a prefixed regular file.
    dir.write("R_FUNC001.DAT", "x");
    auto prefixed = find_file(dir.path(), "_FUNC001.DAT");
    ASSERT_TRUE(prefixed && *prefixed);
    EXPECT_EQ(**prefixed, dir / "R_FUNC001.DAT");
}

TEST(FindFile, TrailingCharactersAfterTheNameNeverMatch) {
    TempDir dir;
    dir.write("_FUNC001.DAT.bak", "x");
    dir.write("_FUNC001.DAT~", "x");
    dir.write("X_FUNC001.DAT.orig", "x");
    dir.write("FUNC001.DAT", "x");  // shorter than the name
    auto r = find_file(dir.path(), "_FUNC001.DAT");
    ASSERT_TRUE(r);
    EXPECT_FALSE(*r);
}

TEST(FindFile, CaseFoldingIsAsciiOnly) {
    TempDir dir;
    // U+00E4 in the file, U+00C4 asked for: no match despite the ASCII part.
    dir.write("_func001.d\xC3\xA4t", "x");
    auto r = find_file(dir.path(), "_FUNC001.D\xC3\x84T");
    ASSERT_TRUE(r);
    EXPECT_FALSE(*r);
    // The same non-ASCII letter with differing ASCII case does match.
    auto same = find_file(dir.path(), "_FUNC001.D\xC3\xA4T");
    ASSERT_TRUE(same && *same);
    EXPECT_EQ(**same, dir / "_func001.d\xC3\xA4t");
}

TEST(FindFile, UndecodableEntryNameIsReturnedByItsOwnBytes) {
    TempDir dir;
    const std::string own = "\xff\xfe_FUNC002.IDX";
    dir.write(own, "payload");
    LogCapture cap(Level::Trace);
    auto r = find_file(dir.path(), "_FUNC002.IDX");
    ASSERT_TRUE(r && *r);
    EXPECT_EQ((*r)->native(), (dir / own).native());
    EXPECT_TRUE(fs::read_file(**r));  // the path opens the real file
    EXPECT_EQ(cap.messages(Level::Debug),
              std::vector<std::string>{"_FUNC002.IDX: using prefixed " + dir_text(dir) +
                                       "/\xEF\xBF\xBD\xEF\xBF\xBD_FUNC002.IDX"});
}

TEST(FindFile, NothingFoundIsEmptyResultAndRequiredFileNamesIt) {
    TempDir dir;
    dir.write("_FUNC001.IDX", "x");
    auto r = find_file(dir.path(), "_FUNC001.DAT");
    ASSERT_TRUE(r);
    EXPECT_FALSE(*r);
    auto req = required_file(dir.path(), "_HEADER.TXT");
    ASSERT_FALSE(req);
    EXPECT_EQ(req.error().kind(), Error::Kind::Parse);
    EXPECT_EQ(req.error().to_string(), "parse error: required file _HEADER.TXT missing in " + dir_text(dir));
    auto empty_dir = TempDir();
    EXPECT_FALSE(find_file(empty_dir.path(), "_HEADER.TXT").value());

    dir.write("_header.txt", "x");
    auto found = required_file(dir.path(), "_HEADER.TXT");
    ASSERT_TRUE(found);
    EXPECT_EQ(*found, dir / "_header.txt");
}

TEST(FindFile, UnlistableDirectoryFailsWithListingContext) {
    TempDir dir;
    const auto missing = dir / "gone.raw";
    auto r = find_file(missing, "_HEADER.TXT");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), Error::Kind::Context);
    EXPECT_EQ(r.error().to_string(),
              "listing " + missing.string() + ": I/O error: No such file or directory (os error 2)");
    auto req = required_file(missing, "_HEADER.TXT");
    ASSERT_FALSE(req);
    EXPECT_EQ(req.error().to_string(), r.error().to_string());

    const auto file = dir.write("plain.raw", "x");
    auto not_dir = find_file(file, "_HEADER.TXT");
    ASSERT_FALSE(not_dir);
    EXPECT_EQ(not_dir.error().to_string(),
              "listing " + file.string() + ": I/O error: Not a directory (os error 20)");
}

TEST(FindFile, SilentModeLogsNothingAndReturnsBareIoError) {
    TempDir dir;
    dir.write("_functns.inf", "x");
    dir.write("RUN1_CHROMS.INF", "x");
    LogCapture cap(Level::Trace);
    auto cased = find_file(dir.path(), "_FUNCTNS.INF", LookupMode::Silent);
    ASSERT_TRUE(cased && *cased);
    EXPECT_EQ(**cased, dir / "_functns.inf");
    auto prefixed = find_file(dir.path(), "_CHROMS.INF", LookupMode::Silent);
    ASSERT_TRUE(prefixed && *prefixed);
    EXPECT_EQ(**prefixed, dir / "RUN1_CHROMS.INF");
    EXPECT_TRUE(cap.records().empty());

    auto missing = find_file(dir / "gone.raw", "_CHROMS.INF", LookupMode::Silent);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().kind(), Error::Kind::Io);
    EXPECT_EQ(missing.error().os_errno(), ENOENT);
    EXPECT_EQ(missing.error().to_string(), "I/O error: No such file or directory (os error 2)");
}

TEST(FunctionFileName, PadsToAtLeastThreeDigits) {
    EXPECT_EQ(function_file_name(1, ".IDX"), "_FUNC001.IDX");
    EXPECT_EQ(function_file_name(0, ".DAT"), "_FUNC000.DAT");
    EXPECT_EQ(function_file_name(42, ".STS"), "_FUNC042.STS");
    EXPECT_EQ(function_file_name(999, ".DAT"), "_FUNC999.DAT");
    EXPECT_EQ(function_file_name(1000, ".IDX"), "_FUNC1000.IDX");
    EXPECT_EQ(function_file_name(4294967296ULL, ".IDX"), "_FUNC4294967296.IDX");
}

}  // namespace
}  // namespace kestrune::reader
