// Constant tables live in flash on the AVR (its 2.5 KB of RAM cannot hold them) and are read
// through the program-memory instructions; natively they are ordinary constants.
#pragma once

#include <stdint.h>

#ifdef __AVR__
#include <avr/pgmspace.h>
#define PANEL_FLASH PROGMEM
inline uint8_t ReadFlashByte(const uint8_t* address) {
  return pgm_read_byte(address);
}
#else
#define PANEL_FLASH
inline uint8_t ReadFlashByte(const uint8_t* address) {
  return *address;
}
#endif
