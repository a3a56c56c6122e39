#include "common/deadline.h"

#include <climits>
#include <cstdint>

namespace {

constexpr long kNanosecondsPerSecond = 1'000'000'000L;
constexpr long kNanosecondsPerMillisecond = 1'000'000L;

}  // namespace

timespec MonotonicNow() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now;
}

timespec AddMilliseconds(timespec start, unsigned milliseconds) {
  timespec result = start;
  result.tv_sec += static_cast<time_t>(milliseconds / 1000U);
  result.tv_nsec += static_cast<long>(milliseconds % 1000U) * kNanosecondsPerMillisecond;
  if (result.tv_nsec >= kNanosecondsPerSecond) {
    result.tv_sec += 1;
    result.tv_nsec -= kNanosecondsPerSecond;
  }
  return result;
}

int MillisecondsUntil(timespec deadline, timespec now) {
  const std::int64_t seconds =
      static_cast<std::int64_t>(deadline.tv_sec) - static_cast<std::int64_t>(now.tv_sec);
  const std::int64_t nanoseconds =
      seconds * kNanosecondsPerSecond + (deadline.tv_nsec - now.tv_nsec);
  if (nanoseconds <= 0) {
    return 0;
  }
  const std::int64_t milliseconds =
      (nanoseconds + kNanosecondsPerMillisecond - 1) / kNanosecondsPerMillisecond;
  return milliseconds > INT_MAX ? INT_MAX : static_cast<int>(milliseconds);
}
