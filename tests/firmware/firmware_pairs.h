// Pairs of frames as the relay sends them, and a screen fed from a byte stream, for the tests of
// the reference panel's core.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "frame_reader.h"
#include "panel_screen.h"

using Bytes = std::vector<std::uint8_t>;

struct Page {
  std::string text;   // 125 bytes
  std::string marks;  // 125 of '0'/'1'
};

inline Bytes PairBytes(const Page& page) {
  Bytes bytes(kPairBytes);
  bytes[0] = '<';
  bytes[kFrameBytes - 1] = '>';
  bytes[kFrameBytes] = '>';
  bytes[kPairBytes - 1] = '<';
  for (std::size_t cell = 0; cell < kScreenCells; ++cell) {
    bytes[1 + cell] = static_cast<std::uint8_t>(page.text[cell]);
    bytes[kFrameBytes + 1 + cell] = static_cast<std::uint8_t>(page.marks[cell]);
  }
  return bytes;
}

inline Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// A page whose every cell differs with `seed`, marks on every cell where (cell + seed) % 3 == 0.
inline Page NumberedPage(unsigned seed) {
  Page page;
  for (unsigned cell = 0; cell < kScreenCells; ++cell) {
    page.text.push_back(static_cast<char>(0x21 + (cell + seed) % 90));
    page.marks.push_back((cell + seed) % 3 == 0 ? '1' : '0');
  }
  return page;
}

// The reader and screen as the sketch drives them.
struct Panel {
  FrameReader reader{};
  PanelScreen screen{};
  int pairs = 0;

  Panel() {
    ResetFrameReader(&reader);
    StartScreen(&screen);
  }

  void Feed(const Bytes& bytes, std::uint32_t now_ms = 0) {
    for (std::uint8_t byte : bytes) {
      if (FeedFrameReader(&reader, byte)) {
        ShowPair(&screen, reader, now_ms);
        ++pairs;
      }
    }
  }

  bool Shows(const Page& page) const {
    for (std::uint8_t cell = 0; cell < kScreenCells; ++cell) {
      if (CellCode(screen, cell) != static_cast<std::uint8_t>(page.text[cell])) return false;
      if (CellMarked(screen, cell) != (page.marks[cell] == '1')) return false;
    }
    return true;
  }
};
