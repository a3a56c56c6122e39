// Deadlines on the monotonic clock: carrying into seconds, rounding up, and the clock itself.
#include "common/deadline.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

timespec At(time_t seconds, long nanoseconds) {
  timespec point{};
  point.tv_sec = seconds;
  point.tv_nsec = nanoseconds;
  return point;
}

void ExpectPoint(timespec actual, time_t seconds, long nanoseconds) {
  EXPECT_EQ(actual.tv_sec, seconds);
  EXPECT_EQ(actual.tv_nsec, nanoseconds);
}

TEST(AddMilliseconds, CarriesIntoSecondsAndKeepsNanosecondsBelowOneSecond) {
  ExpectPoint(AddMilliseconds(At(5, 0), 1370), 6, 370'000'000);
  ExpectPoint(AddMilliseconds(At(5, 999'999'999), 1), 6, 999'999);
  ExpectPoint(AddMilliseconds(At(5, 700'000'000), 300), 6, 0);
  ExpectPoint(AddMilliseconds(At(5, 999'000'000), 1000), 6, 999'000'000);
  ExpectPoint(AddMilliseconds(At(5, 123), 0), 5, 123);
  ExpectPoint(AddMilliseconds(At(0, 999'999'999), UINT_MAX), 4'294'968, 294'999'999);
}

TEST(MillisecondsUntil, RoundsUpSoAWaitNeverEndsEarly) {
  EXPECT_EQ(MillisecondsUntil(At(5, 1), At(5, 0)), 1);
  EXPECT_EQ(MillisecondsUntil(At(5, 1'000'000), At(5, 0)), 1);
  EXPECT_EQ(MillisecondsUntil(At(5, 1'000'001), At(5, 0)), 2);
  // Across a second boundary, with the deadline's nanoseconds below now's.
  EXPECT_EQ(MillisecondsUntil(At(6, 100), At(5, 999'999'999)), 1);
  EXPECT_EQ(MillisecondsUntil(At(7, 0), At(5, 630'000'000)), 1370);
}

TEST(MillisecondsUntil, IsZeroOnceTheDeadlineIsReachedAndCappedFarAhead) {
  EXPECT_EQ(MillisecondsUntil(At(5, 0), At(5, 0)), 0);
  EXPECT_EQ(MillisecondsUntil(At(5, 0), At(5, 1)), 0);
  EXPECT_EQ(MillisecondsUntil(At(5, 999'999'999), At(6, 0)), 0);
  EXPECT_EQ(MillisecondsUntil(At(0, 0), At(100'000, 0)), 0);
  EXPECT_EQ(MillisecondsUntil(At(100'000'000, 0), At(0, 0)), INT_MAX);
}

TEST(MonotonicNow, MovesForwardWithTime) {
  const timespec start = MonotonicNow();
  const timespec deadline = AddMilliseconds(start, 30);
  timespec now = start;
  while (MillisecondsUntil(deadline, now) > 0) {
    const timespec later = MonotonicNow();
    ASSERT_EQ(MillisecondsUntil(now, later), 0) << "the clock went back";
    now = later;
  }
  EXPECT_GE(now.tv_sec * 1000000000LL + now.tv_nsec,
            start.tv_sec * 1000000000LL + start.tv_nsec + 30'000'000LL);
}

}  // namespace
