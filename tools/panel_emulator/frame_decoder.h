// Turns the byte stream from the relay back into text/attribute frame pairs.
//
// A text frame is '<', 125 text bytes, '>'; an attribute frame is '>', 125 bytes of '0'/'1', '<'.
// Text may itself hold '<' and '>', so the decoder never splits on delimiters: it keeps 127-byte
// alignment and takes a text frame only at the start of the stream, after a restart, or right
// after an accepted attribute frame. When a frame is malformed it hunts for the next attribute
// frame (the only unmistakable pattern) and starts over right after it. A pair is shown only when
// both of its frames were read in alignment, so no pair is ever built from misaligned bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "common/panel_frame.h"

inline constexpr std::size_t kPanelCells = 125;  // 5 lines of 25

struct PanelPair {
  std::array<std::uint8_t, kPanelCells> text;  // as sent: 0x12 and 0xA7 included
  std::array<bool, kPanelCells> marked;        // attribute '1'
};

struct DecoderCounts {
  std::uint64_t pairs = 0;           // pairs accepted
  std::uint64_t dropped_frames = 0;  // frame-sized pieces thrown away (rounded up per episode)
  std::uint64_t dropped_bytes = 0;
};

enum class DecoderState : std::uint8_t {
  kExpectText,       // aligned; the next 127 bytes should be a text frame
  kExpectAttribute,  // a text frame is held; the next 127 bytes should be its attribute frame
  kHunting,          // lost; scanning for an attribute frame
};

struct FrameDecoder {
  DecoderState state = DecoderState::kExpectText;
  // Bytes of the frames being collected: the held text frame, then the attribute frame.
  std::array<std::uint8_t, 2 * kPanelFrameSize> pending{};
  std::size_t pending_length = 0;
  std::size_t hunt_matched = 0;     // length of the attribute-frame prefix seen while hunting
  std::uint64_t episode_bytes = 0;  // bytes given up since the decoder lost its place
  DecoderCounts counts;
};

// Called for every accepted pair.
struct PairSink {
  void (*accept)(void* context, const PanelPair& pair);
  void* context;
};

void FeedFrameDecoder(FrameDecoder* decoder, const std::uint8_t* bytes, std::size_t length,
                      PairSink sink);

// The panel restarted: whatever was partly received is dropped and a text frame is expected.
void ResetFrameDecoder(FrameDecoder* decoder);

// The text of a frame is valid (delimiters only: its content may be any byte).
bool IsTextFrame(const std::uint8_t* frame);
// '>' + 125 of '0'/'1' + '<'.
bool IsAttributeFrame(const std::uint8_t* frame);
