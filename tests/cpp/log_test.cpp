// The logging facade: level gate before formatting, record contents, the
// one process-wide sink.
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "log.h"
#include "support/capture.h"

namespace {

// Counts how often fmt formats it, to see whether a disabled call site
// formats anything.
struct Counted {
    static inline int formatted = 0;
};

}  // namespace

template <>
struct fmt::formatter<Counted> : fmt::formatter<std::string_view> {
    auto format(const Counted&, format_context& ctx) const {
        ++Counted::formatted;
        return fmt::formatter<std::string_view>::format("counted", ctx);
    }
};

namespace kestrune {
namespace {

using log::Level;
using testing::LogCapture;

constexpr std::string_view kTarget = "kestrune::raw::index";

TEST(LogRecords, CarryLevelTargetMessageFileAndLine) {
    LogCapture cap(Level::Trace);
    const std::uint32_t line = __LINE__ + 1;
    log_warn(kTarget, "function {} skipped: {}", 3, "no data");
    const auto records = cap.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].level, Level::Warn);
    EXPECT_EQ(records[0].target, "kestrune::raw::index");
    EXPECT_EQ(records[0].message, "function 3 skipped: no data");
    EXPECT_EQ(records[0].file, "tests/cpp/log_test.cpp");
    EXPECT_EQ(records[0].line, line);
}

TEST(LogRecords, EachMacroEmitsItsOwnLevel) {
    LogCapture cap(Level::Trace);
    log_error(kTarget, "e");
    log_warn(kTarget, "w");
    log_info(kTarget, "i");
    log_debug(kTarget, "d");
    log_trace(kTarget, "t");
    const auto records = cap.records();
    ASSERT_EQ(records.size(), 5u);
    const Level want[] = {Level::Error, Level::Warn, Level::Info, Level::Debug, Level::Trace};
    for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(records[i].level, want[i]) << i;
    EXPECT_EQ(cap.messages(Level::Debug), std::vector<std::string>{"d"});
}

TEST(LogLevels, MaximumLevelPassesItselfAndLessVerboseLevels) {
    LogCapture cap(Level::Info);
    log_error(kTarget, "e");
    log_warn(kTarget, "w");
    log_info(kTarget, "i");
    log_debug(kTarget, "d");
    log_trace(kTarget, "t");
    EXPECT_EQ(cap.messages(), (std::vector<std::string>{"e", "w", "i"}));

    EXPECT_TRUE(log::enabled(Level::Info));
    EXPECT_FALSE(log::enabled(Level::Debug));
    log::set_max_level(Level::Trace);
    EXPECT_TRUE(log::enabled(Level::Trace));
    EXPECT_FALSE(log::enabled(Level::Off));  // Off is never a record's level
    log::set_max_level(Level::Off);
    EXPECT_FALSE(log::enabled(Level::Error));
    EXPECT_EQ(log::max_level(), Level::Off);
}

TEST(LogLevels, DisabledCallSiteFormatsAndEvaluatesNothing) {
    LogCapture cap(Level::Warn);
    Counted::formatted = 0;
    int evaluated = 0;
    auto side_effect = [&] { return ++evaluated; };
    log_debug(kTarget, "{} {}", Counted{}, side_effect());
    log_trace(kTarget, "{}", Counted{});
    EXPECT_EQ(Counted::formatted, 0);
    EXPECT_EQ(evaluated, 0);
    EXPECT_TRUE(cap.records().empty());

    log_warn(kTarget, "{} {}", Counted{}, side_effect());
    EXPECT_EQ(Counted::formatted, 1);
    EXPECT_EQ(evaluated, 1);
    EXPECT_EQ(cap.messages(), std::vector<std::string>{"counted 1"});
}

class NullSink final : public log::Sink {
public:
    void write(const log::Record&) noexcept override { ++count; }
    int count = 0;
};

[[noreturn]] void install_twice_in_fresh_process() {
    static NullSink first;
    static NullSink second;
    if (log::sink() != nullptr) std::_Exit(3);
    log::set_max_level(Level::Error);
    log_error(kTarget, "no sink yet");  // dropped, and no crash
    if (!log::set_sink(&first)) std::_Exit(4);
    if (log::set_sink(&second)) std::_Exit(5);
    if (log::sink() != &first) std::_Exit(6);
    log_error(kTarget, "x");
    if (first.count != 1 || second.count != 0) std::_Exit(7);
    std::_Exit(0);
}

TEST(LogSink, OnlyTheFirstInstallationTakesEffect) {
    // Run in a fresh process so that no sink of other tests is installed yet.
    const std::string style = GTEST_FLAG_GET(death_test_style);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(install_twice_in_fresh_process(), ::testing::ExitedWithCode(0), "");
    GTEST_FLAG_SET(death_test_style, style);
}

TEST(LogSink, LaterInstallationLeavesTheCaptureSinkInPlace) {
    LogCapture cap(Level::Error);
    log::Sink* installed = log::sink();
    ASSERT_NE(installed, nullptr);
    static NullSink other;
    EXPECT_FALSE(log::set_sink(&other));
    EXPECT_EQ(log::sink(), installed);
    log_error(kTarget, "still captured");
    EXPECT_EQ(cap.messages(), std::vector<std::string>{"still captured"});
    EXPECT_EQ(other.count, 0);
}

}  // namespace
}  // namespace kestrune
