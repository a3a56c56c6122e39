// Takes the relay's byte stream apart into pairs of frames: a text frame ('<', 125 bytes of any
// value, '>') then its attribute frame ('>', 125 bytes each '0' or '1', '<').
//
// Text may hold '<' and '>', so neither delimiter alone marks a frame. The attribute frame is
// the anchor: a '>' followed by 125 marks and a '<' cannot come out of a stream of whole pairs
// anywhere but at an attribute frame. The reader keeps the last 254 bytes (one pair's worth) in
// a ring and watches each byte for that anchor; when it closes, the 127 bytes before it must be
// a text frame ('<' first, '>' last) and then the whole 254 bytes are a pair. So after any
// garbage, lost or cut frames, the first whole pair that arrives is taken as it ends: no
// alignment has to be found first, and a read may stop at any byte.
#pragma once

#include <stdint.h>

#include "panel_geometry.h"

enum class FrameReaderState : uint8_t {
  kSeekingAttributeOpen,     // waiting for a '>' that may open an attribute frame
  kReadingMarks,             // inside a candidate attribute frame: '0'/'1' bytes
  kExpectingAttributeClose,  // 125 marks seen: a '<' closes the attribute frame
};

struct FrameReader {
  FrameReaderState state;
  uint8_t marks_seen;  // marks of the candidate attribute frame so far
  uint8_t next;        // ring slot the next byte goes to; it holds the oldest byte
  uint8_t ring[kPairBytes];
};

void ResetFrameReader(FrameReader* reader);

// Takes one byte; true when the last 254 bytes are a whole pair, which PairText and PairMarked
// then read (until the next byte).
bool FeedFrameReader(FrameReader* reader, uint8_t byte);

// Cell 0..124 (line * 25 + column) of the pair just completed.
uint8_t PairText(const FrameReader& reader, uint8_t cell);
bool PairMarked(const FrameReader& reader, uint8_t cell);
