#include "common/stop_requested.h"

// The stop handler runs on another thread (Windows) or in a signal handler (POSIX): the flag
// must be updated without a lock.
static_assert(std::atomic<bool>::is_always_lock_free);

std::atomic<bool> StopRequested{false};
