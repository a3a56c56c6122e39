// The rate of a line set through termios2. Only the kernel's headers here: their struct termios
// is not the C library's, and the C library's headers do not name BOTHER.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "tool_support/line_speed.h"

bool LineOutputBaudFromTermios2(int fd, unsigned* baud) {
  termios2 settings{};
  if (ioctl(fd, TCGETS2, &settings) != 0 || (settings.c_cflag & CBAUD) != BOTHER) return false;
  *baud = settings.c_ospeed;
  return true;
}
