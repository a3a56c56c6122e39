// The panel's screen read back from the display model's image: each cell of the grid matched
// against the firmware's own glyph table, plain and inverted. The margins (where the stale sign
// is drawn) are not read.
#pragma once

#include <array>
#include <cstdint>

#include "panel_geometry.h"
#include "panel_sim/ssd1322_model.h"

struct ScreenCells {
  // The lowest byte drawn as the cell shows (bytes sharing a glyph, as the placeholder's, give
  // the same), or -1 where no glyph matches.
  std::array<int, kScreenCells> bytes{};
  std::array<bool, kScreenCells> marked{};
};

void ReadScreen(const ssd1322::Pixels& image, ScreenCells* cells);

// The byte ReadScreen gives for a cell drawn with `code`.
int GlyphClassOf(std::uint8_t code);
