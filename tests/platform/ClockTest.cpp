#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <thread>

#include "platform/Clock.h"
#include "platform/System.h"

namespace {

// The plain local wall time, read independently of the process clock.
DateTime LocalWallTime() {
    const std::time_t now = std::time(nullptr);
    const std::tm local = System::LocalTime(now);
    return DateTime(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                    local.tm_min, local.tm_sec);
}

double SecondsBetween(const DateTime& later, const DateTime& earlier) {
    return (later - earlier).GetTotalSeconds();
}

class ProcessClockTest : public ::testing::Test {
protected:
    void TearDown() override { ProcessClock::Reset(); }
};

}  // namespace

TEST_F(ProcessClockTest, UnshiftedClockFollowsTheLocalWallTime) {
    ProcessClock::Reset();
    const DateTime before = LocalWallTime();
    const DateTime now = ProcessClock::Now();
    ASSERT_TRUE(now.IsValid());
    // Now() rounds to the nearest second, so it may read one second past the wall clock.
    EXPECT_GE(SecondsBetween(now, before), 0.0);
    EXPECT_LT(SecondsBetween(now, before), 60.0);
    EXPECT_EQ(ProcessClock::GetOffsetSeconds(), 0.0);
}

TEST_F(ProcessClockTest, SetNowPlacesTheClockAtTheInstantAndTimeRunsOn) {
    const DateTime placed(2009, 3, 12, 14, 59, 50);
    ProcessClock::SetNow(placed);
    const DateTime first = ProcessClock::Now();
    ASSERT_TRUE(first.IsValid());
    EXPECT_GE(first, placed);
    EXPECT_LT(SecondsBetween(first, placed), 60.0);

    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    const DateTime second = ProcessClock::Now();
    EXPECT_GE(SecondsBetween(second, placed), 1.0);
    EXPECT_LT(SecondsBetween(second, placed), 60.0);
    EXPECT_GE(second, first);
}

TEST_F(ProcessClockTest, SetNowWorksForPastAndFutureInstants) {
    for (const DateTime& placed :
         {DateTime(2000, 1, 1, 0, 0, 0), DateTime(2008, 2, 29, 23, 59, 59),
          DateTime(2037, 12, 31, 23, 59, 30), DateTime(2099, 6, 1, 12, 0, 0)}) {
        ProcessClock::SetNow(placed);
        const DateTime now = ProcessClock::Now();
        ASSERT_TRUE(now.IsValid()) << placed.Format();
        EXPECT_GE(now, placed) << placed.Format();
        EXPECT_LT(SecondsBetween(now, placed), 60.0) << placed.Format();
    }
}

TEST_F(ProcessClockTest, SetNowReplacesAnEarlierShiftRatherThanAddingToIt) {
    const DateTime placed(2009, 3, 12, 15, 0, 0);
    ProcessClock::SetOffsetSeconds(-86400.0 * 365);
    ProcessClock::SetNow(placed);
    ProcessClock::SetNow(placed);
    const DateTime now = ProcessClock::Now();
    EXPECT_GE(now, placed);
    EXPECT_LT(SecondsBetween(now, placed), 60.0);
}

TEST_F(ProcessClockTest, OffsetShiftsTheWallTime) {
    ProcessClock::SetOffsetSeconds(3600.0);
    EXPECT_DOUBLE_EQ(ProcessClock::GetOffsetSeconds(), 3600.0);
    const DateTime before = LocalWallTime();
    const double ahead = SecondsBetween(ProcessClock::Now(), before);
    EXPECT_GE(ahead, 3600.0);
    EXPECT_LT(ahead, 3660.0);
}

TEST_F(ProcessClockTest, ResetReturnsToTheWallClock) {
    ProcessClock::SetNow(DateTime(2001, 5, 5, 5, 5, 5));
    EXPECT_NE(ProcessClock::GetOffsetSeconds(), 0.0);
    ProcessClock::Reset();
    EXPECT_EQ(ProcessClock::GetOffsetSeconds(), 0.0);
    const DateTime before = LocalWallTime();
    const double ahead = SecondsBetween(ProcessClock::Now(), before);
    EXPECT_GE(ahead, 0.0);
    EXPECT_LT(ahead, 60.0);
}

// Every thread reads the same shifted clock.
TEST_F(ProcessClockTest, ShiftIsSeenByOtherThreads) {
    const DateTime placed(2009, 3, 12, 15, 0, 0);
    ProcessClock::SetNow(placed);
    DateTime seen;
    std::thread reader([&] { seen = ProcessClock::Now(); });
    reader.join();
    EXPECT_GE(seen, placed);
    EXPECT_LT(SecondsBetween(seen, placed), 60.0);
}
