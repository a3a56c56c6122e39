// POSIX pseudo-terminal and devices. On a pseudo-terminal master, before the slave is first
// opened a read would block; once the slave has been closed, poll reports POLLHUP at once and
// keeps doing so, and reads fail with EIO. The slave's termios settings, the baud rate included,
// are read and kept through the master.
//
// Started through sudo (root, with SUDO_UID and SUDO_GID), the slave and the link go to the user
// who ran sudo: a slave made by root may be opened by root alone, and the relay that user starts
// next must open it.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
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

// Points link at target, replacing an existing symlink (never a real file) in one step. For the
// user who ran sudo the link is theirs too (lchown: the link itself, not the slave it leads to):
// one that a killed emulator left in a sticky directory such as /tmp, where only a file's owner
// may remove it, is then theirs to remove.
bool MakeLink(const std::string& target, const std::string& link, bool for_invoker, uid_t uid,
              gid_t gid, std::string* error) {
  struct stat existing {};
  if (lstat(link.c_str(), &existing) == 0 && !S_ISLNK(existing.st_mode)) {
    *error = link + " exists and is not a symlink; not replacing it";
    return false;
  }
  const std::string temporary = link + ".panel-emulator";
  unlink(temporary.c_str());
  if (symlink(target.c_str(), temporary.c_str()) != 0 ||
      (for_invoker && lchown(temporary.c_str(), uid, gid) != 0) ||
      rename(temporary.c_str(), link.c_str()) != 0) {
    *error = SystemError("cannot link " + link);
    unlink(temporary.c_str());
    return false;
  }
  return true;
}

bool ParseId(const char* text, unsigned long* id) {
  if (text == nullptr || *text < '0' || *text > '9') return false;
  char* end = nullptr;
  errno = 0;
  *id = std::strtoul(text, &end, 10);
  // (uid_t)-1 and (gid_t)-1 mean "unchanged" to chown: never an owner.
  return errno == 0 && *end == '\0' && *id < static_cast<uid_t>(-1) && *id < static_cast<gid_t>(-1);
}

// The user and group that sudo names in the environment. found is false where this is not root
// started through sudo, or sudo was run by root; false is returned for ids sudo would not set.
bool FindSudoInvoker(bool* found, uid_t* uid, gid_t* gid, std::string* error) {
  *found = false;
  const char* uid_text = std::getenv("SUDO_UID");
  if (geteuid() != 0 || uid_text == nullptr) return true;
  unsigned long uid_value = 0;
  unsigned long gid_value = 0;
  if (!ParseId(uid_text, &uid_value) || !ParseId(std::getenv("SUDO_GID"), &gid_value)) {
    *error = "SUDO_UID and SUDO_GID must both be numeric ids, as sudo sets them";
    return false;
  }
  *uid = static_cast<uid_t>(uid_value);
  *gid = static_cast<gid_t>(gid_value);
  *found = *uid != 0;
  return true;
}

bool OpenPseudoTerminal(const char* link, PanelLine* line, std::string* error) {
  bool for_invoker = false;
  uid_t invoker_uid = 0;
  gid_t invoker_gid = 0;
  if (!FindSudoInvoker(&for_invoker, &invoker_uid, &invoker_gid, error)) return false;
  const int fd = posix_openpt(O_RDWR | O_NOCTTY);
  if (fd < 0 || grantpt(fd) != 0 || unlockpt(fd) != 0 || ptsname(fd) == nullptr) {
    *error = SystemError("cannot make a pseudo-terminal");
    if (fd >= 0) close(fd);
    return false;
  }
  line->slave_path = ptsname(fd);
  // Only the owner changes: the group stays the one devpts gives (the terminals' group on most
  // systems), as on a pseudo-terminal the user made, so that group write does not widen to the
  // user's own group.
  if (for_invoker && chown(line->slave_path.c_str(), invoker_uid, static_cast<gid_t>(-1)) != 0) {
    *error = SystemError("cannot give " + line->slave_path + " to the user who ran sudo");
    close(fd);
    return false;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  MakeRaw(fd, B9600);
  if (link != nullptr) {
    if (!MakeLink(line->slave_path, link, for_invoker, invoker_uid, invoker_gid, error)) {
      close(fd);
      return false;
    }
    line->link_path = link;
  }
  line->fd = fd;
  line->sees_restarts = true;
  line->given_to_uid = for_invoker ? static_cast<std::int64_t>(invoker_uid) : -1;
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
