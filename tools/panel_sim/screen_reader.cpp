#include "panel_sim/screen_reader.h"

#include <array>
#include <cstddef>
#include <cstdint>

#include "font_render.h"

namespace {

using CellBits = std::array<std::uint16_t, kCellHeight>;

struct GlyphTable {
  std::array<CellBits, 256> plain{};
  std::array<CellBits, 256> marked{};
};

const GlyphTable& Table() {
  static const GlyphTable table = [] {
    GlyphTable made;
    for (int code = 0; code < 256; ++code) {
      for (int row = 0; row < kCellHeight; ++row) {
        const auto byte = static_cast<std::uint8_t>(code);
        const auto at = static_cast<std::uint8_t>(row);
        made.plain[static_cast<std::size_t>(code)][static_cast<std::size_t>(row)] =
            CellRowBits(byte, false, at);
        made.marked[static_cast<std::size_t>(code)][static_cast<std::size_t>(row)] =
            CellRowBits(byte, true, at);
      }
    }
    return made;
  }();
  return table;
}

// The lowest code whose cell (plain or marked) has these pixels: -1 and unmarked when none.
int Match(const CellBits& bits, bool* marked) {
  const GlyphTable& table = Table();
  for (int code = 0; code < 256; ++code) {
    if (table.plain[static_cast<std::size_t>(code)] == bits) {
      *marked = false;
      return code;
    }
    if (table.marked[static_cast<std::size_t>(code)] == bits) {
      *marked = true;
      return code;
    }
  }
  *marked = false;
  return -1;
}

}  // namespace

void ReadScreen(const ssd1322::Pixels& image, ScreenCells* cells) {
  for (int line = 0; line < kScreenLines; ++line) {
    for (int column = 0; column < kScreenColumns; ++column) {
      CellBits bits{};
      for (int row = 0; row < kCellHeight; ++row) {
        const int y = kGridTop + kCellHeight * line + row;
        std::uint16_t value = 0;
        for (int x = 0; x < kCellWidth; ++x) {
          // Lit from the middle grey up, as the firmware reads its own levels.
          const std::uint8_t level =
              image[static_cast<std::size_t>(y) * ssd1322::kWidth +
                    static_cast<std::size_t>(kGridLeft + kCellWidth * column + x)];
          value = static_cast<std::uint16_t>(value << 1 | (level >= 8 ? 1 : 0));
        }
        bits[static_cast<std::size_t>(row)] = value;
      }
      const auto cell = static_cast<std::size_t>(line * kScreenColumns + column);
      bool marked = false;
      cells->bytes[cell] = Match(bits, &marked);
      cells->marked[cell] = marked;
    }
  }
}

int GlyphClassOf(std::uint8_t code) {
  bool marked = false;
  return Match(Table().plain[code], &marked);
}
