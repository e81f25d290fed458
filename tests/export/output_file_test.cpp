// The output file's failure paths, reached by replacing its system calls:
// every failure is reported with the system's reason, leaves the old file
// as it was and no other file behind.
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "output/output_file.h"
#include "support/temp_dir.h"

namespace kestrune::output {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

std::string read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::size_t entries(const fs::path& dir) {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir)) ++n;
    return n;
}

// The system calls with one of them failing with `err`; the others real.
struct Fault {
    const char* call;
    int err;
};
thread_local Fault g_fault{"", 0};
SystemCalls g_real = system_calls();

template <class F, class... A>
auto failing(const char* name, F real, A... a) {
    if (std::strcmp(g_fault.call, name) == 0) {
        errno = g_fault.err;
        return decltype(real(a...))(-1);
    }
    return real(a...);
}

const SystemCalls kFaulty{
    [](const char* p, int f, mode_t m) { return failing("open", g_real.open, p, f, m); },
    [](char* p) { return failing("mkstemp", g_real.mkstemp, p); },
    [](int fd, const void* d, std::size_t n) { return failing("write", g_real.write, fd, d, n); },
    [](int fd) { return failing("fsync", g_real.fsync, fd); },
    [](int fd) {
        // The descriptor is closed whatever close answers.
        const int r = g_real.close(fd);
        return std::strcmp(g_fault.call, "close") == 0 ? (errno = g_fault.err, -1) : r;
    },
    [](const char* a, const char* b) { return failing("rename", g_real.rename, a, b); },
    [](int d1, const char* a, int d2, const char* b, int f) { return failing("linkat", g_real.linkat, d1, a, d2, b, f); },
    [](const char* p) { return failing("unlink", g_real.unlink, p); },
    [](int fd, mode_t m) { return failing("fchmod", g_real.fchmod, fd, m); },
};

class OutputFileFaults : public ::testing::Test {
protected:
    void SetUp() override { g_real = replace_system_calls(kFaulty); }
    void TearDown() override {
        replace_system_calls(g_real);
        g_fault = {"", 0};
    }
};

TEST_F(OutputFileFaults, EveryFailedCallIsReportedAndLeavesTheOldFileAndNothingElse) {
    struct Case {
        Fault fault;
        const char* reason;  // in the error's text
        bool fails_at_create;
    };
    const Case cases[] = {
        {{"write", ENOSPC}, "No space left on device", false},
        {{"fsync", EIO}, "Input/output error", false},
        {{"linkat", EPERM}, "Operation not permitted", false},
        {{"rename", EXDEV}, "Invalid cross-device link", false},
        {{"close", EIO}, "Input/output error", false},
        {{"open", EACCES}, "Permission denied", true},
    };
    for (const Case& c : cases) {
        TempDir dir;
        const fs::path target = dir.write("out.mzML", "old");
        g_fault = c.fault;
        auto file = OutputFile::create(target);
        if (c.fails_at_create) {
            ASSERT_FALSE(file) << c.fault.call;
            EXPECT_NE(file.error().to_string().find(c.reason), std::string::npos) << file.error().to_string();
        } else {
            ASSERT_TRUE(file) << c.fault.call << ": " << file.error().to_string();
            file->write("new");
            auto done = file->commit();
            ASSERT_FALSE(done) << c.fault.call;
            EXPECT_NE(done.error().to_string().find(c.reason), std::string::npos) << done.error().to_string();
            EXPECT_NE(done.error().to_string().find("out.mzML"), std::string::npos);
        }
        g_fault = {"", 0};
        EXPECT_EQ(read(target), "old") << c.fault.call;
        EXPECT_EQ(entries(dir.path()), 1u) << c.fault.call;
    }
}

TEST_F(OutputFileFaults, WithoutUnnamedFilesAHiddenNameIsUsedAndRemovedOnFailure) {
    for (const Fault fault : {Fault{"", 0}, Fault{"write", ENOSPC}, Fault{"fsync", EIO}, Fault{"rename", EIO}}) {
        TempDir dir;
        const fs::path target = dir / "out.mzML";
        g_fault = {"open", EOPNOTSUPP};  // no unnamed files here (mkstemp opens by itself)
        auto file = OutputFile::create(target);
        ASSERT_TRUE(file) << fault.call;
        EXPECT_EQ(file->mode(), OutputFile::Mode::Temporary);
        g_fault = fault;
        file->write("data");
        const bool ok = file->commit().has_value();
        g_fault = {"", 0};
        EXPECT_EQ(ok, fault.err == 0) << fault.call;
        EXPECT_EQ(fs::exists(target), ok) << fault.call;
        EXPECT_EQ(entries(dir.path()), ok ? 1u : 0u) << fault.call;
    }
}

TEST(OutputFile, ADeviceIsWrittenAsItIsAndALinkLeadsToItsTarget) {
    // /dev/full: written directly, so its error shows, and never replaced.
    auto full = OutputFile::create("/dev/full");
    ASSERT_TRUE(full);
    EXPECT_EQ(full->mode(), OutputFile::Mode::Direct);
    full->write(std::string(2 << 20, 'x'));
    auto done = full->commit();
    ASSERT_FALSE(done);
    EXPECT_NE(done.error().to_string().find("No space left on device"), std::string::npos);
    struct stat st {};
    ASSERT_EQ(::stat("/dev/full", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));

    TempDir dir;
    fs::create_directory(dir / "data");
    const fs::path real = dir.write("data/real.mzML", "old");
    fs::create_symlink("data/real.mzML", dir / "link.mzML");
    auto file = OutputFile::create(dir / "link.mzML");
    ASSERT_TRUE(file);
    file->write("new");
    ASSERT_TRUE(file->commit());
    EXPECT_TRUE(fs::is_symlink(dir / "link.mzML"));
    EXPECT_EQ(read(real), "new");
}

TEST(OutputFile, AnUncommittedFileLeavesNoName) {
    TempDir dir;
    {
        auto file = OutputFile::create(dir / "out.mzML");
        ASSERT_TRUE(file);
        EXPECT_EQ(file->mode(), OutputFile::Mode::Unnamed);
        file->write("partial");
        EXPECT_EQ(entries(dir.path()), 0u);
    }
    EXPECT_EQ(entries(dir.path()), 0u);
}

}  // namespace
}  // namespace kestrune::output
