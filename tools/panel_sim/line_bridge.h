// From the relay's serial line to the USB host: the relay opens the slave of a pseudo-terminal
// (as COM4) and this end, the master, sees what a USB serial driver would turn into requests to
// the device: a new speed becomes SET_LINE_CODING, the last close SET_CONTROL_LINE_STATE with DTR
// and RTS off (as Linux does on close; Windows' driver is not documented there), and the bytes
// bulk OUT data. An open sends nothing: the relay keeps DTR and RTS off. POSIX only.
//
// The line starts as Linux makes the port of a device that has just enumerated, and is made so
// again after the chip's reset (the port that comes back is a new one): 9600 baud and the
// default line discipline, whose output processing sends a 0x0A written to it as 0x0D 0x0A. The
// relay sets its own settings only before the restart, so after it its frames pass that way.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct UsbHost;

struct LineBridge {
  int fd = -1;
  std::string slave_path;
  unsigned speed = 0;   // the speed last passed on
  bool closed = false;  // the far end has opened and closed the slave again
  // The last pair's worth of bytes from the line, to tell when a new pair went by.
  std::array<std::uint8_t, 254> recent{};
  std::size_t recent_count = 0;
  std::array<std::uint8_t, 254> last_pair{};
  bool crlf = false;     // output processing on: 0x0A written goes out as 0x0D 0x0A
  bool held_cr = false;  // a 0x0D not yet known to be one that processing added
  long added_crs = 0;    // 0x0D taken out again
};

bool OpenLineBridge(LineBridge* line, std::string* error);

// Takes what the relay did since the last look into host's queue; each change also as a line of
// text in events, and each pair unlike the one before as "pair TEXT MARKS" (two hex digits a
// cell; '0'/'1' a cell). Bytes are read only while the host holds fewer than `room` unsent, so that
// a device that stops reading stalls the relay's writes, as a full USB pipe does.
void LineBridgeStep(LineBridge* line, UsbHost* host, std::size_t room,
                    std::vector<std::string>* events);

// The line as a new port: see above.
void LineBridgeNewPort(LineBridge* line);

void CloseLineBridge(LineBridge* line);
