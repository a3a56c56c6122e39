// What reaches the terminal: the glyphs, the marks, and never a control byte from the line.
#include "panel_emulator/panel_render.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "make_pair.h"

namespace {

// Removes the renderer's own sequences; what is left must be plain text.
std::string WithoutOwnSequences(std::string text) {
  std::string plain;
  for (std::size_t i = 0; i < text.size();) {
    if (text[i] != '\x1b') {
      plain += text[i++];
      continue;
    }
    std::size_t length = 0;
    for (const char* own : {"\x1b[7m", "\x1b[27m", "\x1b[K",
                            "\x1b"
                            "7",
                            "\x1b"
                            "8"}) {
      if (text.compare(i, std::char_traits<char>::length(own), own) == 0) {
        length = std::char_traits<char>::length(own);
      }
    }
    // Cursor positioning to the start of a row: ESC [ digits ; 1 H
    if (length == 0 && text.compare(i, 2, "\x1b[") == 0) {
      std::size_t end = i + 2;
      while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
      if (end > i + 2 && text.compare(end, 3, ";1H") == 0) length = end + 3 - i;
    }
    if (length == 0) return "foreign escape at " + std::to_string(i) + "\x1b";
    i += length;
  }
  return plain;
}

// Decodes UTF-8 and fails on malformed sequences and on C0, DEL and C1 control characters.
::testing::AssertionResult IsPlainText(const std::string& text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    unsigned code = lead;
    std::size_t length = 1;
    if (lead >= 0xF0) {
      code = lead & 0x07u, length = 4;
    } else if (lead >= 0xE0) {
      code = lead & 0x0Fu, length = 3;
    } else if (lead >= 0xC0) {
      code = lead & 0x1Fu, length = 2;
    } else if (lead >= 0x80) {
      return ::testing::AssertionFailure() << "stray byte " << +lead << " at " << i;
    }
    for (std::size_t k = 1; k < length; ++k) {
      if (i + k >= text.size() || (static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) {
        return ::testing::AssertionFailure() << "bad UTF-8 at " << i;
      }
      code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3Fu);
    }
    if (code < 0x20 || (code >= 0x7F && code <= 0x9F)) {
      if (code != '\n') return ::testing::AssertionFailure() << "control " << code << " at " << i;
    }
    i += length;
  }
  return ::testing::AssertionSuccess();
}

TEST(PanelRenderTest, GlyphsForPrintableSpecialAndOtherBytes) {
  for (int byte = 0x20; byte <= 0x7E; ++byte) {
    EXPECT_EQ(CellGlyph(static_cast<std::uint8_t>(byte), GlyphSet::kUnicode),
              std::string(1, static_cast<char>(byte)));
  }
  EXPECT_EQ(CellGlyph(0x12, GlyphSet::kUnicode), "↕");
  EXPECT_EQ(CellGlyph(0xA7, GlyphSet::kUnicode), "°");
  EXPECT_EQ(CellGlyph(0x12, GlyphSet::kAscii), "#");
  EXPECT_EQ(CellGlyph(0xA7, GlyphSet::kAscii), "^");
  for (int byte : {0x00, 0x01, 0x07, 0x0A, 0x1B, 0x7F, 0x80, 0x9B, 0xC3, 0xFF}) {
    EXPECT_EQ(CellGlyph(static_cast<std::uint8_t>(byte), GlyphSet::kUnicode), "·") << byte;
    EXPECT_EQ(CellGlyph(static_cast<std::uint8_t>(byte), GlyphSet::kAscii), "?") << byte;
  }
}

TEST(PanelRenderTest, HostileStreamReachesTheTerminalOnlyAsPlainText) {
  // Escape sequences that would clear the screen, move the cursor, recolour, retitle the window
  // or ring the bell, with the 8-bit CSI and every other byte value besides.
  std::string hostile =
      "\x1b[2J\x1b[H\x1b]0;owned\x07\x1b[31m\x9b"
      "1;1H\r\n\b\t\x7f\x1b"
      "c";
  for (int byte = 0; byte < 256 && hostile.size() < kPanelCells; byte += 3) {
    hostile += static_cast<char>(byte);
  }
  const PanelPair pair = MakePair(hostile, std::string(60, '1'));
  for (GlyphSet glyphs : {GlyphSet::kUnicode, GlyphSet::kAscii}) {
    PanelStatus status;
    status.mode = PanelMode::kShowing;
    const std::string screen = RenderPanelScreen(&pair, status, glyphs);
    const std::string plain = WithoutOwnSequences(screen);
    EXPECT_TRUE(IsPlainText(plain)) << plain;
  }
  const std::string dump = RenderDumpBlock(pair, 1);
  EXPECT_EQ(dump.find('\x1b'), std::string::npos);
  EXPECT_TRUE(IsPlainText(dump));
}

TEST(PanelRenderTest, MarkedCellsAreInverted) {
  const PanelPair pair = MakePair("abcdefghijklmnopqrstuvwxy", "0011100000000000000000001");
  EXPECT_EQ(RenderPanelLine(pair, 0, GlyphSet::kUnicode),
            "ab\x1b[7mcde\x1b[27mfghijklmnopqrstuvwx\x1b[7my\x1b[27m");
  EXPECT_EQ(RenderPanelLine(pair, 1, GlyphSet::kUnicode), std::string(25, ' '));
}

TEST(PanelRenderTest, DumpBlockIsStableText) {
  std::string text = "UHF  242.00  STPT \x12  8";
  text.resize(25, ' ');
  text +=
      "LAT N 34\xA7"
      "52.610'";
  text.resize(50, ' ');
  text += '\x1b';
  const PanelPair pair = MakePair(text, "00000111111");
  EXPECT_EQ(RenderDumpBlock(pair, 7),
            "pair 7\n"
            "|UHF  242.00  STPT ↕  8   | 0000011111100000000000000\n"
            "|LAT N 34°52.610'         | 0000000000000000000000000\n"
            "|·                        | 0000000000000000000000000\n"
            "|                         | 0000000000000000000000000\n"
            "|                         | 0000000000000000000000000\n");
}

TEST(PanelRenderTest, RestartBlanksThePanelAndSaysSo) {
  const PanelPair pair = MakePair("SECRET");
  PanelStatus status;
  status.mode = PanelMode::kRestarting;
  status.restarts = 2;
  const std::string screen = RenderPanelScreen(&pair, status, GlyphSet::kUnicode);
  EXPECT_EQ(screen.find("SECRET"), std::string::npos);
  EXPECT_NE(screen.find("restarting..."), std::string::npos);
  EXPECT_NE(screen.find("restarts 2"), std::string::npos);
  EXPECT_EQ(screen.substr(0, 2),
            "\x1b"
            "7");
  EXPECT_EQ(screen.substr(screen.size() - 2),
            "\x1b"
            "8");
}

}  // namespace
