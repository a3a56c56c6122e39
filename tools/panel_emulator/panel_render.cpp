#include "panel_emulator/panel_render.h"

#include <cinttypes>
#include <cstdio>

namespace {

constexpr int kLineWidth = 25;

// Sequences of our own; nothing else that reaches the terminal is a control byte.
constexpr char kInverseOn[] = "\x1b[7m";
constexpr char kInverseOff[] = "\x1b[27m";
constexpr char kSaveCursor[] =
    "\x1b"
    "7";
constexpr char kRestoreCursor[] =
    "\x1b"
    "8";
constexpr char kClearToEnd[] = "\x1b[K";

std::string Row(int row) {
  char text[16];
  std::snprintf(text, sizeof text, "\x1b[%d;1H", row);
  return text;
}

const char* ModeText(const PanelStatus& status) {
  switch (status.mode) {
    case PanelMode::kRestarting:
      return "restarting";
    case PanelMode::kWaiting:
      return status.line_closed ? "line closed" : "waiting for frames";
    case PanelMode::kShowing:
      return status.line_closed ? "line closed" : "receiving";
  }
  return "";
}

std::string Border(bool top, GlyphSet glyphs) {
  std::string border;
  if (glyphs == GlyphSet::kAscii) {
    border = "+" + std::string(kLineWidth, '-') + "+";
    return border;
  }
  border = top ? "┌" : "└";
  for (int i = 0; i < kLineWidth; ++i) border += "─";
  border += top ? "┐" : "┘";
  return border;
}

std::string Side(GlyphSet glyphs) {
  return glyphs == GlyphSet::kAscii ? "|" : "│";
}

std::string CenteredText(const char* text) {
  std::string line(kLineWidth, ' ');
  const std::string content(text);
  const std::size_t start = (kLineWidth - content.size()) / 2;
  line.replace(start, content.size(), content);
  return line;
}

}  // namespace

std::string CellGlyph(std::uint8_t byte, GlyphSet glyphs) {
  const bool unicode = glyphs == GlyphSet::kUnicode;
  if (byte >= 0x20 && byte <= 0x7E) return std::string(1, static_cast<char>(byte));
  if (byte == 0x12) return unicode ? "↕" : "#";
  if (byte == 0xA7) return unicode ? "°" : "^";
  return unicode ? "·" : "?";
}

std::string RenderPanelLine(const PanelPair& pair, int line, GlyphSet glyphs) {
  std::string text;
  bool inverse = false;
  for (int column = 0; column < kLineWidth; ++column) {
    const std::size_t cell = static_cast<std::size_t>(line * kLineWidth + column);
    if (pair.marked[cell] != inverse) {
      inverse = pair.marked[cell];
      text += inverse ? kInverseOn : kInverseOff;
    }
    text += CellGlyph(pair.text[cell], glyphs);
  }
  if (inverse) text += kInverseOff;
  return text;
}

std::string RenderStatusLine(const PanelStatus& status) {
  char text[160];
  std::snprintf(text, sizeof text,
                "%4.1f pairs/s (%4.1f frames/s)  pairs %" PRIu64 "  dropped %" PRIu64
                "  restarts %" PRIu64 "  [%s]",
                status.pairs_per_second, 2 * status.pairs_per_second, status.pairs,
                status.dropped_frames, status.restarts, ModeText(status));
  return text;
}

std::string RenderPanelScreen(const PanelPair* pair, const PanelStatus& status, GlyphSet glyphs) {
  std::string screen = kSaveCursor;
  int row = 1;
  auto add_row = [&](const std::string& content) {
    screen += Row(row++);
    screen += content;
    screen += kClearToEnd;
  };
  add_row(Border(true, glyphs));
  for (int line = 0; line < 5; ++line) {
    std::string content;
    if (status.mode == PanelMode::kRestarting) {
      content = line == 2 ? CenteredText("restarting...") : std::string(kLineWidth, ' ');
    } else if (pair == nullptr || status.mode == PanelMode::kWaiting) {
      content = std::string(kLineWidth, ' ');
    } else {
      content = RenderPanelLine(*pair, line, glyphs);
    }
    add_row(Side(glyphs) + content + Side(glyphs));
  }
  add_row(Border(false, glyphs));
  add_row(RenderStatusLine(status));
  screen += kRestoreCursor;
  return screen;
}

std::string RenderDumpBlock(const PanelPair& pair, std::uint64_t pair_number) {
  char header[40];
  std::snprintf(header, sizeof header, "pair %" PRIu64 "\n", pair_number);
  std::string block = header;
  for (int line = 0; line < 5; ++line) {
    block += '|';
    std::string marks;
    for (int column = 0; column < kLineWidth; ++column) {
      const std::size_t cell = static_cast<std::size_t>(line * kLineWidth + column);
      block += CellGlyph(pair.text[cell], GlyphSet::kUnicode);
      marks += pair.marked[cell] ? '1' : '0';
    }
    block += "| " + marks + "\n";
  }
  return block;
}
