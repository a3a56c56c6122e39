#include "frame_reader.h"

#include <string.h>

namespace {

constexpr uint8_t kLineFeed = 0x0A;
constexpr uint8_t kCarriageReturn = 0x0D;

// Where the frames sit, counted back from the byte just taken (0): the attribute frame is
// 0..126, the text frame's '>' 127, its content from 128 on and its '<' after that.
constexpr uint16_t kTextCloseBack = kFrameBytes;
constexpr uint16_t kTextContentBack = kFrameBytes + 1;

uint8_t ByteBack(const FrameReader& reader, uint16_t back) {
  // The byte just taken is in the slot before `next`.
  uint16_t slot = reader.next + kReaderRingBytes - 1 - back;
  if (slot >= kReaderRingBytes) slot -= kReaderRingBytes;
  return reader.ring[slot];
}

bool IsMark(uint8_t byte) {
  return byte == '0' || byte == '1';
}

// The text frame's content is the 125 + inserted bytes from `first_back` down to the '>' before
// the attribute frame. With none inserted it is taken as it is; else it must hold exactly
// `inserted` 0x0A, each after a 0x0D, and those 0x0D are dropped.
bool TakeText(FrameReader* reader, uint16_t inserted) {
  const uint16_t first_back = kTextContentBack + kScreenCells - 1 + inserted;
  if (inserted > 0) {
    uint16_t line_feeds = 0;
    for (uint16_t back = first_back; back >= kTextContentBack; --back) {
      if (ByteBack(*reader, back) != kLineFeed) continue;
      if (back == first_back || ByteBack(*reader, back + 1) != kCarriageReturn) return false;
      ++line_feeds;
    }
    if (line_feeds != inserted) return false;
  }
  uint8_t cell = 0;
  for (uint16_t back = first_back; back >= kTextContentBack; --back) {
    const uint8_t byte = ByteBack(*reader, back);
    if (inserted > 0 && byte == kCarriageReturn && back > kTextContentBack &&
        ByteBack(*reader, back - 1) == kLineFeed) {
      continue;
    }
    if (cell < kScreenCells) reader->text[cell++] = byte;
  }
  return true;
}

// An attribute frame has just closed: a text frame must end right before it.
bool TakeTextBeforeAttributes(FrameReader* reader) {
  if (ByteBack(*reader, kTextCloseBack) != '>') return false;
  for (uint16_t inserted = 0; inserted <= kScreenCells; ++inserted) {
    if (ByteBack(*reader, kTextContentBack + kScreenCells + inserted) != '<') continue;
    if (TakeText(reader, inserted)) return true;
  }
  return false;
}

}  // namespace

void ResetFrameReader(FrameReader* reader) {
  reader->state = FrameReaderState::kSeekingAttributeOpen;
  reader->marks_seen = 0;
  reader->next = 0;
  // Zeros are neither delimiter, so no pair can be made of bytes from before the reset.
  memset(reader->ring, 0, sizeof reader->ring);
  memset(reader->text, ' ', sizeof reader->text);
}

bool FeedFrameReader(FrameReader* reader, uint8_t byte) {
  reader->ring[reader->next] = byte;
  reader->next = reader->next + 1 == kReaderRingBytes ? 0 : reader->next + 1;

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
        return TakeTextBeforeAttributes(reader);
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
  return reader.text[cell];
}

bool PairMarked(const FrameReader& reader, uint8_t cell) {
  // Mark 0 is 125 bytes back, mark 124 one byte back.
  return ByteBack(reader, kScreenCells - cell) == '1';
}
