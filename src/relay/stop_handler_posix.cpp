// POSIX: the console's control events arrive as signals: SIGINT (Ctrl+C), SIGQUIT (the
// counterpart of Ctrl+Break), SIGHUP (terminal closed) and SIGTERM (kill, shutdown). The
// handler only sets the lock-free flag the main thread polls, which is safe in a signal handler.
#include <csignal>
#include <initializer_list>

#include "common/stop_requested.h"
#include "relay/relay_run.h"

namespace {

void OnConsoleControl(int /*signal_number*/) {
  StopRequested.store(true);
}

}  // namespace

void InstallStopHandler() {
  struct sigaction action {};
  action.sa_handler = OnConsoleControl;
  sigemptyset(&action.sa_mask);
  // No SA_RESETHAND: the handler stays, so a second signal only sets the flag again.
  // SA_RESTART keeps a console message that is being written from being cut short.
  action.sa_flags = SA_RESTART;
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    sigaction(signal_number, &action, nullptr);
  }
}
