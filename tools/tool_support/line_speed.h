// The speed a serial line (or pseudo-terminal) is set to, in baud, however it was set: with a
// B-constant through tcsetattr, or as an arbitrary rate through termios2 (CBAUD = BOTHER, the
// rate in c_ospeed), which is how Wine 10 sets every rate and which tcgetattr reports
// only as BOTHER. POSIX only.
#pragma once

// The line's output speed in baud, or 0 when it cannot be read.
unsigned LineOutputBaud(int fd);

#if defined(__linux__)
// True, with the rate, when the line's output speed is set as BOTHER; in a file of its own,
// line_speed_linux.cpp, since the kernel's termios2 header cannot share a translation unit with
// <termios.h>.
bool LineOutputBaudFromTermios2(int fd, unsigned* baud);
#endif
