// The one value shared between the main thread and the stop handler.
#pragma once

#include <atomic>

// False at start, set by the stop handler and never cleared.
extern std::atomic<bool> StopRequested;
