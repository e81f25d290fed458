#include <gtest/gtest.h>

#include "export/plan.h"
#include "text.h"

namespace kestrune {
using namespace exporting;
using namespace text;

namespace {

TEST(XmlId, KeepsNameCharactersAndStartsWithALetterOrUnderscore) {
    EXPECT_EQ(xml_id("sample.raw"), "sample.raw");
    EXPECT_EQ(xml_id("2021 run#1.raw"), "_2021_run_1.raw");
    EXPECT_EQ(xml_id(""), "_");
    EXPECT_EQ(xml_id("\xC3\xA9t\xC3\xA9"), "__t__");
}

TEST(Timestamp, DayMonthYearAndTimeBecomeXmlDateTime) {
    EXPECT_EQ(timestamp("14-Jan-2021", "16:20:52"), "2021-01-14T16:20:52");
    EXPECT_EQ(timestamp("3-dec-1999", "00:00:00"), "1999-12-03T00:00:00");
    EXPECT_FALSE(timestamp("2021-01-14", "16:20:52"));
    EXPECT_FALSE(timestamp("14-Foo-2021", "16:20:52"));
    EXPECT_FALSE(timestamp("32-Jan-2021", "16:20:52"));
    EXPECT_FALSE(timestamp("14-Jan-2021", "4:20 PM"));
    EXPECT_FALSE(timestamp("14-Jan-2021", "25:00:00"));
}

TEST(FileUri, PercentEncodesEverythingButUnreservedAndSlash) {
    EXPECT_EQ(file_uri("/data/runs"), "file:///data/runs");
    EXPECT_EQ(file_uri("/data/my runs/a&b%"), "file:///data/my%20runs/a%26b%25");
    EXPECT_EQ(file_uri("/d/\xC3\xA9"), "file:///d/%C3%A9");
}

TEST(ExportNames, NativeIdCountsScansFromOne) {
    EXPECT_EQ(native_id(1, 0), "function=1 process=0 scan=1");
    EXPECT_EQ(native_id(12, 41), "function=12 process=0 scan=42");
}

}  // namespace
}  // namespace kestrune
