#include "font_render.h"

#include "font_table.h"
#include "panel_geometry.h"

uint8_t GlyphIndex(uint8_t code) {
  if (code >= 0x20 && code <= 0x7E) return static_cast<uint8_t>(code - 0x20);
  if (code == 0x12) return kGlyphUpDownArrow;
  if (code == 0xA7) return kGlyphDegree;
  return kGlyphPlaceholder;
}

uint8_t GlyphRow(uint8_t code, uint8_t row) {
  return ReadFlashByte(&kGlyphTable[GlyphIndex(code)][row]);
}

uint16_t CellRowBits(uint8_t code, bool marked, uint8_t row) {
  constexpr uint16_t kCellMask = (1u << kCellWidth) - 1;
  // Bit 9 is the cell's left edge; the glyph's bit 7 goes to cell column kGlyphLeft.
  const uint16_t bits = static_cast<uint16_t>(GlyphRow(code, row) << (kCellWidth - 8 - kGlyphLeft));
  return marked ? static_cast<uint16_t>(~bits & kCellMask) : bits;
}
