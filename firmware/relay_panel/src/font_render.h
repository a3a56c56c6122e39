// From a cell's byte and mark to its pixels: the glyph table's rows, placed in the 10 px cell
// and inverted for a marked character.
#pragma once

#include <stdint.h>

// The glyph a byte is drawn with: printable ASCII its own, 0x12 the up-down arrow, 0xA7 the
// degree sign, every other byte the placeholder.
uint8_t GlyphIndex(uint8_t code);

// Row 0..11 of the byte's glyph, 8 px; bit 7 is the leftmost pixel, 1 lit.
uint8_t GlyphRow(uint8_t code, uint8_t row);

// Row 0..11 of the whole 10 px cell as shown, inverse video for a marked cell; bit 9 is the
// leftmost pixel, 1 lit.
uint16_t CellRowBits(uint8_t code, bool marked, uint8_t row);
