// Where the 5 lines of 25 cells sit on the 256x64 display, and the frame sizes the relay sends.
//
// 25 columns must fit 256 px: 10 px cells (250 px) are the widest that do, and 12-row cells
// (60 rows) the tallest for 5 lines. The grid is centred: 3 px margins left and right, 2 rows
// top and bottom. A cell's 10 px do not line up with the controller's 4-pixel column
// addresses, so redraws cover the aligned span around the changed cells (panel_screen.h).
#pragma once

#include <stdint.h>

constexpr uint8_t kScreenColumns = 25;  // cells in a line
constexpr uint8_t kScreenLines = 5;
constexpr uint8_t kScreenCells = kScreenColumns * kScreenLines;

constexpr int kScreenWidth = 256;  // pixels
constexpr int kScreenHeight = 64;
constexpr int kCellWidth = 10;
constexpr int kCellHeight = 12;
constexpr int kGridLeft = (kScreenWidth - kScreenColumns * kCellWidth) / 2;  // 3
constexpr int kGridTop = (kScreenHeight - kScreenLines * kCellHeight) / 2;   // 2
constexpr int kGlyphLeft = 1;  // the 8 px glyph within its 10 px cell

// The controller addresses its RAM in columns of 4 pixels: 64 of them across the screen.
constexpr int kPixelsPerColumn = 4;
constexpr int kScreenColumnAddresses = kScreenWidth / kPixelsPerColumn;

// Grey levels (the controller's 4 bits a pixel).
constexpr uint8_t kLevelDark = 0;
constexpr uint8_t kLevelLit = 15;

// The relay's frames: '<' + 125 text bytes + '>', then '>' + 125 bytes '0'/'1' + '<'.
constexpr uint8_t kFrameBytes = kScreenCells + 2;
constexpr uint8_t kPairBytes = 2 * kFrameBytes;
