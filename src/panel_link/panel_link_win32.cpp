// Win32: the port is a file opened with CreateFileW, without sharing (exclusive) and without
// overlapped I/O (synchronous writes). SetCommState carries the line settings, DTR and RTS
// included; SetCommTimeouts bounds every write. Nothing else touches the port.
#include "panel_link/panel_link_win32.h"

#include <cstring>

#include "common/console.h"
#include "panel_link/panel_link.h"
#include "panel_link/restart_countdown.h"

namespace {

constexpr wchar_t kPortName[] = L"COM4";

HANDLE OpenPort() {
  return CreateFileW(kPortName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                     nullptr);
}

}  // namespace

DCB BuildLineSettings() {
  DCB settings;
  std::memset(&settings, 0, sizeof settings);
  settings.DCBlength = sizeof settings;
  settings.BaudRate = 1200;
  settings.fBinary = TRUE;
  settings.fDtrControl = DTR_CONTROL_DISABLE;
  settings.fRtsControl = RTS_CONTROL_DISABLE;
  settings.ByteSize = 8;
  settings.Parity = NOPARITY;
  settings.StopBits = ONESTOPBIT;
  return settings;
}

COMMTIMEOUTS BuildPortTimeouts() {
  COMMTIMEOUTS timeouts;
  std::memset(&timeouts, 0, sizeof timeouts);
  timeouts.ReadIntervalTimeout = 20;
  timeouts.ReadTotalTimeoutMultiplier = 10;
  timeouts.ReadTotalTimeoutConstant = 100;
  timeouts.WriteTotalTimeoutMultiplier = 10;
  timeouts.WriteTotalTimeoutConstant = 100;
  return timeouts;
}

bool PreparePanelPort(PanelPort* port) {
  HANDLE handle = OpenPort();
  if (handle == INVALID_HANDLE_VALUE) {
    ShowMessage("COM-Port not available...\n");
    return false;
  }
  DCB settings = BuildLineSettings();
  SetCommState(handle, &settings);
  // Closing the configured line is what makes the panel restart.
  CloseHandle(handle);

  ShowMessage("Waiting for panel to restart...\n");
  CountDownPanelRestart();

  // The reopened port keeps the settings applied above; they are not applied again.
  handle = OpenPort();
  if (handle == INVALID_HANDLE_VALUE) {
    ShowMessage("COM-Port not available...\n");
    return false;
  }
  COMMTIMEOUTS timeouts = BuildPortTimeouts();
  SetCommTimeouts(handle, &timeouts);
  port->handle = handle;
  return true;
}

void WritePanelFrame(PanelPort port, const PanelFrame& frame) {
  DWORD written = 0;
  WriteFile(port.handle, frame.data(), static_cast<DWORD>(frame.size()), &written, nullptr);
}

void ClosePanelPort(PanelPort port) {
  CloseHandle(port.handle);
}
