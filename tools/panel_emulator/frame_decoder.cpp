#include "panel_emulator/frame_decoder.h"

#include <algorithm>

namespace {

constexpr std::size_t kFrame = kPanelFrameSize;

// Bytes given up since the decoder lost its place count as dropped once it finds its place again
// (or is reset): whole frames, rounded up, since a cut frame is a lost frame too.
void CloseEpisode(FrameDecoder* decoder) {
  if (decoder->episode_bytes == 0) return;
  decoder->counts.dropped_bytes += decoder->episode_bytes;
  decoder->counts.dropped_frames += (decoder->episode_bytes + kFrame - 1) / kFrame;
  decoder->episode_bytes = 0;
}

// One step of the attribute-frame scan. Only '>' can start a candidate and no '>' can occur
// inside one, so a failed candidate never hides another that began inside it: a linear scan
// without backtracking finds every attribute frame.
bool HuntByte(FrameDecoder* decoder, std::uint8_t byte) {
  ++decoder->episode_bytes;
  std::size_t& matched = decoder->hunt_matched;
  bool fits = false;
  if (matched == 0) {
    fits = byte == '>';
  } else if (matched < kFrame - 1) {
    fits = byte == '0' || byte == '1';
  } else {
    fits = byte == '<';
  }
  if (!fits) {
    matched = byte == '>' ? 1 : 0;
    return false;
  }
  if (++matched < kFrame) return false;
  // Found: the attribute frame belongs to a text frame that was not read in alignment, so that
  // pair is dropped too; the next text frame starts right after it.
  matched = 0;
  CloseEpisode(decoder);
  decoder->state = DecoderState::kExpectText;
  decoder->pending_length = 0;
  return true;
}

// Bytes still to process: new input plus bytes handed back for re-scanning after a bad frame.
// They are handed back at the front, in order; at most two frames at a time, so 512 is ample.
struct WorkQueue {
  std::array<std::uint8_t, 4 * kFrame> bytes;
  std::size_t head = 0;
  std::size_t size = 0;
};

void PushFront(WorkQueue* queue, const std::uint8_t* bytes, std::size_t length) {
  const std::size_t capacity = queue->bytes.size();
  for (std::size_t i = length; i-- > 0;) {
    queue->head = (queue->head + capacity - 1) % capacity;
    queue->bytes[queue->head] = bytes[i];
  }
  queue->size += length;
}

std::uint8_t PopFront(WorkQueue* queue) {
  const std::uint8_t byte = queue->bytes[queue->head];
  queue->head = (queue->head + 1) % queue->bytes.size();
  --queue->size;
  return byte;
}

void EmitPair(FrameDecoder* decoder, PairSink sink) {
  PanelPair pair;
  std::copy_n(decoder->pending.begin() + 1, kPanelCells, pair.text.begin());
  for (std::size_t i = 0; i < kPanelCells; ++i) {
    pair.marked[i] = decoder->pending[kFrame + 1 + i] == '1';
  }
  ++decoder->counts.pairs;
  sink.accept(sink.context, pair);
}

// The collected frames were not what alignment promised: give them back to the scan, since the
// real attribute frame may begin anywhere inside them.
void LoseAlignment(FrameDecoder* decoder, WorkQueue* queue) {
  std::array<std::uint8_t, 2 * kFrame> rescan;
  const std::size_t length = decoder->pending_length;
  std::copy_n(decoder->pending.begin(), length, rescan.begin());
  decoder->pending_length = 0;
  decoder->hunt_matched = 0;
  decoder->state = DecoderState::kHunting;
  PushFront(queue, rescan.data(), length);
}

void CollectByte(FrameDecoder* decoder, std::uint8_t byte, WorkQueue* queue, PairSink sink) {
  decoder->pending[decoder->pending_length++] = byte;
  if (decoder->state == DecoderState::kExpectText) {
    if (decoder->pending_length < kFrame) return;
    if (IsTextFrame(decoder->pending.data())) {
      decoder->state = DecoderState::kExpectAttribute;
    } else {
      LoseAlignment(decoder, queue);
    }
    return;
  }
  if (decoder->pending_length < 2 * kFrame) return;
  if (IsAttributeFrame(decoder->pending.data() + kFrame)) {
    EmitPair(decoder, sink);
    decoder->pending_length = 0;
    decoder->state = DecoderState::kExpectText;
  } else {
    LoseAlignment(decoder, queue);
  }
}

}  // namespace

bool IsTextFrame(const std::uint8_t* frame) {
  return frame[0] == '<' && frame[kFrame - 1] == '>';
}

bool IsAttributeFrame(const std::uint8_t* frame) {
  if (frame[0] != '>' || frame[kFrame - 1] != '<') return false;
  return std::all_of(frame + 1, frame + kFrame - 1,
                     [](std::uint8_t byte) { return byte == '0' || byte == '1'; });
}

void FeedFrameDecoder(FrameDecoder* decoder, const std::uint8_t* bytes, std::size_t length,
                      PairSink sink) {
  WorkQueue queue;
  for (std::size_t next = 0; next < length || queue.size > 0;) {
    std::uint8_t byte = 0;
    if (queue.size > 0) {
      byte = PopFront(&queue);
    } else {
      byte = bytes[next++];
    }
    if (decoder->state == DecoderState::kHunting) {
      HuntByte(decoder, byte);
    } else {
      CollectByte(decoder, byte, &queue, sink);
    }
  }
}

void ResetFrameDecoder(FrameDecoder* decoder) {
  decoder->episode_bytes += decoder->pending_length;
  CloseEpisode(decoder);
  decoder->pending_length = 0;
  decoder->hunt_matched = 0;
  decoder->state = DecoderState::kExpectText;
}
