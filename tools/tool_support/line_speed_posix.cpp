// tcgetattr gives a B-constant, mapped here to its rate. On Linux a rate set as BOTHER is read
// with TCGETS2 first.
#include <termios.h>

#include <algorithm>
#include <iterator>
#include <utility>

#include "tool_support/line_speed.h"

namespace {

// (B-constant, baud)
constexpr std::pair<speed_t, unsigned> kSpeeds[] = {
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
  const auto* found = std::find_if(std::begin(kSpeeds), std::end(kSpeeds),
                                   [code](const auto& speed) { return speed.first == code; });
  return found == std::end(kSpeeds) ? 0 : found->second;
}
