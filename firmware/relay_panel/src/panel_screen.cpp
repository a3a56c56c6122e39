#include "panel_screen.h"

#include "font_render.h"

namespace {

constexpr char kWaitingLine[] = "waiting for panel-relay";
constexpr uint8_t kWaitingLineNumber = 2;
constexpr int kGridRight = kGridLeft + kScreenColumns * kCellWidth;  // first pixel after it
constexpr int kGridBottom = kGridTop + kScreenLines * kCellHeight;
// Runs of changed cells with at most this many unchanged cells between them are drawn as one
// window: drawing one cell again costs less than starting another window.
constexpr uint8_t kBridgedCells = 1;

bool MarkBit(const uint8_t* marks, uint8_t cell) {
  return (marks[cell >> 3] >> (cell & 7)) & 1;
}

void SetMarkBit(uint8_t* marks, uint8_t cell, bool marked) {
  const uint8_t bit = static_cast<uint8_t>(1u << (cell & 7));
  if (marked) {
    marks[cell >> 3] |= bit;
  } else {
    marks[cell >> 3] &= static_cast<uint8_t>(~bit);
  }
}

bool StaleSignWanted(const PanelScreen& screen) {
  return screen.mode == ScreenMode::kStale;
}

// The stale sign: dashes 8 px long in the rows above and below the grid.
uint8_t MarginPixel(const PanelScreen& screen, int x) {
  return StaleSignWanted(screen) && (x & 8) == 0 ? kLevelLit : kLevelDark;
}

void MarkDrawn(PanelScreen* screen, uint8_t cell) {
  screen->drawn_text[cell] = screen->text[cell];
  SetMarkBit(screen->drawn_marks, cell, MarkBit(screen->marks, cell));
}

RedrawWindow WholeRows(uint8_t first_row, uint8_t last_row) {
  return RedrawWindow{0, kScreenColumnAddresses - 1, first_row, last_row};
}

}  // namespace

void StartScreen(PanelScreen* screen) {
  screen->mode = ScreenMode::kWaiting;
  screen->last_pair_ms = 0;
  for (uint8_t cell = 0; cell < kScreenCells; ++cell) {
    screen->text[cell] = ' ';
    screen->drawn_text[cell] = ' ';
  }
  for (uint8_t i = 0; i < kMarkBytes; ++i) {
    screen->marks[i] = 0;
    screen->drawn_marks[i] = 0;
  }
  const uint8_t length = sizeof kWaitingLine - 1;
  const uint8_t first = kWaitingLineNumber * kScreenColumns + (kScreenColumns - length) / 2;
  for (uint8_t i = 0; i < length; ++i) {
    screen->text[first + i] = static_cast<uint8_t>(kWaitingLine[i]);
  }
  ForgetDrawnScreen(screen);
}

void ForgetDrawnScreen(PanelScreen* screen) {
  screen->whole_screen_due = true;
  screen->top_sign_drawn = false;
  screen->bottom_sign_drawn = false;
}

void ShowPair(PanelScreen* screen, const FrameReader& reader, uint32_t now_ms) {
  for (uint8_t cell = 0; cell < kScreenCells; ++cell) {
    screen->text[cell] = PairText(reader, cell);
    SetMarkBit(screen->marks, cell, PairMarked(reader, cell));
  }
  screen->mode = ScreenMode::kLive;
  screen->last_pair_ms = now_ms;
}

void CheckStale(PanelScreen* screen, uint32_t now_ms) {
  if (screen->mode == ScreenMode::kLive && now_ms - screen->last_pair_ms >= kStaleAfterMs) {
    screen->mode = ScreenMode::kStale;
  }
}

uint8_t CellCode(const PanelScreen& screen, uint8_t cell) {
  return screen.text[cell];
}

bool CellMarked(const PanelScreen& screen, uint8_t cell) {
  return MarkBit(screen.marks, cell);
}

bool CellChanged(const PanelScreen& screen, uint8_t cell) {
  return screen.text[cell] != screen.drawn_text[cell] ||
         MarkBit(screen.marks, cell) != MarkBit(screen.drawn_marks, cell);
}

bool NextRedraw(PanelScreen* screen, RedrawWindow* window) {
  const bool sign = StaleSignWanted(*screen);
  if (screen->whole_screen_due) {
    screen->whole_screen_due = false;
    for (uint8_t cell = 0; cell < kScreenCells; ++cell) MarkDrawn(screen, cell);
    screen->top_sign_drawn = sign;
    screen->bottom_sign_drawn = sign;
    *window = WholeRows(0, kScreenHeight - 1);
    return true;
  }
  if (screen->top_sign_drawn != sign) {
    screen->top_sign_drawn = sign;
    *window = WholeRows(0, kGridTop - 1);
    return true;
  }
  if (screen->bottom_sign_drawn != sign) {
    screen->bottom_sign_drawn = sign;
    *window = WholeRows(kGridBottom, kScreenHeight - 1);
    return true;
  }
  for (uint8_t line = 0; line < kScreenLines; ++line) {
    const uint8_t base = line * kScreenColumns;
    uint8_t first = 0;
    while (first < kScreenColumns && !CellChanged(*screen, base + first)) ++first;
    if (first == kScreenColumns) continue;
    // The run goes on while another changed cell follows within the bridged gap.
    uint8_t last = first;
    for (uint8_t column = first + 1; column < kScreenColumns && column - last <= kBridgedCells + 1;
         ++column) {
      if (CellChanged(*screen, base + column)) last = column;
    }
    for (uint8_t column = first; column <= last; ++column) MarkDrawn(screen, base + column);
    const int left = kGridLeft + first * kCellWidth;
    const int right = kGridLeft + (last + 1) * kCellWidth - 1;
    const int top = kGridTop + line * kCellHeight;
    *window = RedrawWindow{static_cast<uint8_t>(left / kPixelsPerColumn),
                           static_cast<uint8_t>(right / kPixelsPerColumn),
                           static_cast<uint8_t>(top), static_cast<uint8_t>(top + kCellHeight - 1)};
    return true;
  }
  return false;
}

uint8_t ScreenPixel(const PanelScreen& screen, int x, int y) {
  if (y < kGridTop || y >= kGridBottom) return MarginPixel(screen, x);
  if (x < kGridLeft || x >= kGridRight) return kLevelDark;
  const uint8_t line = static_cast<uint8_t>((y - kGridTop) / kCellHeight);
  const uint8_t row = static_cast<uint8_t>((y - kGridTop) % kCellHeight);
  const uint8_t cell = static_cast<uint8_t>(line * kScreenColumns + (x - kGridLeft) / kCellWidth);
  const uint16_t bits = CellRowBits(CellCode(screen, cell), CellMarked(screen, cell), row);
  const int offset = (x - kGridLeft) % kCellWidth;
  return (bits >> (kCellWidth - 1 - offset)) & 1 ? kLevelLit : kLevelDark;
}

// A full redraw is 16,384 pixels, so this decides whether a page change fits within the relay's
// 100 ms, also as the Arduino IDE builds it (-Os, where little is inlined and a shift by a
// variable count is a loop). The layout makes it cheap: the grid starts at x = 3 and a glyph's 8
// pixels sit at columns 1 to 8 of its 10-pixel cell, so cell c is byte 1 + 5c (the pixel before
// it and its left edge) and bytes 2 + 5c to 5 + 5c (its glyph row, two pixels a byte). The cells
// that touch the span are laid out that way, a glyph row at a time, then the span is copied out.
void RenderRow(const PanelScreen& screen, uint8_t y, uint8_t first_column, uint8_t last_column,
               uint8_t* out) {
  static_assert(kGridLeft == 3 && kCellWidth == 10 && kGlyphLeft == 1,
                "the byte layout below is for this grid");
  static const uint8_t kSpread[4] = {0x00, 0x0F, 0xF0, 0xFF};  // two pixels, left one first
  constexpr uint8_t kRowBytes = kScreenWidth / 2;
  uint8_t bytes[kRowBytes];
  if (y < kGridTop || y >= kGridBottom) {
    const bool sign = StaleSignWanted(screen);
    for (uint8_t b = 0; b < kRowBytes; ++b) {
      bytes[b] = sign && (b & 4) == 0 ? 0xFF : 0x00;  // dashes where (x & 8) == 0
    }
  } else {
    // Only the cells that touch the span: cell c touches bytes 1 + 5c to 6 + 5c.
    const uint8_t first_byte = static_cast<uint8_t>(first_column * 2);
    const uint8_t end_byte = static_cast<uint8_t>((last_column + 1) * 2);
    const uint8_t first = first_byte <= 6 ? 0 : static_cast<uint8_t>((first_byte - 2) / 5);
    uint8_t last = static_cast<uint8_t>((end_byte - 2) / 5);
    if (last >= kScreenColumns) last = kScreenColumns - 1;
    const uint8_t line = static_cast<uint8_t>((y - kGridTop) / kCellHeight);
    const uint8_t row = static_cast<uint8_t>((y - kGridTop) % kCellHeight);
    uint8_t cell = static_cast<uint8_t>(line * kScreenColumns + first);
    const uint8_t* marks = &screen.marks[cell >> 3];
    uint8_t mark = static_cast<uint8_t>(1u << (cell & 7));
    bytes[0] = 0x00;  // x = 0, 1: the margin
    bytes[kRowBytes - 1] = 0x00;
    uint8_t* to = &bytes[1 + 5 * first];
    // The pixel before the cell: the margin, or the edge of the cell before.
    uint8_t edge_before = first > 0 && CellMarked(screen, cell - 1) ? 1 : 0;
    for (uint8_t column = first; column <= last; ++column, ++cell) {
      const bool marked = (*marks & mark) != 0;
      mark = static_cast<uint8_t>(mark << 1);
      if (mark == 0) {
        mark = 1;
        ++marks;
      }
      uint8_t glyph = GlyphRow(screen.text[cell], row);
      if (marked) glyph = static_cast<uint8_t>(~glyph);
      const uint8_t edge = marked ? 1 : 0;  // a cell's edge columns: lit when marked
      *to++ = kSpread[edge_before << 1 | edge];
      *to++ = kSpread[glyph >> 6];
      *to++ = kSpread[(glyph >> 4) & 3];
      *to++ = kSpread[(glyph >> 2) & 3];
      *to++ = kSpread[glyph & 3];
      edge_before = edge;
    }
    // The last cell's edge, then the next cell's edge or the margin.
    const uint8_t edge_after = last + 1 < kScreenColumns && CellMarked(screen, cell) ? 1 : 0;
    *to = kSpread[edge_before << 1 | edge_after];
  }
  const uint8_t end = static_cast<uint8_t>((last_column + 1) * 2);
  for (uint8_t b = static_cast<uint8_t>(first_column * 2); b < end; ++b) *out++ = bytes[b];
}
