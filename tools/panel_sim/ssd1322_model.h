// A model of the SSD1322 display controller as the panel drives it over 4-wire SPI: each byte with
// its D/C level goes in, the 256x64 image that the OLED would light comes out. Written from the
// controller's command table and RAM layout alone; it knows nothing of the firmware.
//
// What it models: the command lock (FD), sleep on/off (AE/AF), the display modes (A4 to A7), the
// column and row windows (15, 75) with their pointers, RAM writes after 5C with the horizontal
// and vertical increments and their wrap, the A0 remap's nibble order, column mirror and COM
// scan direction, start line (A1), MUX ratio (CA), the grey-scale table (B8 + 00, B9) and the
// parameters of every other command (consumed and counted, without effect on the image).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace ssd1322 {

constexpr int kRamColumns = 120;  // column addresses, 4 pixels each
constexpr int kRamRows = 128;
constexpr int kSegments = 4 * kRamColumns;
constexpr int kWidth = 256;
constexpr int kHeight = 64;
// The 256-pixel glass shows segments 112 to 367: column addresses 0x1C to 0x5B.
constexpr int kFirstVisibleSegment = 4 * 0x1C;
constexpr std::size_t kPixels = std::size_t{kWidth} * kHeight;

// The glass's pixels, row by row.
using Pixels = std::array<std::uint8_t, kPixels>;

struct Model {
  std::array<std::uint8_t, std::size_t{kRamRows} * kSegments>
      ram{};  // one grey level (0..15) per pixel
  int column_start = 0, column_end = kRamColumns - 1;
  int row_start = 0, row_end = kRamRows - 1;
  int column = 0, row = 0;
  bool second_byte = false;  // the next data byte is the column's second
  std::uint8_t remap = 0x00, dual_com = 0x01;
  int start_line = 0;
  int mux = 128;
  bool locked = false;
  bool writing = false;  // data bytes go to RAM (after 5C, until the next command)
  bool display_on = false;
  std::uint8_t mode = 0xA6;             // A4 all off, A5 all on, A6 normal, A7 inverse
  std::array<std::uint8_t, 16> grey{};  // pulse width per level; levels 0 and 1 stay unlit
  std::uint8_t command = 0;
  std::array<std::uint8_t, 16> parameters{};
  int parameters_wanted = 0, parameters_got = 0;
  bool pending_grey_table = false;  // B8's 15 widths, in force after the 00 that follows
  std::array<std::uint8_t, 16> pending_grey{};
  // Counters for the tests and the measurements.
  long commands = 0, data_bytes = 0, unknown_commands = 0, ignored_bytes = 0;
  long changes = 0;  // RAM writes and display state changes, to see that something happened
};

// The state after RES# (and at power-on).
void Reset(Model* model);

// One byte shifted in while CS# was low; data is the D/C# level (high: parameter or RAM data).
void Byte(Model* model, std::uint8_t byte, bool data);

// The image as the glass shows it: a grey level 0..15 per pixel, row by row, with the display
// mode and sleep applied (off: all 0).
void Image(const Model& model, Pixels* image);

// How brightly a level lights, 0..255, from the grey-scale table in force (0 and 1 unlit).
std::uint8_t Brightness(const Model& model, std::uint8_t level);

}  // namespace ssd1322
