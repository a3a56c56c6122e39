// How the emulated panel looks: on a terminal (live) and as plain text (dump).
//
// No byte from the line reaches the output raw. Printable ASCII (0x20-0x7E) is drawn as itself;
// the panel's two special codes have glyphs of their own, 0x12 as an up-down arrow and 0xA7 as a
// degree sign; every other byte is drawn as a placeholder. The only control sequences in the
// output are the renderer's own.
#pragma once

#include <cstdint>
#include <string>

#include "panel_emulator/frame_decoder.h"

enum class GlyphSet : std::uint8_t {
  kUnicode,  // UTF-8: ↕ for 0x12, ° for 0xA7, · for other unprintable bytes
  kAscii,    // for terminals without UTF-8: # for 0x12, ^ for 0xA7, ? for other bytes
};

// The glyph for one byte of a text frame; never a control character.
std::string CellGlyph(std::uint8_t byte, GlyphSet glyphs);

// One text line of the panel (25 cells), marked cells in inverse video; for the terminal.
std::string RenderPanelLine(const PanelPair& pair, int line, GlyphSet glyphs);

enum class PanelMode : std::uint8_t {
  kWaiting,     // no pair yet since the start or the last restart
  kShowing,     // showing the last pair received
  kRestarting,  // restart in progress: blank, incoming bytes dropped
};

struct PanelStatus {
  PanelMode mode = PanelMode::kWaiting;
  double pairs_per_second = 0;          // over the last second
  double average_pairs_per_second = 0;  // over the latest unbroken run of pairs
  std::uint64_t pairs = 0;
  std::uint64_t dropped_frames = 0;
  std::uint64_t restarts = 0;
  bool line_closed = false;  // the far end has closed the line
};

// Number of terminal rows RenderPanelScreen draws (frame, 5 lines, frame, status).
inline constexpr int kPanelScreenRows = 8;

// The panel block for the terminal: drawn from the top left, each row cleared to its end, the
// cursor saved before and restored after, so text printed below (scrolling) is not disturbed.
std::string RenderPanelScreen(const PanelPair* pair, const PanelStatus& status, GlyphSet glyphs);

std::string RenderStatusLine(const PanelStatus& status);

// Plain text of one pair for --dump: a header line, then per panel line the 25 cells between
// bars and the 25 attribute bytes ('1' marked, '0' not). Unicode glyphs, no control sequences.
//   pair 12
//   |UHF  242.00   STPT °  8  | 0000011111100000000000000
std::string RenderDumpBlock(const PanelPair& pair, std::uint64_t pair_number);
