// Arbitrary byte streams into the panel emulator's frame decoder. The first input byte sets the
// size of the pieces the rest is fed in; the same stream is also fed whole. Checked:
// - the pieces give exactly the pairs, counts and state that the whole stream gives;
// - every pair shown stands in the stream as a text frame directly followed by its attribute
//   frame (no pair is built from misaligned bytes);
// - every byte is accounted for once: in a pair, dropped, or still held.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "panel_emulator/frame_decoder.h"

namespace {

constexpr std::size_t kPairBytes = 2 * kPanelFrameSize;

using PairBytes = std::array<std::uint8_t, kPairBytes>;

void Record(void* context, const PanelPair& pair) {
  PairBytes bytes{};
  bytes[0] = '<';
  std::copy(pair.text.begin(), pair.text.end(), bytes.begin() + 1);
  bytes[kPanelFrameSize - 1] = '>';
  bytes[kPanelFrameSize] = '>';
  for (std::size_t i = 0; i < kPanelCells; ++i) {
    bytes[kPanelFrameSize + 1 + i] = pair.marked[i] ? '1' : '0';
  }
  bytes[kPairBytes - 1] = '<';
  static_cast<std::vector<PairBytes>*>(context)->push_back(bytes);
}

std::uint64_t HeldBytes(const FrameDecoder& decoder) {
  return decoder.pending_length + decoder.episode_bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t piece = std::size_t{data[0]} + 1;
  const std::uint8_t* stream = data + 1;
  const std::size_t length = size - 1;

  FrameDecoder whole;
  std::vector<PairBytes> whole_pairs;
  FeedFrameDecoder(&whole, stream, length, PairSink{Record, &whole_pairs});

  FrameDecoder pieces;
  std::vector<PairBytes> piece_pairs;
  for (std::size_t at = 0; at < length; at += piece) {
    FeedFrameDecoder(&pieces, stream + at, std::min(piece, length - at),
                     PairSink{Record, &piece_pairs});
  }

  if (whole_pairs != piece_pairs) std::abort();
  if (whole.counts.pairs != pieces.counts.pairs ||
      whole.counts.dropped_frames != pieces.counts.dropped_frames ||
      whole.counts.dropped_bytes != pieces.counts.dropped_bytes || whole.state != pieces.state ||
      HeldBytes(whole) != HeldBytes(pieces)) {
    std::abort();
  }
  if (whole.counts.pairs != whole_pairs.size()) std::abort();
  for (const PairBytes& pair : whole_pairs) {
    if (std::search(stream, stream + length, pair.begin(), pair.end()) == stream + length) {
      std::abort();
    }
  }
  if (kPairBytes * whole.counts.pairs + whole.counts.dropped_bytes + HeldBytes(whole) != length) {
    std::abort();
  }

  // A restart gives up what is held and counts it as dropped.
  const std::uint64_t dropped_before = whole.counts.dropped_bytes;
  const std::uint64_t held = HeldBytes(whole);
  ResetFrameDecoder(&whole);
  if (whole.counts.dropped_bytes != dropped_before + held || HeldBytes(whole) != 0 ||
      whole.state != DecoderState::kExpectText) {
    std::abort();
  }
  return 0;
}
