#include "panel_sim/sim_chip.h"

#include <avr_ioport.h>
#include <avr_spi.h>
#include <avr_uart.h>
#include <avr_watchdog.h>
#include <sim_avr.h>
#include <sim_cycle_timers.h>
#include <sim_elf.h>
#include <sim_interrupts.h>
#include <sim_io.h>
#include <sim_irq.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kPinReset = 4;        // PB4: RES#
constexpr int kPinDataCommand = 5;  // PB5: D/C#
constexpr int kPinSelect = 6;       // PB6: CS#
constexpr std::uint16_t kPortB = 0x25;
constexpr std::uint16_t kBootKeyAddress = 0x0800;

// simavr's core reset is a plain function pointer without a parameter of ours: the one chip.
SimChip* the_chip = nullptr;

avr_io_t* FindIo(const avr_t* avr, const char* kind) {
  for (avr_io_t* io = avr->io_port; io != nullptr; io = io->next) {
    if (io->kind != nullptr && std::strcmp(io->kind, kind) == 0) return io;
  }
  return nullptr;
}

// simavr's messages go to standard error, errors only: standard output is the harness's report.
void QuietLogger(avr_t*, const int level, const char* format, va_list arguments) {
  if (level <= LOG_ERROR) std::vfprintf(stderr, format, arguments);
}

// No usleep for the time the core sleeps: the harness paces the simulation itself.
void NoSleep(avr_t*, avr_cycle_count_t) {}

void OnUartByte(avr_irq_t*, uint32_t value, void* param) {
  static_cast<SimChip*>(param)->uart.push_back(static_cast<char>(value & 0xFF));
}

void OnResetPin(avr_irq_t*, uint32_t value, void* param) {
  if (value == 0) ssd1322::Reset(&static_cast<SimChip*>(param)->display);
}

// The byte is out: as simavr's own completion, SPIF set (with its interrupt) and the byte on the
// output IRQ, and the display takes it while CS# is low.
avr_cycle_count_t SpiDone(avr_t* avr, avr_cycle_count_t when, void* param) {
  auto* chip = static_cast<SimChip*>(param);
  avr_spi_t* spi = chip->spi;
  if (avr_regbit_get(avr, spi->spe) != 0 && avr_regbit_get(avr, spi->mstr) != 0) {
    const std::uint8_t byte = avr->data[spi->r_spdr];
    avr_raise_interrupt(avr, &spi->spi);
    avr_raise_irq(spi->io.irq + SPI_IRQ_OUTPUT, byte);
    const std::uint8_t port = avr->data[kPortB];
    if ((port & (1U << kPinSelect)) == 0) {
      ssd1322::Byte(&chip->display, byte, (port & (1U << kPinDataCommand)) != 0);
      ++chip->spi_bytes;
      chip->last_spi_cycle = when;
    }
  }
  return 0;
}

// simavr 1.6 completes every byte 100 us after SPDR is written, whatever the divider; a byte
// takes 8 SCK periods, and that is when it is done here.
void OnSpdrWrite(avr_t* avr, avr_io_addr_t address, uint8_t value, void* param) {
  auto* chip = static_cast<SimChip*>(param);
  avr_regbit_clear(avr, chip->spi->spi.raised);
  avr_core_watch_write(avr, address, value);
  avr_cycle_timer_cancel(avr, SpiDone, chip);
  avr_cycle_timer_register(avr, SpiByteCycles(*chip), SpiDone, chip);
}

void OnCoreReset(avr_t* avr) {
  SimChip* chip = the_chip;
  // The watchdog marks a reset of its own before the I/O modules are reset.
  if (chip->watchdog != nullptr && chip->watchdog->reset_context.wdrf != 0) {
    ++chip->watchdog_resets;
    chip->key_at_last_reset = chip->touch_armed;
    chip->touch_armed = false;
    chip->last_reset_cycle = avr->cycle;
  }
  if (chip->core_reset != nullptr) chip->core_reset(avr);
}

}  // namespace

std::uint64_t SpiByteCycles(const SimChip& chip) {
  avr_t* avr = chip.avr;
  const avr_spi_t* spi = chip.spi;
  static constexpr unsigned kDivider[4] = {4, 16, 64, 128};
  const unsigned rate = avr_regbit_get(avr, spi->spr[0]) | avr_regbit_get(avr, spi->spr[1]) << 1;
  unsigned divider = kDivider[rate];
  if (avr_regbit_get(avr, spi->spr[2]) != 0) divider /= 2;  // SPI2X
  return 8ULL * divider;
}

bool StartSimChip(const char* elf_path, SimChip* chip, std::string* error) {
  avr_global_logger_set(QuietLogger);
  chip->firmware = new elf_firmware_t{};
  elf_firmware_t& firmware = *chip->firmware;
  if (elf_read_firmware(elf_path, &firmware) != 0) {
    *error = std::string("cannot read the firmware ") + elf_path;
    return false;
  }
  std::strcpy(firmware.mmcu, "atmega32u4");
  firmware.frequency = kClockHz;
  avr_t* avr = avr_make_mcu_by_name(firmware.mmcu);
  if (avr == nullptr || avr_init(avr) != 0) {
    *error = "simavr has no atmega32u4";
    return false;
  }
  avr_load_firmware(avr, &firmware);
  avr->frequency = kClockHz;
  avr->sleep = NoSleep;
  avr->log = 1;  // errors only
  chip->avr = avr;
  the_chip = chip;

  avr_io_t* spi = FindIo(avr, "spi");
  if (spi == nullptr) {
    *error = "simavr's atmega32u4 has no SPI";
    return false;
  }
  chip->spi = reinterpret_cast<avr_spi_t*>(spi);  // the avr_io_t is the module's first member
  // In place of simavr's own SPDR writer, which it would otherwise call as well.
  auto& writer = avr->io[AVR_DATA_TO_IO(chip->spi->r_spdr)].w;
  writer.c = OnSpdrWrite;
  writer.param = chip;
  chip->watchdog = reinterpret_cast<avr_watchdog_t*>(FindIo(avr, "watchdog"));

  std::uint32_t flags = 0;
  avr_ioctl(avr, AVR_IOCTL_UART_GET_FLAGS('1'), &flags);
  flags &= ~static_cast<std::uint32_t>(AVR_UART_FLAG_STDIO | AVR_UART_FLAG_POLL_SLEEP);
  avr_ioctl(avr, AVR_IOCTL_UART_SET_FLAGS('1'), &flags);
  avr_irq_register_notify(avr_io_getirq(avr, AVR_IOCTL_UART_GETIRQ('1'), UART_IRQ_OUTPUT),
                          OnUartByte, chip);
  avr_irq_register_notify(avr_io_getirq(avr, AVR_IOCTL_IOPORT_GETIRQ('B'), kPinReset), OnResetPin,
                          chip);

  ssd1322::Reset(&chip->display);
  chip->core_reset = avr->reset;
  avr->reset = OnCoreReset;
  return true;
}

void StopSimChip(SimChip* chip) {
  if (chip->avr != nullptr) avr_terminate(chip->avr);
  chip->avr = nullptr;
  if (elf_firmware_t* firmware = chip->firmware; firmware != nullptr) {
    // The ELF reader's allocations, made with malloc.
    std::free(firmware->flash);
    std::free(firmware->eeprom);
    std::free(firmware->fuse);
    std::free(firmware->lockbits);
    for (std::uint32_t i = 0; i < firmware->symbolcount; ++i) std::free(firmware->symbol[i]);
    std::free(static_cast<void*>(firmware->symbol));
    delete firmware;
  }
  chip->firmware = nullptr;
}

void RunSimChip(SimChip* chip, std::uint64_t until) {
  avr_t* avr = chip->avr;
  while (avr->cycle < until) {
    const int state = avr_run(avr);
    if (state == cpu_Done || state == cpu_Crashed) {
      chip->crashed = true;
      return;
    }
  }
}

void WatchBootKey(SimChip* chip) {
  constexpr std::uint16_t kWatchdogControl = 0x60;  // WDTCSR
  constexpr std::uint8_t kWatchdogReset = 0x08;     // WDE
  const std::uint8_t* data = chip->avr->data;
  chip->touch_armed = data[kBootKeyAddress] == 0x77 && data[kBootKeyAddress + 1] == 0x77 &&
                      (data[kWatchdogControl] & kWatchdogReset) != 0;
}

std::uint64_t SimCycle(const SimChip& chip) {
  return chip.avr->cycle;
}

std::uint8_t SimData(const SimChip& chip, std::uint16_t address) {
  return chip.avr->data[address];
}
