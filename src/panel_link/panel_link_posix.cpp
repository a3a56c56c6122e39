// POSIX: "COM4" is the fixed path /dev/COM4, which a udev rule or a symlink points at the panel.
// It is opened non-blocking (a real port could otherwise wait for carrier) and held
// exclusively, as Windows' unshared open is: flock against programs that lock it, TIOCEXCL
// against any further open, and a port already held either way counts as not available. The
// line settings are a termios built from zero; DTR and RTS are cleared after every open, since
// Linux raises them on each. A Windows port is always binary; a panel that comes back from its
// restart as a new device node starts in the kernel's default mode (each 0x0A sent as 0x0D 0x0A,
// input echoed back), so the reopened line is made raw, its speed left as it is. Windows' total
// write time-out bounds both the queuing of a frame and the wait until the output queue is empty,
// which is when Windows' write would return.
//
// Read time-outs have nothing to map onto: the program never reads. Were it to read, VTIME
// (tenths of a second) could not carry them; a read would poll against a deadline of 10 ms per
// byte + 100 ms, giving up after 20 ms without a byte.
#include "panel_link/panel_link_posix.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <ctime>

#include "common/console.h"
#include "common/deadline.h"
#include "common/pause.h"
#include "panel_link/panel_link.h"
#include "panel_link/restart_countdown.h"

namespace {

constexpr char kPortPath[] = "/dev/COM4";
constexpr unsigned kWriteTimeoutPerByteMilliseconds = 10;
constexpr unsigned kWriteTimeoutConstantMilliseconds = 100;
// A byte takes about 8.3 ms on the line at 1200 baud; checking the output queue this often ends
// the wait for it within about a byte of its emptying.
constexpr int kQueueCheckMilliseconds = 10;

// True when another open of the same port has already made it exclusive. A plain user's open
// fails outright then; root's would succeed, so it is asked.
bool HeldExclusivelyElsewhere(int fd) {
  int exclusive = 0;
  return ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
}

// The open descriptor, or -1 when the port is missing or held by another program.
int OpenPort() {
  const int fd = open(kPortPath, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    return -1;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 || HeldExclusivelyElsewhere(fd)) {
    // The other program's exclusivity is left alone; only a lock of our own is dropped.
    flock(fd, LOCK_UN);
    close(fd);
    return -1;
  }
  ioctl(fd, TIOCEXCL);
  return fd;
}

// Exclusivity is a property of the terminal, not of this descriptor: on a pseudo-terminal whose
// other side stays open it would outlive the close and refuse the next open.
void ClosePort(int fd) {
  ioctl(fd, TIOCNXCL);
  flock(fd, LOCK_UN);
  close(fd);
}

// Held off for the whole run, as the line settings ask; the result is of no interest.
void HoldModemLinesOff(int fd) {
  const int lines = TIOCM_DTR | TIOCM_RTS;
  ioctl(fd, TIOCMBIC, &lines);
}

// Waits until the port takes more bytes; false once the deadline passes or the port fails.
bool WaitForRoom(int fd, timespec deadline) {
  for (;;) {
    const int left = MillisecondsUntil(deadline, MonotonicNow());
    if (left == 0) {
      return false;
    }
    pollfd watched{fd, POLLOUT, 0};
    const int ready = poll(&watched, 1, left);
    if (ready > 0) {
      return (watched.revents & POLLOUT) != 0;
    }
    if (ready < 0 && errno != EINTR) {
      return false;
    }
  }
}

// Queues every byte, after partial writes and interruptions alike; false if the deadline
// passes first or the port fails.
bool QueueBytes(int fd, const std::uint8_t* bytes, std::size_t count, timespec deadline) {
  std::size_t queued = 0;
  while (queued < count) {
    const ssize_t written = write(fd, bytes + queued, count - queued);
    if (written > 0) {
      queued += static_cast<std::size_t>(written);
    } else if (written < 0 && errno == EINTR) {
      continue;
    } else if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      return false;
    } else if (!WaitForRoom(fd, deadline)) {
      return false;
    }
  }
  return true;
}

// A write returns once its bytes are queued; they have left only when the output queue is
// empty. tcdrain has no time-out, so the queue is watched until the deadline.
void WaitUntilSent(int fd, timespec deadline) {
  for (;;) {
    int pending = 0;
    if (ioctl(fd, TIOCOUTQ, &pending) != 0 || pending <= 0) {
      return;
    }
    const int left = MillisecondsUntil(deadline, MonotonicNow());
    if (left == 0) {
      return;
    }
    PauseMilliseconds(static_cast<unsigned>(std::min(left, kQueueCheckMilliseconds)));
  }
}

}  // namespace

termios BuildLineSettings() {
  termios settings{};
  settings.c_cflag = CS8 | CREAD | CLOCAL;
  cfsetispeed(&settings, B1200);
  cfsetospeed(&settings, B1200);
  return settings;
}

bool RawLineSettings(const termios& current, termios* raw) {
  if (current.c_iflag == 0 && current.c_oflag == 0 && current.c_lflag == 0) {
    return false;
  }
  *raw = current;
  raw->c_iflag = 0;
  raw->c_oflag = 0;
  raw->c_lflag = 0;
  return true;
}

unsigned WriteTimeoutMilliseconds(std::size_t bytes) {
  return kWriteTimeoutPerByteMilliseconds * static_cast<unsigned>(bytes) +
         kWriteTimeoutConstantMilliseconds;
}

bool PreparePanelPort(PanelPort* port) {
  int fd = OpenPort();
  if (fd < 0) {
    ShowMessage("COM-Port not available...\n");
    return false;
  }
  const termios settings = BuildLineSettings();
  tcsetattr(fd, TCSANOW, &settings);
  HoldModemLinesOff(fd);
  // Closing the configured line is what makes the panel restart.
  ClosePort(fd);

  ShowMessage("Waiting for panel to restart...\n");
  CountDownPanelRestart();

  // The reopened port keeps the settings applied above; they are not applied again: the speed
  // once more (with DTR off) would restart the panel once more. A node that came back cooked is
  // only made raw, at the speed it has. The open raised DTR and RTS, which go off after that.
  // The write time-out needs no setting: every write keeps it.
  fd = OpenPort();
  if (fd < 0) {
    ShowMessage("COM-Port not available...\n");
    return false;
  }
  termios current{};
  termios raw{};
  if (tcgetattr(fd, &current) == 0 && RawLineSettings(current, &raw)) {
    tcsetattr(fd, TCSANOW, &raw);
  }
  HoldModemLinesOff(fd);
  port->fd = fd;
  return true;
}

void WritePanelFrame(PanelPort port, const PanelFrame& frame) {
  const timespec deadline = AddMilliseconds(MonotonicNow(), WriteTimeoutMilliseconds(frame.size()));
  if (QueueBytes(port.fd, frame.data(), frame.size(), deadline)) {
    WaitUntilSent(port.fd, deadline);
  }
}

void ClosePanelPort(PanelPort port) {
  ClosePort(port.fd);
}
