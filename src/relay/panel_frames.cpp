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

// One line's 25 cells. The 25 steps are unrolled: with the bounds already checked, a cell is
// then a load from the area, a table look-up or a compare, and a store, which keeps a whole
// pair within a few hundred cycles.
template <typename ReadByte, typename Rule>
inline void TranslateLine(ReadByte read, Rule rule, std::size_t from, std::uint8_t* to) {
#pragma GCC unroll 25
  for (std::size_t column = 0; column < kPanelLineWidth; ++column) {
    to[column] = rule(read(from + column));
  }
}

template <typename ReadByte>
inline void FillFrames(ReadByte read, PanelFrames* frames) {
  for (std::size_t line = 0; line < kDisplayLineCount; ++line) {
    const std::size_t slot = 1 + kPanelLineWidth * line;
    TranslateLine(read, EncodeDisplayAttribute, kDisplayAttributeOffset + kDisplayLineStride * line,
                  &frames->attributes[slot]);
    TranslateLine(
        read, [](std::uint8_t byte) { return kTextTable[byte]; },
        kDisplayTextOffset + kDisplayLineStride * line, &frames->text[slot]);
  }
}

}  // namespace

PanelFrames BuildPanelFrames(AreaView view) {
  PanelFrames frames;
  frames.text[0] = '<';
  frames.text[kPanelFrameSize - 1] = '>';
  frames.attributes[0] = '>';
  frames.attributes[kPanelFrameSize - 1] = '<';

  // Every byte is read from the area afresh, through the volatile pointer, on every call. Only
  // the bounds check is hoisted: a view that holds both blocks needs none per byte.
  if (view.length >= kAreaBytesUsed) {
    const volatile std::uint8_t* const bytes = view.bytes;
    FillFrames([bytes](std::size_t offset) -> std::uint8_t { return bytes[offset]; }, &frames);
  } else {
    FillFrames([view](std::size_t offset) { return ReadAreaByte(view, offset); }, &frames);
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
