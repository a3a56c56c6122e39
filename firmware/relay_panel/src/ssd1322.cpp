// SSD1322 over 4-wire SPI: D/C# low for a command byte, high for its parameters and for pixel
// data; bytes shifted MSB first, sampled on SCLK's rising edge (SPI mode 0). The RAM is written
// through a window: 15h sets its columns (4 pixels each), 75h its rows, 5Ch starts the data,
// two pixels a byte. The 256 px of the glass are the RAM's columns 1Ch to 5Bh.
#ifdef __AVR__

#include "ssd1322.h"

#include <avr/io.h>
#include <util/delay.h>

#include "board_pins.h"
#include "flash_table.h"
#include "panel_geometry.h"

namespace {

constexpr uint8_t kFirstGlassColumn = 0x1C;

// Command bytes.
constexpr uint8_t kSetColumns = 0x15;
constexpr uint8_t kSetRows = 0x75;
constexpr uint8_t kWriteRam = 0x5C;
constexpr uint8_t kDisplayOn = 0xAF;

// The controller's set-up for a 256x64 module, as the module makers give it: command byte, its
// parameter count, the parameters. Where they differ: clock B3 91 (two of three), enhancement
// B4 A0 FD (two of three), contrast C1 7F (the reset value; the makers use 7F to 9F), D1 A2 20
// (the command table's normal setting).
constexpr uint8_t kSetUp[] PANEL_FLASH = {
    0xFD, 1, 0x12,        // unlock the command interface
    0xAE, 0,              // display off while it is set up
    0xB3, 1, 0x91,        // clock divider and oscillator
    0xCA, 1, 0x3F,        // 64 rows multiplexed
    0xA2, 1, 0x00,        // display offset 0
    0xA1, 1, 0x00,        // start line 0
    0xA0, 2, 0x14, 0x11,  // horizontal increment, nibble remap (first byte's high nibble is the
                          // leftmost pixel), COM scan reversed, dual COM
    0xB5, 1, 0x00,        // GPIO pins off
    0xAB, 1, 0x01,        // internal VDD regulator
    0xB4, 2, 0xA0, 0xFD,  // external VSL, enhanced low grey levels
    0xC1, 1, 0x7F,        // contrast
    0xC7, 1, 0x0F,        // master current: full
    0xB9, 0,              // default linear grey table
    0xB1, 1, 0xE2,        // phase lengths
    0xD1, 2, 0xA2, 0x20,  // display enhancement B
    0xBB, 1, 0x1F,        // pre-charge voltage
    0xB6, 1, 0x08,        // second pre-charge period
    0xBE, 1, 0x07,        // VCOMH
    0xA6, 0,              // normal display (not all on, all off or inverted)
    0xA9, 0,              // partial display off
};

void Select() {
  PANEL_DISPLAY_PORT &= static_cast<uint8_t>(~(1u << kPinCs));
}
void Deselect() {
  PANEL_DISPLAY_PORT |= static_cast<uint8_t>(1u << kPinCs);
}
void CommandMode() {
  PANEL_DISPLAY_PORT &= static_cast<uint8_t>(~(1u << kPinDc));
}
void DataMode() {
  PANEL_DISPLAY_PORT |= static_cast<uint8_t>(1u << kPinDc);
}

// Returns once the byte is out, so that D/C# may change after it.
void SendByte(uint8_t byte) {
  SPDR = byte;
  while ((SPSR & (1u << SPIF)) == 0) {
  }
}

// Sends count (at least 1) bytes back to back: the next byte is fetched while one is on the
// wire, so the bus is busy for 16 of every ~20 cycles, which a redraw's 8 KB needs.
void SendBytes(const uint8_t* bytes, uint8_t count) {
  SPDR = *bytes++;
  while (--count != 0) {
    const uint8_t next = *bytes++;
    while ((SPSR & (1u << SPIF)) == 0) {
    }
    SPDR = next;
  }
  while ((SPSR & (1u << SPIF)) == 0) {
  }
}

void SendCommand(uint8_t command) {
  CommandMode();
  SendByte(command);
  DataMode();
}

void SendWindow(const RedrawWindow& window) {
  SendCommand(kSetColumns);
  SendByte(static_cast<uint8_t>(kFirstGlassColumn + window.first_column));
  SendByte(static_cast<uint8_t>(kFirstGlassColumn + window.last_column));
  SendCommand(kSetRows);
  SendByte(window.first_row);
  SendByte(window.last_row);
  SendCommand(kWriteRam);
}

void StartSpi() {
  PANEL_DISPLAY_PORT |= static_cast<uint8_t>((1u << kPinCs) | (1u << kPinReset));
  PANEL_DISPLAY_DDR |= static_cast<uint8_t>((1u << kPinSck) | (1u << kPinMosi) | (1u << kPinSpiSs) |
                                            (1u << kPinCs) | (1u << kPinDc) | (1u << kPinReset));
  SPCR = (1u << SPE) | (1u << MSTR);  // master, mode 0, MSB first, f/4 ...
  SPSR = (1u << SPI2X);               // ... doubled: 8 MHz at 16 MHz
}

// RES# low for at least 100 us (the power-on sequence's figure), then 300 ms before the first
// command, as the controller asks once its supply is stable.
void ResetController() {
  _delay_ms(1);
  PANEL_DISPLAY_PORT &= static_cast<uint8_t>(~(1u << kPinReset));
  _delay_us(200);
  PANEL_DISPLAY_PORT |= static_cast<uint8_t>(1u << kPinReset);
  _delay_ms(300);
}

void SendSetUp() {
  Select();
  uint8_t i = 0;
  while (i < sizeof kSetUp) {
    SendCommand(ReadFlashByte(&kSetUp[i++]));
    for (uint8_t count = ReadFlashByte(&kSetUp[i++]); count > 0; --count) {
      SendByte(ReadFlashByte(&kSetUp[i++]));
    }
  }
  Deselect();
}

}  // namespace

void BeginDisplay(PanelScreen* screen) {
  StartSpi();
  ResetController();
  SendSetUp();
  DrawScreenChanges(screen);
  Select();
  SendCommand(kDisplayOn);
  Deselect();
}

void DrawScreenChanges(PanelScreen* screen) {
  uint8_t row_bytes[kScreenWidth / 2];
  RedrawWindow window;
  while (NextRedraw(screen, &window)) {
    Select();
    SendWindow(window);
    const uint8_t count = static_cast<uint8_t>(2 * (window.last_column - window.first_column + 1));
    for (uint8_t y = window.first_row; y <= window.last_row; ++y) {
      RenderRow(*screen, y, window.first_column, window.last_column, row_bytes);
      SendBytes(row_bytes, count);
    }
    Deselect();
  }
}

#endif  // __AVR__
