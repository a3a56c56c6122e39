// Win32: a COM port read with time-outs, or a file read to its end.
#include <windows.h>

#include <cstring>

#include "panel_emulator/panel_line.h"

namespace {

std::wstring Widen(const char* text) {
  const int length = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length > 0 ? length : 1), L'\0');
  if (length > 0) MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), length);
  wide.resize(wide.size() - 1);
  return wide;
}

bool IsPortName(const char* device) {
  return _strnicmp(device, "COM", 3) == 0 || std::strncmp(device, "\\\\.\\", 4) == 0;
}

}  // namespace

bool OpenPanelLine(const char* device, const char* link, PanelLine* line, std::string* error) {
  if (device == nullptr || link != nullptr) {
    *error = "give the COM port to listen on (for example COM5); --link is for POSIX only";
    return false;
  }
  const bool is_port = IsPortName(device);
  // "\\.\" lets names past COM9 open too.
  const std::wstring name =
      (is_port && std::strncmp(device, "\\\\.\\", 4) != 0 ? L"\\\\.\\" : L"") + Widen(device);
  HANDLE handle = CreateFileW(name.c_str(), is_port ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ,
                              0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    *error =
        std::string("cannot open ") + device + " (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  if (is_port) {
    DCB settings{};
    settings.DCBlength = sizeof settings;
    settings.BaudRate = 1200;
    settings.fBinary = TRUE;
    settings.ByteSize = 8;
    settings.Parity = NOPARITY;
    settings.StopBits = ONESTOPBIT;
    SetCommState(handle, &settings);
  }
  line->handle = handle;
  line->is_port = is_port;
  return true;
}

LineEvent ReadPanelLine(PanelLine* line, std::uint8_t* buffer, std::size_t capacity,
                        std::size_t* received, unsigned wait_ms) {
  *received = 0;
  if (line->is_port) {
    // Return what has come once the line goes quiet for 20 ms, or after wait_ms at the latest.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = 20;
    timeouts.ReadTotalTimeoutConstant = wait_ms;
    SetCommTimeouts(line->handle, &timeouts);
  }
  DWORD count = 0;
  if (!ReadFile(line->handle, buffer, static_cast<DWORD>(capacity), &count, nullptr)) {
    return LineEvent::kFailed;
  }
  *received = count;
  if (count > 0) return LineEvent::kData;
  return line->is_port ? LineEvent::kQuiet : LineEvent::kEnd;
}

bool PanelLineAt1200Baud(const PanelLine& /*line*/) {
  return false;
}

void ClosePanelLine(PanelLine* line) {
  if (line->handle != nullptr) CloseHandle(line->handle);
  line->handle = nullptr;
}

bool StdoutIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

int TerminalRows() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) return 24;
  return info.srWindow.Bottom - info.srWindow.Top + 1;
}

void PrepareTerminalOutput() {
  SetConsoleOutputCP(CP_UTF8);
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (GetConsoleMode(output, &mode)) {
    SetConsoleMode(output, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
  }
}
