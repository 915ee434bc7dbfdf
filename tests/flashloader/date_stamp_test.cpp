// The date stamp: the .X0 file's modification time in local time.
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
