// The serial line the emulated panel listens on.
//
// POSIX: without a device, a new pseudo-terminal whose slave the relay opens; its master is kept
// open throughout, which lets the panel see the far end's settings and closes, and so restart as
// the real panel does. With a device: a serial device (set to raw 1200 baud 8N1), a file, a FIFO,
// or "-" for standard input. Win32: a COM port (one end of a null-modem pair, say) or a file; the
// far end's settings and closes cannot be seen there, so there is no restart emulation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct PanelLine {
#if defined(_WIN32)
  void* handle = nullptr;
  bool is_port = false;
#else
  int fd = -1;
  std::string slave_path;          // of the pseudo-terminal, when we made one
  std::string link_path;           // symlink to the slave that we made, removed on close
  std::int64_t given_to_uid = -1;  // the user who ran sudo, given the slave and the link
#endif
  bool sees_restarts = false;  // true only for our own pseudo-terminal
};

enum class LineEvent : std::uint8_t {
  kData,    // bytes arrived
  kQuiet,   // nothing arrived within the wait
  kClosed,  // the far end has the line closed (pseudo-terminal only); the wait has passed
  kEnd,     // end of the stream: a file or pipe ran out, or a device went away
  kFailed,
};

// device: nullptr for a new pseudo-terminal (POSIX). link: where to put a symlink to its slave,
// replacing a symlink already there, or nullptr.
bool OpenPanelLine(const char* device, const char* link, PanelLine* line, std::string* error);

// Waits up to wait_ms for bytes; never returns at once while the far end stays closed.
LineEvent ReadPanelLine(PanelLine* line, std::uint8_t* buffer, std::size_t capacity,
                        std::size_t* received, unsigned wait_ms);

// The far end has set the line to 1200 baud (pseudo-terminal only).
bool PanelLineAt1200Baud(const PanelLine& line);

void ClosePanelLine(PanelLine* line);

// The terminal the panel is drawn on.
bool StdoutIsTerminal();
int TerminalRows();            // 24 when it cannot be told
void PrepareTerminalOutput();  // Win32: UTF-8 and escape sequences on; POSIX: nothing
