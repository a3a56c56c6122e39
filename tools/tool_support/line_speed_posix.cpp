// tcgetattr gives a B-constant, mapped here to its rate. On Linux a rate set as BOTHER is read
// with TCGETS2 first, in a file of its own, since the kernel's termios2 header cannot share a
// translation unit with <termios.h>.
#include <termios.h>

#include "tool_support/line_speed.h"

#if defined(__linux__)
// True, with the rate, when the line's output speed is set as BOTHER (line_speed_linux.cpp).
bool LineOutputBaudFromTermios2(int fd, unsigned* baud);
#endif

namespace {

struct SpeedCode {
  speed_t code;
  unsigned baud;
};

constexpr SpeedCode kSpeeds[] = {
    {B0, 0},         {B50, 50},       {B75, 75},         {B110, 110},       {B134, 134},
    {B150, 150},     {B200, 200},     {B300, 300},       {B600, 600},       {B1200, 1200},
    {B1800, 1800},   {B2400, 2400},   {B4800, 4800},     {B9600, 9600},     {B19200, 19200},
    {B38400, 38400}, {B57600, 57600}, {B115200, 115200}, {B230400, 230400},
};

}  // namespace

unsigned LineOutputBaud(int fd) {
#if defined(__linux__)
  unsigned baud = 0;
  if (LineOutputBaudFromTermios2(fd, &baud)) return baud;
#endif
  termios settings{};
  if (tcgetattr(fd, &settings) != 0) return 0;
  const speed_t code = cfgetospeed(&settings);
  for (const SpeedCode& speed : kSpeeds) {
    if (speed.code == code) return speed.baud;
  }
  return 0;
}
