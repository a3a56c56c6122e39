// The screen: the waiting page, pages shown, only changed cells redrawn, the stale sign, and the
// pixels as the controller gets them.
#include "panel_screen.h"

#include <gtest/gtest.h>

#include <array>
#include <random>

#include "firmware_pairs.h"
#include "font_render.h"

namespace {

// The controller's RAM as the windows write it: two pixels a byte, left in the high nibble.
struct DisplayModel {
  std::array<std::array<std::uint8_t, kScreenWidth>, kScreenHeight> pixels{};
  int windows = 0;
  long bytes = 0;

  void Write(const PanelScreen& screen, const RedrawWindow& window) {
    ++windows;
    std::array<std::uint8_t, kScreenWidth / 2> row{};
    for (int y = window.first_row; y <= window.last_row; ++y) {
      RenderRow(screen, static_cast<std::uint8_t>(y), window.first_column, window.last_column,
                row.data());
      const int count = 2 * (window.last_column - window.first_column + 1);
      for (int i = 0; i < count; ++i) {
        const int x = window.first_column * kPixelsPerColumn + 2 * i;
        pixels[y][x] = row[i] >> 4;
        pixels[y][x + 1] = row[i] & 0x0F;
      }
      bytes += count;
    }
  }

  // Draws all that is due, as the driver does.
  void DrawChanges(PanelScreen* screen) {
    RedrawWindow window{};
    while (NextRedraw(screen, &window)) Write(*screen, window);
  }

  bool Matches(const PanelScreen& screen) const {
    for (int y = 0; y < kScreenHeight; ++y) {
      for (int x = 0; x < kScreenWidth; ++x) {
        if (pixels[y][x] != ScreenPixel(screen, x, y)) return false;
      }
    }
    return true;
  }
};

std::string LineText(const PanelScreen& screen, int line) {
  std::string text;
  for (int column = 0; column < kScreenColumns; ++column) {
    text.push_back(static_cast<char>(CellCode(screen, line * kScreenColumns + column)));
  }
  return text;
}

TEST(FwCoreScreen, WaitsForTheRelayThenShowsTheFirstPair) {
  Panel panel;
  EXPECT_EQ(LineText(panel.screen, 2), " waiting for panel-relay ");
  EXPECT_EQ(LineText(panel.screen, 0), std::string(25, ' '));
  DisplayModel display;
  display.DrawChanges(&panel.screen);
  EXPECT_EQ(display.windows, 1);  // the whole screen, since its content is unknown
  EXPECT_EQ(display.bytes, kScreenWidth * kScreenHeight / 2);
  EXPECT_TRUE(display.Matches(panel.screen));
  // Waiting is not stale, however long it lasts.
  CheckStale(&panel.screen, 600000);
  EXPECT_EQ(panel.screen.mode, ScreenMode::kWaiting);

  const Page page = NumberedPage(0);
  panel.Feed(PairBytes(page), 600000);
  EXPECT_EQ(panel.screen.mode, ScreenMode::kLive);
  display.DrawChanges(&panel.screen);
  EXPECT_TRUE(display.Matches(panel.screen));
}

TEST(FwCoreScreen, OnlyChangedCellsAreRedrawn) {
  Panel panel;
  DisplayModel display;
  Page page{std::string(125, ' '), std::string(125, '0')};
  panel.Feed(PairBytes(page));
  display.DrawChanges(&panel.screen);

  // The same pair again: nothing to draw.
  panel.Feed(PairBytes(page));
  RedrawWindow window{};
  EXPECT_FALSE(NextRedraw(&panel.screen, &window));

  // One cell (line 1, column 3: x 33..42) changes: one window of the 4-px columns around it.
  page.text[25 + 3] = 'X';
  panel.Feed(PairBytes(page));
  for (std::uint8_t cell = 0; cell < kScreenCells; ++cell) {
    EXPECT_EQ(CellChanged(panel.screen, cell), cell == 28) << "cell " << int{cell};
  }
  ASSERT_TRUE(NextRedraw(&panel.screen, &window));
  EXPECT_EQ(window.first_column, 33 / 4);
  EXPECT_EQ(window.last_column, 42 / 4);
  EXPECT_EQ(window.first_row, 2 + 12);
  EXPECT_EQ(window.last_row, 2 + 12 + 11);
  display.Write(panel.screen, window);
  EXPECT_FALSE(NextRedraw(&panel.screen, &window));
  EXPECT_TRUE(display.Matches(panel.screen));

  // A mark alone is a change too.
  page.marks[124] = '1';
  panel.Feed(PairBytes(page));
  ASSERT_TRUE(NextRedraw(&panel.screen, &window));
  EXPECT_EQ(window.last_column, kScreenColumnAddresses - 1);
  EXPECT_EQ(window.first_row, 2 + 4 * 12);
  display.Write(panel.screen, window);

  // Cells one apart are drawn in one window; cells further apart in two.
  page.text[0] = 'A';
  page.text[2] = 'B';
  page.text[10] = 'C';
  panel.Feed(PairBytes(page));
  display.windows = 0;
  display.DrawChanges(&panel.screen);
  EXPECT_EQ(display.windows, 2);
  EXPECT_TRUE(display.Matches(panel.screen));
}

TEST(FwCoreScreen, PartialRedrawsKeepTheDisplayEqualToThePage) {
  // Pages that change a few cells at random, marks included: after each page's redraw the
  // display holds what the screen says everywhere, neighbours of changed cells included.
  std::mt19937 random(125);
  std::uniform_int_distribution<int> cell_pick(0, kScreenCells - 1);
  std::uniform_int_distribution<int> byte_pick(0, 255);
  Panel panel;
  DisplayModel display;
  display.DrawChanges(&panel.screen);
  Page page{std::string(125, ' '), std::string(125, '0')};
  long full_redraw_bytes = kScreenWidth * kScreenHeight / 2;
  for (int step = 0; step < 300; ++step) {
    const int changes = step % 7;
    for (int i = 0; i < changes; ++i) {
      const int cell = cell_pick(random);
      page.text[cell] = static_cast<char>(byte_pick(random));
      page.marks[cell] = byte_pick(random) % 2 ? '1' : '0';
    }
    panel.Feed(PairBytes(page));
    const long before = display.bytes;
    display.DrawChanges(&panel.screen);
    ASSERT_TRUE(display.Matches(panel.screen)) << "step " << step;
    ASSERT_LE(display.bytes - before, full_redraw_bytes);
  }
}

TEST(FwCoreScreen, StaleAfterThreeSecondsWithoutAPairKeepingThePage) {
  Panel panel;
  DisplayModel display;
  const Page page = NumberedPage(3);
  const std::uint32_t start = 0xFFFFF000u;  // millis() wraps within the wait
  panel.Feed(PairBytes(page), start);
  display.DrawChanges(&panel.screen);

  CheckStale(&panel.screen, start + kStaleAfterMs - 1);
  EXPECT_EQ(panel.screen.mode, ScreenMode::kLive);
  RedrawWindow window{};
  EXPECT_FALSE(NextRedraw(&panel.screen, &window));

  CheckStale(&panel.screen, start + kStaleAfterMs);
  EXPECT_EQ(panel.screen.mode, ScreenMode::kStale);
  EXPECT_TRUE(panel.Shows(page));
  // The sign is drawn in the margins only: rows above and below the grid, full width.
  display.windows = 0;
  display.DrawChanges(&panel.screen);
  EXPECT_EQ(display.windows, 2);
  EXPECT_TRUE(display.Matches(panel.screen));
  EXPECT_EQ(ScreenPixel(panel.screen, 0, 0), kLevelLit);
  EXPECT_EQ(ScreenPixel(panel.screen, 8, 63), kLevelDark);
  EXPECT_EQ(ScreenPixel(panel.screen, 0, kGridTop), kLevelDark);

  // The next pair takes the sign away; the same page needs no cell redrawn.
  panel.Feed(PairBytes(page), start + 10000);
  EXPECT_EQ(panel.screen.mode, ScreenMode::kLive);
  display.windows = 0;
  display.DrawChanges(&panel.screen);
  EXPECT_EQ(display.windows, 2);
  EXPECT_EQ(ScreenPixel(panel.screen, 0, 0), kLevelDark);
  EXPECT_TRUE(display.Matches(panel.screen));
}

TEST(FwCoreScreen, CellsAreDrawnWhereTheGeometrySaysInverseWhenMarked) {
  Panel panel;
  Page page{std::string(125, ' '), std::string(125, '0')};
  page.text[0] = 'H';
  page.marks[1] = '1';  // a marked space: a lit block
  panel.Feed(PairBytes(page));
  for (int y = 0; y < kCellHeight; ++y) {
    for (int x = 0; x < kCellWidth; ++x) {
      const bool lit_h = (CellRowBits('H', false, static_cast<std::uint8_t>(y)) >> (9 - x)) & 1;
      EXPECT_EQ(ScreenPixel(panel.screen, kGridLeft + x, kGridTop + y),
                lit_h ? kLevelLit : kLevelDark);
      EXPECT_EQ(ScreenPixel(panel.screen, kGridLeft + kCellWidth + x, kGridTop + y), kLevelLit);
    }
  }
  // Margins stay dark while live.
  for (int y = 0; y < kScreenHeight; ++y) {
    EXPECT_EQ(ScreenPixel(panel.screen, kGridLeft - 1, y), kLevelDark);
    EXPECT_EQ(ScreenPixel(panel.screen, kScreenWidth - 1, y), kLevelDark);
  }
}

}  // namespace
