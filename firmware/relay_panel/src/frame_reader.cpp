#include "frame_reader.h"

#include <string.h>

namespace {

// Byte `position` (0 = oldest) of the 254 bytes in the ring.
uint8_t WindowByte(const FrameReader& reader, uint8_t position) {
  unsigned slot = static_cast<unsigned>(reader.next) + position;
  if (slot >= kPairBytes) slot -= kPairBytes;
  return reader.ring[slot];
}

bool IsMark(uint8_t byte) {
  return byte == '0' || byte == '1';
}

// The attribute frame has just closed as the ring's last 127 bytes: the 127 before it must be
// a text frame. Its content may be anything, so only its delimiters can be checked.
bool TextFrameBeforeAttributes(const FrameReader& reader) {
  return WindowByte(reader, 0) == '<' && WindowByte(reader, kFrameBytes - 1) == '>';
}

}  // namespace

void ResetFrameReader(FrameReader* reader) {
  reader->state = FrameReaderState::kSeekingAttributeOpen;
  reader->marks_seen = 0;
  reader->next = 0;
  // Zeros are neither delimiter, so no pair can be made of bytes from before the reset.
  memset(reader->ring, 0, sizeof reader->ring);
}

bool FeedFrameReader(FrameReader* reader, uint8_t byte) {
  reader->ring[reader->next] = byte;
  reader->next = reader->next + 1 == kPairBytes ? 0 : reader->next + 1;

  switch (reader->state) {
    case FrameReaderState::kSeekingAttributeOpen:
      break;
    case FrameReaderState::kReadingMarks:
      if (IsMark(byte)) {
        if (++reader->marks_seen == kScreenCells) {
          reader->state = FrameReaderState::kExpectingAttributeClose;
        }
        return false;
      }
      break;
    case FrameReaderState::kExpectingAttributeClose:
      if (byte == '<') {
        reader->state = FrameReaderState::kSeekingAttributeOpen;
        return TextFrameBeforeAttributes(*reader);
      }
      break;
  }
  // Not (or no longer) inside a candidate. No '>' can sit inside one, so a candidate that
  // failed never hid another that began within it: only this byte may open the next.
  reader->marks_seen = 0;
  reader->state =
      byte == '>' ? FrameReaderState::kReadingMarks : FrameReaderState::kSeekingAttributeOpen;
  return false;
}

uint8_t PairText(const FrameReader& reader, uint8_t cell) {
  return WindowByte(reader, 1 + cell);
}

bool PairMarked(const FrameReader& reader, uint8_t cell) {
  return WindowByte(reader, kFrameBytes + 1 + cell) == '1';
}
