// POSIX: clock_nanosleep to an absolute point on the monotonic clock. A signal (a stop request)
// interrupts the sleep with EINTR; sleeping again to the same point lets the pause run its full
// length, so a stop never shortens the cycle under way.
#include <cerrno>
#include <ctime>

#include "common/deadline.h"
#include "common/pause.h"

void PauseMilliseconds(unsigned milliseconds) {
  const timespec until = AddMilliseconds(MonotonicNow(), milliseconds);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
  }
}
