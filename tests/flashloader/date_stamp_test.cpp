// The date stamp: the time text parser and the .X0 file's modification time.
#include "flashloader/date_stamp.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include "fake/fake_platform.h"
#include "flash_test_support.h"

namespace {

void ExpectStamp(const DateStamp& stamp, int day, int month, int year, int hour, int minute,
                 int second) {
    EXPECT_EQ(stamp.day, day);
    EXPECT_EQ(stamp.month, month);
    EXPECT_EQ(stamp.year, year);
    EXPECT_EQ(stamp.hour, hour);
    EXPECT_EQ(stamp.minute, minute);
    EXPECT_EQ(stamp.second, second);
}

TEST(ParseFileTimeText, TakesFieldsAtTheirPositions) {
    DateStamp stamp;
    ASSERT_EQ(ParseFileTimeText("Mon Mar  5 14:07:09 2001\n", &stamp), nullptr);
    ExpectStamp(stamp, 5, 3, 1, 14, 7, 9);
    ASSERT_EQ(ParseFileTimeText("Sat Jan  1 00:00:00 2000\n", &stamp), nullptr);
    ExpectStamp(stamp, 1, 1, 0, 0, 0, 0);
    ASSERT_EQ(ParseFileTimeText("Fri Dec 31 23:59:59 1999\n", &stamp), nullptr);
    ExpectStamp(stamp, 31, 12, 99, 23, 59, 59);
}

TEST(ParseFileTimeText, EveryMonthName) {
    const char* const names[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    for (int i = 0; i < 12; ++i) {
        std::string text = std::string("Thu ") + names[i] + " 10 10:10:10 2024\n";
        DateStamp stamp;
        ASSERT_EQ(ParseFileTimeText(text.c_str(), &stamp), nullptr) << text;
        EXPECT_EQ(stamp.month, i + 1) << text;
    }
}

// "%2d" skips leading blanks and takes one digit when the second is no digit.
TEST(ParseFileTimeText, FieldsConvertLikeTwoDigitScan) {
    DateStamp stamp;
    ASSERT_EQ(ParseFileTimeText("Mon Mar  5  4: 7:9x 2001\n", &stamp), nullptr);
    ExpectStamp(stamp, 5, 3, 1, 4, 7, 9);
}

class TakeDateStampTest : public ::testing::Test {
  protected:
    void SetUp() override { FakeReset(); }
    void SetZone(const char* zone) { zone_.Set(zone); }
    void SetModified(const std::string& name, time_t when) {
        struct timeval times[2] = {{when, 0}, {when, 0}};
        ASSERT_EQ(utimes(name.c_str(), times), 0);
    }

    TimeZoneScope zone_;
    ScratchFolder folder_;
};

TEST_F(TakeDateStampTest, LastModificationInLocalTime) {
    SetZone("UTC");
    WriteTextFile("AB.X0", "x");
    SetModified("AB.X0", kWorkedExampleTime);
    DateStamp stamp;
    std::string output;
    EXPECT_EQ(FakeRunCapturing([&] { TakeDateStamp("AB.X0", &stamp); }, &output), -1) << output;
    ExpectStamp(stamp, 5, 3, 1, 14, 7, 9);

    SetZone("TST-1");  // one hour east of UTC
    EXPECT_EQ(FakeRunCapturing([&] { TakeDateStamp("AB.X0", &stamp); }, &output), -1) << output;
    ExpectStamp(stamp, 5, 3, 1, 15, 7, 9);
    EXPECT_EQ(output, "");
}

TEST_F(TakeDateStampTest, MissingFileEndsWithCodeTwo) {
    DateStamp stamp;
    std::string output;
    EXPECT_EQ(FakeRunCapturing([&] { TakeDateStamp("NONE.X0", &stamp); }, &output), 2);
    EXPECT_EQ(output, "\nCan't Open File NONE.X0\n");
}

}  // namespace
