// Win32: console control events arrive on a thread of the system's; the handler only sets the
// flag the main thread polls.
#include <windows.h>

#include "common/stop_requested.h"
#include "relay/relay_run.h"

namespace {

// Every control type (Ctrl+C, Ctrl+Break, close, log-off, shutdown) is handled the same way.
BOOL WINAPI OnConsoleControl(DWORD /*control_type*/) {
  StopRequested.store(true);
  return TRUE;
}

}  // namespace

void InstallStopHandler() {
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}
