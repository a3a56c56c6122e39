// The glyph table: a glyph for every byte, the codes the relay's translation makes, a placeholder
// unlike any glyph, and inverse video.
#include "font_render.h"

#include <gtest/gtest.h>

#include <array>
#include <set>

#include "font_table.h"

namespace {

using GlyphRows = std::array<std::uint8_t, kGlyphRows>;

GlyphRows RowsOf(std::uint8_t code) {
  GlyphRows rows{};
  for (std::uint8_t row = 0; row < kGlyphRows; ++row) rows[row] = GlyphRow(code, row);
  return rows;
}

bool Blank(const GlyphRows& rows) {
  for (std::uint8_t row : rows) {
    if (row != 0) return false;
  }
  return true;
}

TEST(FwCoreGlyphs, EveryByteHasAGlyphAndEveryGlyphIsDistinct) {
  std::set<GlyphRows> seen;
  for (unsigned code = 0x20; code <= 0x7E; ++code) {
    const GlyphRows rows = RowsOf(static_cast<std::uint8_t>(code));
    EXPECT_EQ(Blank(rows), code == ' ') << "code " << code;
    EXPECT_TRUE(seen.insert(rows).second) << "code " << code << " looks like another";
  }
  for (std::uint8_t code : {std::uint8_t{0x12}, std::uint8_t{0xA7}, std::uint8_t{0x00}}) {
    const GlyphRows rows = RowsOf(code);
    EXPECT_FALSE(Blank(rows)) << "code " << int{code};
    EXPECT_TRUE(seen.insert(rows).second) << "code " << int{code} << " looks like another";
  }
  // Every byte outside printable ASCII but the two codes is the one placeholder.
  for (unsigned code = 0; code < 256; ++code) {
    const auto byte = static_cast<std::uint8_t>(code);
    const bool own = (code >= 0x20 && code <= 0x7E) || code == 0x12 || code == 0xA7;
    EXPECT_LT(GlyphIndex(byte), kGlyphCount);
    EXPECT_EQ(GlyphIndex(byte) == kGlyphPlaceholder, !own) << "code " << code;
  }
}

TEST(FwCoreGlyphs, TheTranslatedCodesLookAsTheDocsSay) {
  // The up-down arrow: heads at the top and the bottom, a stem between.
  const GlyphRows arrow = RowsOf(0x12);
  EXPECT_EQ(arrow[2], 0x10);  // the tip of the upper head
  EXPECT_EQ(arrow[9], 0x10);  // the tip of the lower head
  // The degree sign: a small ring high in the cell, nothing below the middle.
  const GlyphRows degree = RowsOf(0xA7);
  EXPECT_NE(degree[1], 0);
  for (int row = 6; row < kGlyphRows; ++row) EXPECT_EQ(degree[row], 0) << "row " << row;
  // '*' stays '*', as the relay sends it for its star.
  EXPECT_EQ(GlyphIndex('*'), '*' - 0x20);
}

TEST(FwCoreGlyphs, CellsPlaceTheGlyphAndInvertMarkedOnes) {
  for (unsigned code = 0; code < 256; ++code) {
    const auto byte = static_cast<std::uint8_t>(code);
    for (std::uint8_t row = 0; row < kGlyphRows; ++row) {
      const std::uint16_t plain = CellRowBits(byte, false, row);
      EXPECT_EQ(plain, GlyphRow(byte, row) << 1) << "code " << code;  // cell columns 1..8
      EXPECT_EQ(plain & 0x201, 0) << "code " << code;                 // gaps at both edges
      EXPECT_EQ(CellRowBits(byte, true, row), (~plain) & 0x3FF) << "code " << code;
    }
  }
}

}  // namespace
