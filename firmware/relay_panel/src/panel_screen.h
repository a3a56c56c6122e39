// The 5 lines of 25 cells the panel shows, what the display holds now, and what must be redrawn.
//
// The screen keeps each cell twice: as it should be shown and as it was last drawn. A redraw
// takes a run of changed cells in one line, widened to whole 4-pixel column addresses (the
// pixels of the neighbours it takes in are drawn again as they are), and counts it as drawn.
//
// Before the first pair the screen shows a waiting line. When no pair has come for
// kStaleAfterMs the last page stays and dashed lines in the top and bottom margins say it is
// stale; the next pair removes them.
#pragma once

#include <stdint.h>

#include "frame_reader.h"
#include "panel_geometry.h"

constexpr uint32_t kStaleAfterMs = 3000;
constexpr uint8_t kMarkBytes = (kScreenCells + 7) / 8;

enum class ScreenMode : uint8_t {
  kWaiting,  // no pair yet since the start
  kLive,     // a pair came less than kStaleAfterMs ago
  kStale,    // pairs stopped; the last page stays
};

struct PanelScreen {
  ScreenMode mode;
  bool whole_screen_due;  // the display's content is unknown: draw all of it
  bool top_sign_drawn;    // the stale sign's dashes, as drawn in each margin
  bool bottom_sign_drawn;
  uint32_t last_pair_ms;
  uint8_t text[kScreenCells];  // as it should be shown
  uint8_t marks[kMarkBytes];
  uint8_t drawn_text[kScreenCells];  // as the display holds it
  uint8_t drawn_marks[kMarkBytes];
};

// A rectangle of the display to write: column addresses (4 px each, 0..63 across the screen)
// and rows (0..63), both inclusive.
struct RedrawWindow {
  uint8_t first_column;
  uint8_t last_column;
  uint8_t first_row;
  uint8_t last_row;
};

// The waiting page, with the whole display to be drawn (its content is unknown at power-on).
void StartScreen(PanelScreen* screen);
// The whole display must be drawn again (it lost its content).
void ForgetDrawnScreen(PanelScreen* screen);

void ShowPair(PanelScreen* screen, const FrameReader& reader, uint32_t now_ms);
// Turns the page stale when no pair has come for kStaleAfterMs (millis() wraps safely).
void CheckStale(PanelScreen* screen, uint32_t now_ms);

uint8_t CellCode(const PanelScreen& screen, uint8_t cell);
bool CellMarked(const PanelScreen& screen, uint8_t cell);
bool CellChanged(const PanelScreen& screen, uint8_t cell);

// The next part of the display that differs from what should be shown, counted as drawn from
// here on; false when everything is drawn. The caller writes RenderRow for each of its rows.
bool NextRedraw(PanelScreen* screen, RedrawWindow* window);

// Pixel x, y (0..255, 0..63) as it should be shown: 0..15.
uint8_t ScreenPixel(const PanelScreen& screen, int x, int y);

// Pixel row y from column address first to last as the controller takes it: two pixels a
// byte, the left one in the high nibble; 2 * (last - first + 1) bytes to out.
void RenderRow(const PanelScreen& screen, uint8_t y, uint8_t first_column, uint8_t last_column,
               uint8_t* out);
