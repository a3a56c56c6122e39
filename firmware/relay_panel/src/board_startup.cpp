// Runs before the C++ start-up: the reset cause is cleared and the watchdog turned off. After a
// watchdog reset the watchdog stays on (at its shortest period); a bootloader turns it off, but
// a chip that starts the sketch without one would reset again every 16 ms.
#ifdef __AVR__

#include <avr/io.h>
#include <avr/wdt.h>

extern "C" void ClearResetCause() __attribute__((naked, used, section(".init3")));

extern "C" void ClearResetCause() {
  MCUSR = 0;
  wdt_disable();
}

#endif  // __AVR__
