// Arbitrary byte streams into the reference panel's frame reader and screen, at arbitrary times.
// Checked:
// - every pair the reader takes stands in the stream as its last bytes: '<', 125 bytes, '>', '>',
//   125 of '0'/'1', '<' (or with 0x0D added before each 0x0A of its text, as a Linux terminal
//   sends it);
// - after the stream, one whole pair (made from the input) puts exactly that page on the screen,
//   whatever came before;
// - the redraws leave a model of the display equal to the screen's pixels, and none of them
//   goes outside the display.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "frame_reader.h"
#include "panel_screen.h"

namespace {

struct Display {
  std::array<std::array<std::uint8_t, kScreenWidth>, kScreenHeight> pixels{};
};

void Check(bool condition) {
  if (!condition) std::abort();
}

void DrawChanges(PanelScreen* screen, Display* display) {
  RedrawWindow window{};
  std::array<std::uint8_t, kScreenWidth / 2> row{};
  while (NextRedraw(screen, &window)) {
    Check(window.first_column <= window.last_column);
    Check(window.last_column < kScreenColumnAddresses);
    Check(window.first_row <= window.last_row && window.last_row < kScreenHeight);
    for (int y = window.first_row; y <= window.last_row; ++y) {
      RenderRow(*screen, static_cast<std::uint8_t>(y), window.first_column, window.last_column,
                row.data());
      for (int i = 0; i < 2 * (window.last_column - window.first_column + 1); ++i) {
        const int x = window.first_column * kPixelsPerColumn + 2 * i;
        display->pixels[y][x] = row[i] >> 4;
        display->pixels[y][x + 1] = row[i] & 0x0F;
      }
    }
  }
}

// Pixel by pixel: costly, so only once, at the end.
void CheckDisplay(const PanelScreen& screen, const Display& display) {
  for (int y = 0; y < kScreenHeight; ++y) {
    for (int x = 0; x < kScreenWidth; ++x) Check(display.pixels[y][x] == ScreenPixel(screen, x, y));
  }
}

// The pair just taken must be the stream's last bytes: as it is, or with its text as a Linux
// terminal's output processing sends it (each 0x0A after an added 0x0D).
bool EndsWithPair(const std::vector<std::uint8_t>& stream, std::size_t end,
                  const FrameReader& reader, bool line_ends_added) {
  std::vector<std::uint8_t> pair{'<'};
  for (std::uint8_t cell = 0; cell < kScreenCells; ++cell) {
    const std::uint8_t byte = PairText(reader, cell);
    if (line_ends_added && byte == 0x0A) pair.push_back(0x0D);
    pair.push_back(byte);
  }
  pair.push_back('>');
  pair.push_back('>');
  for (std::uint8_t cell = 0; cell < kScreenCells; ++cell) {
    pair.push_back(PairMarked(reader, cell) ? '1' : '0');
  }
  pair.push_back('<');
  return end >= pair.size() && std::equal(pair.begin(), pair.end(),
                                          stream.begin() + static_cast<long>(end - pair.size()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FrameReader reader;
  PanelScreen screen;
  Display display;
  ResetFrameReader(&reader);
  StartScreen(&screen);
  DrawChanges(&screen, &display);

  std::vector<std::uint8_t> stream(data, data + size);
  std::uint32_t now_ms = 0;
  for (std::size_t i = 0; i < size; ++i) {
    if (FeedFrameReader(&reader, data[i])) {
      Check(EndsWithPair(stream, i + 1, reader, false) ||
            EndsWithPair(stream, i + 1, reader, true));
      ShowPair(&screen, reader, now_ms);
    }
    // Time moves by the byte's value in ms every 32 bytes: stale pages come and go.
    if (i % 32 == 31) {
      now_ms += data[i] * 40u;
      CheckStale(&screen, now_ms);
      DrawChanges(&screen, &display);
    }
  }

  // One whole pair last: text and marks from the input's first bytes.
  std::array<std::uint8_t, kPairBytes> pair{};
  pair[0] = '<';
  pair[kFrameBytes - 1] = '>';
  pair[kFrameBytes] = '>';
  pair[kPairBytes - 1] = '<';
  for (std::size_t cell = 0; cell < kScreenCells; ++cell) {
    const std::uint8_t byte = cell < size ? data[cell] : 0;
    pair[1 + cell] = byte;
    pair[kFrameBytes + 1 + cell] = (byte & 1) ? '1' : '0';
  }
  bool taken = false;
  for (std::size_t i = 0; i < kPairBytes; ++i) {
    taken = FeedFrameReader(&reader, pair[i]);
    if (taken) ShowPair(&screen, reader, now_ms);
  }
  Check(taken);
  for (std::uint8_t cell = 0; cell < kScreenCells; ++cell) {
    Check(CellCode(screen, cell) == pair[1 + cell]);
    Check(CellMarked(screen, cell) == (pair[kFrameBytes + 1 + cell] == '1'));
  }
  Check(screen.mode == ScreenMode::kLive);
  DrawChanges(&screen, &display);
  CheckDisplay(screen, display);
  return 0;
}
