// Turning the simulator's display blocks into the panel's frame pair, and the update loop.
// Pure: the area, the frame sink and the pause all come from the caller.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/area_view.h"
#include "common/panel_frame.h"

// Layout of the two blocks read from the area: 5 lines of 26 bytes each, of which the first 25
// carry a character (text block) or its attribute (attribute block).
inline constexpr std::size_t kDisplayTextOffset = 236;
inline constexpr std::size_t kDisplayAttributeOffset = 366;
inline constexpr std::size_t kDisplayLineStride = 26;
inline constexpr std::size_t kDisplayLineCount = 5;
inline constexpr std::size_t kPanelLineWidth = 25;

inline constexpr unsigned kCyclePauseMilliseconds = 100;

// The byte the panel gets for one byte of the display text block.
constexpr std::uint8_t TranslateDisplayChar(std::uint8_t byte) {
  switch (byte) {
    case 0x00:
      return 0x20;  // empty cell: space
    case 0x01:
      return 0x12;
    case 0x02:
      return 0x2A;  // '*'
    case 0x5E:
      return 0xA7;  // '^'
    default:
      return byte;
  }
}

// The attribute frame marks a character with '1' only when its attribute byte is 2.
constexpr std::uint8_t EncodeDisplayAttribute(std::uint8_t byte) {
  return byte == 0x02 ? '1' : '0';
}

struct PanelFrames {
  PanelFrame text;
  PanelFrame attributes;
};

PanelFrames BuildPanelFrames(AreaView view);

// Sends one whole frame; its result is of no interest to the loop.
struct FrameWriter {
  void (*write)(void* context, const PanelFrame& frame);
  void* context;
};

using PauseFunction = void (*)(unsigned milliseconds);

// One cycle: build both frames, then write the text frame and the attribute frame.
void UpdatePanel(AreaView view, FrameWriter writer);

// Cycles until StopRequested is set, pausing after every cycle. A stop seen only after a cycle
// has begun lets that cycle's writes and pause finish.
void RunUpdateLoop(AreaView view, FrameWriter writer, PauseFunction pause);
