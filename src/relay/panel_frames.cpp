#include "relay/panel_frames.h"

#include <array>

#include "common/stop_requested.h"

namespace {

constexpr std::array<std::uint8_t, 256> MakeTable(std::uint8_t (*rule)(std::uint8_t)) {
  std::array<std::uint8_t, 256> table{};
  for (unsigned value = 0; value < table.size(); ++value) {
    table[value] = rule(static_cast<std::uint8_t>(value));
  }
  return table;
}

constexpr std::array<std::uint8_t, 256> kTextTable = MakeTable(TranslateDisplayChar);
constexpr std::array<std::uint8_t, 256> kAttributeTable = MakeTable(EncodeDisplayAttribute);

}  // namespace

PanelFrames BuildPanelFrames(AreaView view) {
  PanelFrames frames;
  frames.text[0] = '<';
  frames.text[kPanelFrameSize - 1] = '>';
  frames.attributes[0] = '>';
  frames.attributes[kPanelFrameSize - 1] = '<';

  for (std::size_t line = 0; line < kDisplayLineCount; ++line) {
    const std::size_t slot = 1 + kPanelLineWidth * line;
    const std::size_t attribute_line = kDisplayAttributeOffset + kDisplayLineStride * line;
    const std::size_t text_line = kDisplayTextOffset + kDisplayLineStride * line;
    for (std::size_t column = 0; column < kPanelLineWidth; ++column) {
      frames.attributes[slot + column] =
          kAttributeTable[ReadAreaByte(view, attribute_line + column)];
    }
    for (std::size_t column = 0; column < kPanelLineWidth; ++column) {
      frames.text[slot + column] = kTextTable[ReadAreaByte(view, text_line + column)];
    }
  }
  return frames;
}

void UpdatePanel(AreaView view, FrameWriter writer) {
  const PanelFrames frames = BuildPanelFrames(view);
  writer.write(writer.context, frames.text);
  writer.write(writer.context, frames.attributes);
}

void RunUpdateLoop(AreaView view, FrameWriter writer, PauseFunction pause) {
  while (!StopRequested.load()) {
    UpdatePanel(view, writer);
    pause(kCyclePauseMilliseconds);
  }
}
