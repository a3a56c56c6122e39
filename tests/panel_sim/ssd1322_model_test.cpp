// The display model against the controller's facts: the window and its wrap, the nibble order of
// the remap, commands against data by D/C, the lock, and what the glass shows.
#include "panel_sim/ssd1322_model.h"

#include <gtest/gtest.h>

#include <array>
#include <initializer_list>

namespace {

using ssd1322::Model;

void Command(Model* model, std::uint8_t command, std::initializer_list<std::uint8_t> parameters) {
  ssd1322::Byte(model, command, false);
  for (std::uint8_t parameter : parameters) ssd1322::Byte(model, parameter, true);
}

void Data(Model* model, std::initializer_list<std::uint8_t> bytes) {
  for (std::uint8_t byte : bytes) ssd1322::Byte(model, byte, true);
}

// The firmware's set-up: the makers' remap, the 256x64 window, display on.
Model Prepared() {
  Model model;
  ssd1322::Reset(&model);
  Command(&model, 0xFD, {0x12});
  Command(&model, 0xA0, {0x14, 0x11});
  Command(&model, 0xCA, {0x3F});
  Command(&model, 0xAF, {});
  return model;
}

ssd1322::Pixels Shown(const Model& model) {
  ssd1322::Pixels image{};
  ssd1322::Image(model, &image);
  return image;
}

std::uint8_t At(const ssd1322::Pixels& image, int x, int y) {
  return image[static_cast<std::size_t>(y) * ssd1322::kWidth + static_cast<std::size_t>(x)];
}

TEST(Ssd1322Model, FirstByteHighNibbleIsTheLeftPixelWithTheNibbleRemap) {
  Model model = Prepared();
  Command(&model, 0x15, {0x1C, 0x5B});
  Command(&model, 0x75, {0x00, 0x3F});
  Command(&model, 0x5C, {});
  Data(&model, {0x12, 0x34});
  const auto image = Shown(model);
  EXPECT_EQ(At(image, 0, 0), 1);
  EXPECT_EQ(At(image, 1, 0), 2);
  EXPECT_EQ(At(image, 2, 0), 3);
  EXPECT_EQ(At(image, 3, 0), 4);
}

TEST(Ssd1322Model, ResetNibbleOrderPutsTheSecondByteLeft) {
  Model model = Prepared();
  Command(&model, 0xA0, {0x10, 0x11});  // no nibble remap
  Command(&model, 0x15, {0x1C, 0x1C});
  Command(&model, 0x75, {0x00, 0x00});
  Command(&model, 0x5C, {});
  Data(&model, {0x12, 0x34});  // D0[3:0] SEG2, D0[7:4] SEG3, D1[3:0] SEG0, D1[7:4] SEG1
  const auto image = Shown(model);
  EXPECT_EQ(At(image, 0, 0), 4);
  EXPECT_EQ(At(image, 1, 0), 3);
  EXPECT_EQ(At(image, 2, 0), 2);
  EXPECT_EQ(At(image, 3, 0), 1);
}

TEST(Ssd1322Model, HorizontalIncrementWrapsToTheWindowStartRowByRowAndThenToTheTop) {
  Model model = Prepared();
  Command(&model, 0x15, {0x1D, 0x1E});  // two column addresses: pixels 4..11
  Command(&model, 0x75, {0x05, 0x06});  // two rows
  Command(&model, 0x5C, {});
  // Row 5: two columns; row 6: two columns; then back to row 5, column 0x1D.
  Data(&model, {0xF0, 0x00, 0x00, 0x0E, 0xD0, 0x00, 0x00, 0x0C, 0xB0, 0x00});
  const auto image = Shown(model);
  EXPECT_EQ(At(image, 4, 5), 0x0B);  // overwritten by the wrap
  EXPECT_EQ(At(image, 11, 5), 0x0E);
  EXPECT_EQ(At(image, 4, 6), 0x0D);
  EXPECT_EQ(At(image, 11, 6), 0x0C);
  EXPECT_EQ(At(image, 12, 5), 0);  // nothing past the window
  EXPECT_EQ(At(image, 4, 7), 0);
}

TEST(Ssd1322Model, ParametersAreDataAndACommandEndsTheRamWrite) {
  Model model = Prepared();
  Command(&model, 0x15, {0x1C, 0x5B});
  Command(&model, 0x75, {0x00, 0x3F});
  Command(&model, 0x5C, {});
  Data(&model, {0xFF, 0xFF});
  Command(&model, 0xC1, {0x7F});  // its parameter is not pixel data
  Data(&model, {0xAA, 0xAA});     // data with no 5C before it goes nowhere
  const auto image = Shown(model);
  EXPECT_EQ(At(image, 3, 0), 15);
  EXPECT_EQ(At(image, 4, 0), 0);
  EXPECT_EQ(model.ignored_bytes, 2);
  EXPECT_EQ(model.unknown_commands, 0);
}

TEST(Ssd1322Model, LockedControllerTakesOnlyTheUnlock) {
  Model model = Prepared();
  Command(&model, 0xFD, {0x16});
  Command(&model, 0xAE, {});  // ignored: still on
  EXPECT_TRUE(model.display_on);
  Command(&model, 0xFD, {0x12});
  Command(&model, 0xAE, {});
  EXPECT_FALSE(model.display_on);
}

TEST(Ssd1322Model, DisplayModesAndSleepChangeWhatTheGlassShows) {
  Model model = Prepared();
  Command(&model, 0x15, {0x1C, 0x1C});
  Command(&model, 0x75, {0x00, 0x00});
  Command(&model, 0x5C, {});
  Data(&model, {0xF0, 0x00});
  EXPECT_EQ(At(Shown(model), 0, 0), 15);
  Command(&model, 0xA7, {});
  EXPECT_EQ(At(Shown(model), 0, 0), 0);
  EXPECT_EQ(At(Shown(model), 1, 0), 15);
  Command(&model, 0xA4, {});
  EXPECT_EQ(At(Shown(model), 1, 0), 0);
  Command(&model, 0xA6, {});
  Command(&model, 0xAE, {});
  EXPECT_EQ(At(Shown(model), 0, 0), 0);
}

TEST(Ssd1322Model, GreyTableSetsTheBrightnessAndLevelsZeroAndOneStayUnlit) {
  Model model = Prepared();
  EXPECT_EQ(ssd1322::Brightness(model, 0), 0);
  EXPECT_EQ(ssd1322::Brightness(model, 1), 0);
  EXPECT_EQ(ssd1322::Brightness(model, 15), 255);
  EXPECT_LT(ssd1322::Brightness(model, 8), ssd1322::Brightness(model, 9));
  // B8 with its 15 widths is in force only after the 00 that follows.
  Command(&model, 0xB8, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 150});
  EXPECT_EQ(ssd1322::Brightness(model, 14), 255 * 104 / 112);
  Command(&model, 0x00, {});
  EXPECT_EQ(ssd1322::Brightness(model, 14), 255 * 14 / 150);
}

TEST(Ssd1322Model, ResetPinRestoresTheWindowAndTurnsTheDisplayOff) {
  Model model = Prepared();
  Command(&model, 0x15, {0x1C, 0x1D});
  ssd1322::Reset(&model);
  EXPECT_FALSE(model.display_on);
  EXPECT_EQ(model.column_end, ssd1322::kRamColumns - 1);
  EXPECT_EQ(model.remap, 0x00);
}

}  // namespace
