// Timing of the board's output on its way to the host: the adapter's buffer, the lateness
// statistics and the wake-up margin, on a virtual clock.
#include "targetsim/line_timing.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<TimedByte> Release(AdapterBuffer* adapter, uint64_t nowUs, size_t room = 1000) {
    std::vector<TimedByte> out;
    AdapterRelease(adapter, nowUs, room, &out);
    return out;
}

TEST(Adapter, WithoutLatencyEveryByteIsDueOnArrival) {
    AdapterBuffer adapter;
    EXPECT_EQ(AdapterDueUs(adapter), UINT64_MAX);
    AdapterAdd(&adapter, 0x11, 100);
    AdapterAdd(&adapter, 0x22, 187);
    EXPECT_EQ(AdapterDueUs(adapter), 100u);
    EXPECT_TRUE(Release(&adapter, 99).empty());
    // Looked at late: each byte still goes on its own, due at its own arrival.
    const std::vector<TimedByte> first = Release(&adapter, 200);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].byte, 0x11);
    EXPECT_EQ(first[0].atUs, 100u);
    const std::vector<TimedByte> second = Release(&adapter, 200);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].atUs, 187u);
}

TEST(Adapter, HoldsUntilTheTimerOrAFullPacket) {
    AdapterBuffer adapter;
    adapter.latencyUs = 16000;
    // A few echoes: held until the timer runs out, counted from the first.
    for (uint64_t i = 0; i < 3; ++i) {
        AdapterAdd(&adapter, static_cast<uint8_t>(i), 1000 + 87 * i);
    }
    EXPECT_EQ(AdapterDueUs(adapter), 17000u);
    EXPECT_TRUE(Release(&adapter, 16999).empty());
    AdapterAdd(&adapter, 0x33, 17001);                            // came after the timer ran out
    const std::vector<TimedByte> few = Release(&adapter, 17100);  // a late look
    ASSERT_EQ(few.size(), 3u);
    EXPECT_EQ(few[2].atUs, 17000u);
    EXPECT_EQ(AdapterDueUs(adapter), 17001u + 16000);
    EXPECT_EQ(Release(&adapter, 33001).size(), 1u);

    // A burst: the 62nd byte sends the packet at once; the rest wait for a new timer.
    for (uint64_t i = 0; i < 70; ++i) {
        AdapterAdd(&adapter, static_cast<uint8_t>(i), 20000 + 10 * i);
    }
    EXPECT_EQ(AdapterDueUs(adapter), 20610u);
    EXPECT_EQ(Release(&adapter, 20610, 60).size(), 60u);  // the host took only 60
    EXPECT_EQ(Release(&adapter, 20611).size(), 2u);
    EXPECT_EQ(AdapterDueUs(adapter), 20620u + 16000);
    AdapterClear(&adapter);
    EXPECT_EQ(AdapterDueUs(adapter), UINT64_MAX);
}

TEST(Adapter, PacketsOfABacklogFollowEachOther) {
    AdapterBuffer adapter;
    adapter.latencyUs = 1000;
    for (int i = 0; i < 130; ++i) {
        AdapterAdd(&adapter, 0x55, 500);  // all arrived at once (no pacing)
    }
    EXPECT_EQ(Release(&adapter, 500).size(), kAdapterPacketBytes);
    EXPECT_EQ(Release(&adapter, 500).size(), kAdapterPacketBytes);
    EXPECT_TRUE(Release(&adapter, 500).empty());
    EXPECT_EQ(Release(&adapter, 1500).size(), 6u);
}

TEST(Lateness, MeanQuantileAndMaximum) {
    LatenessStats stats;
    EXPECT_EQ(LatenessQuantileUs(stats, 0.99), 0u);
    for (uint64_t late = 0; late < 100; ++late) {
        LatenessAdd(&stats, 1000, 1000 + late);
    }
    LatenessAdd(&stats, 1000, 900);  // early counts as on time
    EXPECT_EQ(stats.count, 101u);
    EXPECT_NEAR(LatenessMeanUs(stats), 4950.0 / 101, 1e-9);
    EXPECT_EQ(LatenessQuantileUs(stats, 0.5), 49u);
    EXPECT_EQ(LatenessQuantileUs(stats, 0.99), 98u);
    // Beyond the histogram the maximum is still exact.
    LatenessAdd(&stats, 0, 250000);
    EXPECT_EQ(stats.maxUs, 250000u);
    EXPECT_EQ(LatenessQuantileUs(stats, 1.0), 250000u);
}

TEST(WakeMargin, SettlesNearTheUsualOvershoot) {
    WakeMargin margin;
    // Nine sleeps in ten overshoot by 20 us, one by 80: the margin covers the nine.
    for (int i = 0; i < 2000; ++i) {
        WakeMarginLearn(&margin, i % 10 == 0 ? 80 : 20);
    }
    EXPECT_GE(margin.us, 15u);
    EXPECT_LE(margin.us, 80u);
    // A machine whose wake-ups are punctual needs (almost) none.
    for (int i = 0; i < 2000; ++i) {
        WakeMarginLearn(&margin, 0);
    }
    EXPECT_EQ(margin.us, 0u);
    // Stalls do not push it without bound.
    for (int i = 0; i < 2000; ++i) {
        WakeMarginLearn(&margin, 100000);
    }
    EXPECT_LE(margin.us, 300u);
}

}  // namespace
