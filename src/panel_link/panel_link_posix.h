// POSIX values of the panel port, built apart so they can be checked.
#pragma once

#include <termios.h>

#include <cstddef>

// A termios built from zero: 1200 baud in and out, CS8 | CREAD | CLOCAL, raw (input, output
// and local flags 0: no parity, one stop bit, no flow control of any kind, no processing),
// every control character 0, so VMIN = VTIME = 0.
termios BuildLineSettings();

// The settings that make a reopened line raw, as the line settings above are (input, output and
// local flags 0), keeping all else the node has: its speed, framing and modem control (c_cflag)
// and its control characters. False when `current` is raw already, so nothing is to be set.
bool RawLineSettings(const termios& current, termios* raw);

// The whole time a write of `bytes` may take: 10 ms per byte + 100 ms (127 bytes: 1,370 ms).
unsigned WriteTimeoutMilliseconds(std::size_t bytes);
