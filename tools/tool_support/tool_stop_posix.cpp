// POSIX: a signal handler may only touch a lock-free atomic.
#include <signal.h>
#include <time.h>

#include <atomic>
#include <initializer_list>

#include "tool_support/tool_stop.h"

namespace {

std::atomic<bool> stop_requested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void OnStopSignal(int /*signal*/) {
  stop_requested.store(true);
}

}  // namespace

void InstallToolStopHandler() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP})
    sigaction(signal_number, &action, nullptr);
  // A closed terminal or pipe must end the program through its orderly path, not kill it.
  signal(SIGPIPE, SIG_IGN);
}

bool ToolStopRequested() {
  return stop_requested.load();
}

void ToolSleepMilliseconds(unsigned milliseconds) {
  const timespec wait{static_cast<time_t>(milliseconds / 1000),
                      static_cast<long>(milliseconds % 1000) * 1000000L};
  nanosleep(&wait, nullptr);  // a signal cuts it short, which is what the stop wants
}
