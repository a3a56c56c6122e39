// Win32: console control events come on a thread of the system's.
#include <windows.h>

#include <atomic>

#include "tool_support/tool_stop.h"

namespace {

std::atomic<bool> stop_requested{false};

BOOL WINAPI OnConsoleControl(DWORD /*control_type*/) {
  stop_requested.store(true);
  return TRUE;
}

}  // namespace

void InstallToolStopHandler() {
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

bool ToolStopRequested() {
  return stop_requested.load();
}

void ToolSleepMilliseconds(unsigned milliseconds) {
  Sleep(milliseconds);
}
