// Takes the relay's byte stream apart into pairs of frames: a text frame ('<', 125 bytes of any
// value, '>') then its attribute frame ('>', 125 bytes each '0' or '1', '<').
//
// Text may hold '<' and '>', so neither delimiter alone marks a frame. The attribute frame is
// the anchor: a '>' followed by 125 marks and a '<' cannot come out of a stream of whole pairs
// anywhere but at an attribute frame. The reader keeps the latest bytes in a ring and watches
// each byte for that anchor; when it closes, the bytes before it must be a text frame ('<'
// first, '>' last) and then the whole pair is taken. So after any garbage, lost or cut frames,
// the first whole pair that arrives is taken as it ends: no alignment has to be found first, and
// a read may stop at any byte.
//
// A Linux host that finds the panel as a new device after its restart writes with the
// terminal's default output processing, which sends each 0x0A as 0x0D 0x0A. A text frame that
// holds 0x0A then arrives longer by one byte for each; the reader takes it too, with the 0x0D
// put in before each 0x0A taken out again (the plain reading is tried first).
#pragma once

#include <stdint.h>

#include "panel_geometry.h"

enum class FrameReaderState : uint8_t {
  kSeekingAttributeOpen,     // waiting for a '>' that may open an attribute frame
  kReadingMarks,             // inside a candidate attribute frame: '0'/'1' bytes
  kExpectingAttributeClose,  // 125 marks seen: a '<' closes the attribute frame
};

// A pair, and a text frame lengthened by up to one 0x0D for each of its 125 bytes.
constexpr uint16_t kReaderRingBytes = kPairBytes + kScreenCells;

struct FrameReader {
  FrameReaderState state;
  uint8_t marks_seen;  // marks of the candidate attribute frame so far
  uint16_t next;       // ring slot the next byte goes to; it holds the oldest byte
  uint8_t ring[kReaderRingBytes];
  uint8_t text[kScreenCells];  // the text of the pair last taken
};

void ResetFrameReader(FrameReader* reader);

// Takes one byte; true when it completed a whole pair, which PairText and PairMarked then read
// (until the next byte).
bool FeedFrameReader(FrameReader* reader, uint8_t byte);

// Cell 0..124 (line * 25 + column) of the pair just completed.
uint8_t PairText(const FrameReader& reader, uint8_t cell);
bool PairMarked(const FrameReader& reader, uint8_t cell);
