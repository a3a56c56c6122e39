// Absolute points on the monotonic clock: the bound on a port write and the end of a pause are
// fixed once, so neither a signal nor a wait that wakes early can stretch or shorten them.
#pragma once

#include <ctime>

// Now on CLOCK_MONOTONIC, which no change of the wall clock moves.
timespec MonotonicNow();

// `start` moved on by `milliseconds`, its nanoseconds kept below one second.
timespec AddMilliseconds(timespec start, unsigned milliseconds);

// Whole milliseconds from `now` to `deadline`, rounded up so that a wait for them never ends
// before the deadline; 0 once it is reached, and at most INT_MAX (the most poll takes).
int MillisecondsUntil(timespec deadline, timespec now);
