// A decoded pair written as text: unset cells are spaces, marks[i] == '1' marks cell i.
#pragma once

#include <string>

#include "panel_emulator/frame_decoder.h"

inline PanelPair MakePair(const std::string& text, const std::string& marks = "") {
  PanelPair pair{};
  for (std::size_t i = 0; i < kPanelCells; ++i) {
    pair.text[i] = i < text.size() ? static_cast<std::uint8_t>(text[i]) : ' ';
    pair.marked[i] = i < marks.size() && marks[i] == '1';
  }
  return pair;
}
