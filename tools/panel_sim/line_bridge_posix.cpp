// The master of a pseudo-terminal: before the slave is first opened nothing is reported; once
// the slave has been closed, poll reports POLLHUP until it is opened again. The slave's
// settings, the speed among them, are read through the master.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "panel_sim/line_bridge.h"
#include "panel_sim/usb_host.h"
#include "tool_support/line_speed.h"

namespace {

constexpr std::size_t kFrame = 127;

// Whether the last 254 bytes are a pair: '<' text '>' then '>' 125 of '0'/'1' '<'.
bool IsPair(const std::array<std::uint8_t, 254>& bytes) {
  if (bytes[0] != '<' || bytes[kFrame - 1] != '>' || bytes[kFrame] != '>' ||
      bytes[2 * kFrame - 1] != '<') {
    return false;
  }
  for (std::size_t i = kFrame + 1; i < 2 * kFrame - 1; ++i) {
    if (bytes[i] != '0' && bytes[i] != '1') return false;
  }
  return true;
}

void Remember(LineBridge* line, std::uint8_t byte) {
  auto& recent = line->recent;
  if (line->recent_count < recent.size()) {
    recent[line->recent_count++] = byte;
  } else {
    std::copy(recent.begin() + 1, recent.end(), recent.begin());
    recent.back() = byte;
  }
}

// Cuts the pairs the relay wrote out of what came through the line (with the 0x0D that output
// processing adds before each 0x0A taken out again), and reports each new one.
void WatchPairs(LineBridge* line, const std::uint8_t* bytes, std::size_t count,
                std::vector<std::string>* events) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  const auto& recent = line->recent;
  for (std::size_t i = 0; i < count; ++i) {
    if (line->held_cr && bytes[i] != '\n') Remember(line, '\r');
    if (line->held_cr && bytes[i] == '\n') ++line->added_crs;
    line->held_cr = line->crlf && bytes[i] == '\r';
    if (line->held_cr) continue;
    Remember(line, bytes[i]);
    if (bytes[i] != '<' || line->recent_count < recent.size() || !IsPair(recent)) continue;
    if (recent == line->last_pair) continue;
    line->last_pair = recent;
    std::string text = "pair ";
    for (std::size_t k = 1; k < kFrame - 1; ++k) {
      text += kHex[recent[k] >> 4];
      text += kHex[recent[k] & 0x0F];
    }
    text += ' ';
    text.append(recent.begin() + kFrame + 1, recent.begin() + 2 * kFrame - 1);
    events->push_back(text);
  }
}

}  // namespace

bool OpenLineBridge(LineBridge* line, std::string* error) {
  const int fd = posix_openpt(O_RDWR | O_NOCTTY);
  if (fd < 0 || grantpt(fd) != 0 || unlockpt(fd) != 0 || ptsname(fd) == nullptr) {
    *error = std::string("cannot make a pseudo-terminal: ") + std::strerror(errno);
    if (fd >= 0) close(fd);
    return false;
  }
  line->slave_path = ptsname(fd);
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  line->fd = fd;
  LineBridgeNewPort(line);
  return true;
}

void LineBridgeNewPort(LineBridge* line) {
  // Linux's defaults for a terminal, with the USB serial driver's control flags (cdc-acm).
  termios settings{};
  if (tcgetattr(line->fd, &settings) == 0) {
    settings.c_iflag = ICRNL | IXON;
    settings.c_oflag = OPOST | ONLCR;
    settings.c_cflag = CS8 | CREAD | HUPCL | CLOCAL;
    settings.c_lflag = ISIG | ICANON | ECHO | ECHOE | ECHOK | ECHOCTL | ECHOKE | IEXTEN;
    cfsetispeed(&settings, B9600);
    cfsetospeed(&settings, B9600);
    tcsetattr(line->fd, TCSANOW, &settings);
  }
  line->speed = LineOutputBaud(line->fd);
}

void LineBridgeStep(LineBridge* line, UsbHost* host, std::size_t room,
                    std::vector<std::string>* events) {
  // The speed first: the relay sets it before it closes the line or writes.
  const unsigned speed = LineOutputBaud(line->fd);
  if (speed != 0 && speed != line->speed) {
    line->speed = speed;
    events->push_back("line speed " + std::to_string(speed));
    UsbHostSetLineCoding(host, speed);
  }
  termios settings{};
  if (tcgetattr(line->fd, &settings) == 0) {
    line->crlf = (settings.c_oflag & (OPOST | ONLCR)) == (OPOST | ONLCR);
  }
  pollfd watched{line->fd, POLLIN, 0};
  const bool ready = poll(&watched, 1, 0) > 0;
  bool got = false;
  while (ready && host->queued_data < room) {
    std::uint8_t buffer[512];
    const ssize_t count = read(line->fd, buffer, sizeof buffer);
    if (count <= 0) break;
    got = true;
    UsbHostSendData(host, buffer, static_cast<std::size_t>(count));
    WatchPairs(line, buffer, static_cast<std::size_t>(count), events);
  }
  const bool closed = ready && (watched.revents & POLLHUP) != 0 && !got;
  if (closed && !line->closed) {
    events->emplace_back("line closed");
    UsbHostSetControlLineState(host, false, false);
  } else if (!closed && line->closed) {
    events->emplace_back("line opened");
  }
  line->closed = closed;
}

void CloseLineBridge(LineBridge* line) {
  if (line->fd >= 0) close(line->fd);
  line->fd = -1;
}
