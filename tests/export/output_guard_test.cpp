#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "output/output_guard.h"

namespace kestrune {
using namespace output;

namespace {

namespace fs = std::filesystem;

class OutputGuard : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kestrune-guard-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = pattern;
        fs::create_directories(root_ / "runs" / "a.raw");
        fs::create_directories(root_ / "out");
        std::ofstream(root_ / "runs" / "a.raw" / "_FUNC001.DAT") << "x";
        fs::create_directory_symlink(root_ / "runs" / "a.raw", root_ / "out" / "link-to-run");
        fs::create_symlink(root_ / "runs" / "a.raw" / "_FUNC001.DAT", root_ / "out" / "link-to-file");
        fs::create_symlink(root_ / "out" / "elsewhere.html", root_ / "runs" / "a.raw" / "link-out");
        old_cwd_ = fs::current_path();
        fs::current_path(root_ / "out");
    }
    void TearDown() override {
        fs::current_path(old_cwd_);
        fs::remove_all(root_);
    }
    fs::path root_, old_cwd_;
};

TEST_F(OutputGuard, RefusesEveryPathThatLandsInTheRun) {
    const fs::path run = root_ / "runs" / "a.raw";
    struct Case {
        fs::path output;
        bool refused;
    };
    const Case cases[] = {
        {run / "report.html", true},
        {run / "_FUNC001.DAT", true},
        {run, true},
        {run / "sub" / "deeper.html", true},
        {root_ / "out" / "link-to-run" / "r.html", true},   // through a directory link
        {root_ / "out" / "link-to-file", true},              // a link onto a run file
        {run / "link-out", true},                            // a link inside the run, pointing out
        {"link-to-run/r.html", true},                        // relative
        {"../runs/a.raw/r.html", true},
        {"../runs/x/../a.raw/r.html", true},
        {"link-to-run/../report.html", false},               // the run's parent, through the link
        {"report.html", false},
        {root_ / "runs" / "a.raw.html", false},              // a sibling sharing the prefix
        {root_ / "runs" / "b.raw" / "r.html", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(output_in_run(c.output, run), c.refused) << c.output;
        EXPECT_EQ(refuse_output_in_run(c.output, run).has_value(), !c.refused) << c.output;
    }
    // The run named through a link or relatively is the same run.
    EXPECT_TRUE(output_in_run(run / "r.html", root_ / "out" / "link-to-run"));
    EXPECT_TRUE(output_in_run(run / "r.html", "../runs/a.raw"));
}

}  // namespace
}  // namespace kestrune
