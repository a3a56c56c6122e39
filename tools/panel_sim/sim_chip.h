// The panel's chip in simavr: an ATmega32U4 at 16 MHz running the firmware's ELF, with the SSD1322
// model on its SPI pins, UART1 taken (not printed), SPI bytes timed as the clock divider says,
// simavr's real-time sleep off, and its resets counted. One thread: every call here runs the
// simulation or reads it, never from elsewhere.
#pragma once

#include <cstdint>
#include <string>

#include "panel_sim/ssd1322_model.h"

struct avr_t;
struct elf_firmware_t;
struct avr_spi_t;
struct avr_watchdog_t;

struct SimChip {
  avr_t* avr = nullptr;
  elf_firmware_t* firmware = nullptr;  // what was read from the ELF, kept until the end
  avr_spi_t* spi = nullptr;
  avr_watchdog_t* watchdog = nullptr;
  void (*core_reset)(avr_t*) = nullptr;  // simavr's own, called from ours
  ssd1322::Model display;
  std::string uart;  // what the firmware wrote to UART1
  std::uint64_t spi_bytes = 0;
  std::uint64_t last_spi_cycle = 0;  // cycle of the last byte the display took
  int watchdog_resets = 0;
  // The 1200-baud touch as the core makes it: the bootloader's key 0x7777 at 0x0800 with the
  // watchdog set to reset, seen now (touch_armed) and before the last watchdog reset.
  bool touch_armed = false;
  bool key_at_last_reset = false;
  std::uint64_t last_reset_cycle = 0;
  bool crashed = false;  // simavr stopped the core (a fault, or sleep with no wake-up)
};

constexpr std::uint32_t kClockHz = 16000000;

// Loads the ELF and makes the chip; false with error set when it cannot.
bool StartSimChip(const char* elf_path, SimChip* chip, std::string* error);

// Ends the simulation and frees what simavr and the ELF reader hold.
void StopSimChip(SimChip* chip);

// Runs the simulation until its cycle count reaches `until` (or the core stops).
void RunSimChip(SimChip* chip, std::uint64_t until);

// Looks for the armed touch; call between slices (it lasts about 120 ms).
void WatchBootKey(SimChip* chip);

std::uint64_t SimCycle(const SimChip& chip);

// A data-space byte (register, I/O or SRAM) as the core sees it.
std::uint8_t SimData(const SimChip& chip, std::uint16_t address);

// The display model's bytes per SPI transfer at the SPI's current clock divider, in cycles.
std::uint64_t SpiByteCycles(const SimChip& chip);
