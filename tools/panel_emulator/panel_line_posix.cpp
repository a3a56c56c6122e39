// POSIX pseudo-terminal and devices. On a pseudo-terminal master, before the slave is first
// opened a read would block; once the slave has been closed, poll reports POLLHUP at once and
// keeps doing so, and reads fail with EIO. The slave's termios settings, the baud rate included,
// are read and kept through the master.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>

#include "panel_emulator/panel_line.h"
#include "tool_support/line_speed.h"
#include "tool_support/tool_stop.h"

namespace {

std::string SystemError(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

// Raw bytes both ways: the frames carry every byte value, and a line discipline that turned
// '\n' into "\r\n" or ate ^C would corrupt them. The speed stays off 1200 until the far end sets
// it, which is how a configuration by the relay is recognised.
void MakeRaw(int fd, speed_t speed) {
  termios settings{};
  if (tcgetattr(fd, &settings) != 0) return;
  cfmakeraw(&settings);
  settings.c_cflag |= CLOCAL | CREAD;
  cfsetispeed(&settings, speed);
  cfsetospeed(&settings, speed);
  tcsetattr(fd, TCSANOW, &settings);
}

// Points link at target, replacing an existing symlink (never a real file) in one step.
bool MakeLink(const std::string& target, const std::string& link, std::string* error) {
  struct stat existing {};
  if (lstat(link.c_str(), &existing) == 0 && !S_ISLNK(existing.st_mode)) {
    *error = link + " exists and is not a symlink; not replacing it";
    return false;
  }
  const std::string temporary = link + ".panel-emulator";
  unlink(temporary.c_str());
  if (symlink(target.c_str(), temporary.c_str()) != 0 ||
      rename(temporary.c_str(), link.c_str()) != 0) {
    *error = SystemError("cannot link " + link);
    unlink(temporary.c_str());
    return false;
  }
  return true;
}

bool OpenPseudoTerminal(const char* link, PanelLine* line, std::string* error) {
  const int fd = posix_openpt(O_RDWR | O_NOCTTY);
  if (fd < 0 || grantpt(fd) != 0 || unlockpt(fd) != 0 || ptsname(fd) == nullptr) {
    *error = SystemError("cannot make a pseudo-terminal");
    if (fd >= 0) close(fd);
    return false;
  }
  line->slave_path = ptsname(fd);
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  MakeRaw(fd, B9600);
  if (link != nullptr) {
    if (!MakeLink(line->slave_path, link, error)) {
      close(fd);
      return false;
    }
    line->link_path = link;
  }
  line->fd = fd;
  line->sees_restarts = true;
  return true;
}

}  // namespace

bool OpenPanelLine(const char* device, const char* link, PanelLine* line, std::string* error) {
  if (device == nullptr) return OpenPseudoTerminal(link, line, error);
  if (link != nullptr) {
    *error = "--link is for the pseudo-terminal only";
    return false;
  }
  const int fd =
      std::strcmp(device, "-") == 0 ? dup(STDIN_FILENO) : open(device, O_RDONLY | O_NOCTTY);
  if (fd < 0) {
    *error = SystemError(std::string("cannot open ") + device);
    return false;
  }
  if (isatty(fd)) MakeRaw(fd, B1200);
  line->fd = fd;
  return true;
}

LineEvent ReadPanelLine(PanelLine* line, std::uint8_t* buffer, std::size_t capacity,
                        std::size_t* received, unsigned wait_ms) {
  *received = 0;
  pollfd watched{line->fd, POLLIN, 0};
  const int ready = poll(&watched, 1, static_cast<int>(wait_ms));
  if (ready < 0) return errno == EINTR ? LineEvent::kQuiet : LineEvent::kFailed;
  if (ready == 0) return LineEvent::kQuiet;
  // Bytes still buffered are read before a hang-up is taken as such.
  const ssize_t count = read(line->fd, buffer, capacity);
  if (count > 0) {
    *received = static_cast<std::size_t>(count);
    return LineEvent::kData;
  }
  const int read_error = count < 0 ? errno : 0;
  if (line->sees_restarts) {
    if ((watched.revents & POLLHUP) == 0 && read_error != EIO) return LineEvent::kQuiet;
    // Closed far end: poll would report it again at once, so wait here instead of spinning.
    ToolSleepMilliseconds(wait_ms);
    return LineEvent::kClosed;
  }
  if (count == 0 || read_error == EIO) return LineEvent::kEnd;  // ran out, or device gone
  if (read_error == EAGAIN || read_error == EINTR) return LineEvent::kQuiet;
  return LineEvent::kFailed;
}

bool PanelLineAt1200Baud(const PanelLine& line) {
  return line.sees_restarts && LineOutputBaud(line.fd) == 1200;
}

void ClosePanelLine(PanelLine* line) {
  if (!line->link_path.empty()) {
    // Only our own link: something else may have taken its place meanwhile.
    char target[4096];
    const ssize_t length = readlink(line->link_path.c_str(), target, sizeof target - 1);
    if (length > 0 && line->slave_path == std::string(target, static_cast<std::size_t>(length))) {
      unlink(line->link_path.c_str());
    }
  }
  if (line->fd >= 0) close(line->fd);
  line->fd = -1;
}

bool StdoutIsTerminal() {
  return isatty(STDOUT_FILENO) != 0;
}

int TerminalRows() {
  winsize size{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_row < 1) return 24;
  return size.ws_row;
}

void PrepareTerminalOutput() {}
