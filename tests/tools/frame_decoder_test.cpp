// The decoder must show every pair sent in alignment and nothing else, whatever the stream holds.
#include "panel_emulator/frame_decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <iterator>
#include <random>
#include <vector>

#include "make_pair.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Encode(const PanelPair& pair) {
  Bytes bytes;
  bytes.reserve(2 * kPanelFrameSize);
  bytes.push_back('<');
  std::copy(pair.text.begin(), pair.text.end(), std::back_inserter(bytes));
  bytes.push_back('>');
  bytes.push_back('>');
  std::transform(pair.marked.begin(), pair.marked.end(), std::back_inserter(bytes),
                 [](bool marked) -> std::uint8_t { return marked ? '1' : '0'; });
  bytes.push_back('<');
  return bytes;
}

void Append(Bytes* stream, const Bytes& more) {
  stream->insert(stream->end(), more.begin(), more.end());
}

void Collect(void* context, const PanelPair& pair) {
  static_cast<std::vector<PanelPair>*>(context)->push_back(pair);
}

std::vector<PanelPair> Decode(FrameDecoder* decoder, const Bytes& stream) {
  std::vector<PanelPair> pairs;
  FeedFrameDecoder(decoder, stream.data(), stream.size(), PairSink{Collect, &pairs});
  return pairs;
}

bool Same(const PanelPair& a, const PanelPair& b) {
  return a.text == b.text && a.marked == b.marked;
}

void ExpectPairs(const std::vector<PanelPair>& got, const std::vector<PanelPair>& expected) {
  ASSERT_EQ(got.size(), expected.size());
  for (std::size_t i = 0; i < got.size(); ++i) EXPECT_TRUE(Same(got[i], expected[i])) << i;
}

// Text full of the delimiters and of attribute-like runs: '>' followed by '0'/'1' up to the
// frame's end would look like the start of an attribute frame to a delimiter-splitting decoder.
const PanelPair kTricky =
    MakePair("<>><<>" + std::string(4, '>') + ">" + std::string(114, '0'), std::string(125, '1'));
const PanelPair kFirst = MakePair("UHF 242.00 <STPT> 8", "0000111111");
const PanelPair kSecond = MakePair(">" + std::string(124, '1'), "1");
const PanelPair kThird = MakePair(std::string(125, '<'), std::string(125, '0'));

TEST(FrameDecoderTest, AlignedStreamWithDelimitersInTextIsTakenWhole) {
  Bytes stream;
  for (const PanelPair& pair : {kFirst, kTricky, kSecond, kThird}) Append(&stream, Encode(pair));
  FrameDecoder decoder;
  ExpectPairs(Decode(&decoder, stream), {kFirst, kTricky, kSecond, kThird});
  EXPECT_EQ(decoder.counts.pairs, 4u);
  EXPECT_EQ(decoder.counts.dropped_frames, 0u);
  EXPECT_EQ(decoder.counts.dropped_bytes, 0u);
}

TEST(FrameDecoderTest, PiecesOfAnySizeDecodeLikeTheWholeStream) {
  Bytes stream;
  for (const PanelPair& pair : {kTricky, kFirst, kSecond}) Append(&stream, Encode(pair));
  for (std::size_t piece : {1u, 2u, 126u, 127u, 128u, 253u}) {
    FrameDecoder decoder;
    std::vector<PanelPair> pairs;
    for (std::size_t at = 0; at < stream.size(); at += piece) {
      const std::size_t length = std::min(piece, stream.size() - at);
      FeedFrameDecoder(&decoder, stream.data() + at, length, PairSink{Collect, &pairs});
    }
    ExpectPairs(pairs, {kTricky, kFirst, kSecond});
  }
}

TEST(FrameDecoderTest, GarbageAtTheStartIsSkippedUpToTheFirstAttributeFrame) {
  Bytes stream(50, 'x');
  stream[3] = '<';
  stream[40] = '>';
  for (const PanelPair& pair : {kFirst, kTricky, kSecond}) Append(&stream, Encode(pair));
  FrameDecoder decoder;
  // The first pair's text frame was not read in alignment, so only the pairs after it show.
  ExpectPairs(Decode(&decoder, stream), {kTricky, kSecond});
  EXPECT_EQ(decoder.counts.dropped_bytes, 50u + 254u);
  EXPECT_EQ(decoder.counts.dropped_frames, 3u);
}

TEST(FrameDecoderTest, StartingInsideATrickyTextFrameNeverShowsAMisalignedPair) {
  Bytes clean;
  for (const PanelPair& pair : {kTricky, kTricky, kFirst, kTricky, kSecond}) {
    Append(&clean, Encode(pair));
  }
  // Join the stream at every offset of the first pair: whatever is shown must be a real pair,
  // in order, and the last two are always recovered.
  for (std::size_t offset = 1; offset < 254; ++offset) {
    const Bytes stream(clean.begin() + static_cast<long>(offset), clean.end());
    FrameDecoder decoder;
    const std::vector<PanelPair> pairs = Decode(&decoder, stream);
    ASSERT_GE(pairs.size(), 2u) << offset;
    ASSERT_LE(pairs.size(), 4u) << offset;
    const std::vector<PanelPair> tail = {kTricky, kFirst, kTricky, kSecond};
    for (std::size_t i = 0; i < pairs.size(); ++i) {
      EXPECT_TRUE(Same(pairs[i], tail[tail.size() - pairs.size() + i])) << offset;
    }
  }
}

TEST(FrameDecoderTest, CutFramesCostOnlyThePairsTheyTouch) {
  const Bytes first = Encode(kFirst);
  const Bytes second = Encode(kSecond);
  {
    // A text frame cut short: the pair after it is lost to the resync, the rest comes through.
    Bytes stream = first;
    stream.insert(stream.end(), second.begin(), second.begin() + 60);
    for (const PanelPair& pair : {kTricky, kThird, kFirst}) Append(&stream, Encode(pair));
    FrameDecoder decoder;
    ExpectPairs(Decode(&decoder, stream), {kFirst, kThird, kFirst});
    EXPECT_GT(decoder.counts.dropped_frames, 0u);
  }
  {
    // An attribute frame cut short.
    Bytes stream(first.begin(), first.begin() + 127 + 50);
    for (const PanelPair& pair : {kSecond, kThird, kTricky}) Append(&stream, Encode(pair));
    FrameDecoder decoder;
    ExpectPairs(Decode(&decoder, stream), {kThird, kTricky});
  }
  {
    // Attribute bytes other than '0'/'1' make the pair malformed.
    Bytes bad = first;
    bad[127 + 10] = '2';
    Bytes stream = bad;
    for (const PanelPair& pair : {kSecond, kThird}) Append(&stream, Encode(pair));
    FrameDecoder decoder;
    ExpectPairs(Decode(&decoder, stream), {kThird});
  }
}

TEST(FrameDecoderTest, ARestartDropsThePartAndExpectsATextFrame) {
  FrameDecoder decoder;
  Bytes stream = Encode(kFirst);
  const Bytes second = Encode(kSecond);
  stream.insert(stream.end(), second.begin(), second.begin() + 30);
  ExpectPairs(Decode(&decoder, stream), {kFirst});
  ResetFrameDecoder(&decoder);
  EXPECT_EQ(decoder.counts.dropped_bytes, 30u);
  EXPECT_EQ(decoder.counts.dropped_frames, 1u);
  ExpectPairs(Decode(&decoder, Encode(kThird)), {kThird});

  // Also when the decoder had lost its place: a restart gives it back at once.
  FrameDecoder lost;
  Decode(&lost, Bytes(300, '?'));
  EXPECT_EQ(lost.state, DecoderState::kHunting);
  ResetFrameDecoder(&lost);
  EXPECT_EQ(lost.counts.dropped_bytes, 300u);
  ExpectPairs(Decode(&lost, Encode(kTricky)), {kTricky});
}

void CheckRandomStream(unsigned seed) {
  SCOPED_TRACE(seed);
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> byte(0, 255);
  std::vector<PanelPair> sent;  // every pair that went out whole, in order
  Bytes stream;
  std::size_t disturbances = 0;
  for (int segment = 0; segment < 3000; ++segment) {
    PanelPair pair{};
    for (std::size_t i = 0; i < kPanelCells; ++i) {
      // Delimiters and attribute digits are common in the text, as they can be in the area.
      const int pick = byte(random);
      pair.text[i] = pick < 64 ? static_cast<std::uint8_t>("<>01"[pick % 4])
                               : static_cast<std::uint8_t>(byte(random));
      pair.marked[i] = byte(random) < 64;
    }
    const Bytes frames = Encode(pair);
    const int kind = byte(random) % 10;
    if (kind < 7) {
      Append(&stream, frames);
      sent.push_back(pair);
    } else if (kind < 9) {
      // Cuts near either frame's end are the hard ones: half of them fall there.
      std::size_t length = static_cast<std::size_t>(byte(random)) % frames.size();
      if (length % 2 == 0) length = (length % 4 == 0 ? 254 : 127) - 1 - length % 3;
      stream.insert(stream.end(), frames.begin(), frames.begin() + static_cast<long>(length));
      // Cut only by its closing '<': the next text frame's '<' completes it, and what shows is
      // exactly the pair sent.
      if (length == frames.size() - 1) sent.push_back(pair);
      ++disturbances;
    } else {
      for (int i = byte(random); i > 0; --i)
        stream.push_back(static_cast<std::uint8_t>(byte(random)));
      ++disturbances;
    }
  }
  FrameDecoder decoder;
  std::vector<PanelPair> shown;
  for (std::size_t at = 0; at < stream.size();) {
    const std::size_t length = std::min<std::size_t>(1 + byte(random) * 3, stream.size() - at);
    FeedFrameDecoder(&decoder, stream.data() + at, length, PairSink{Collect, &shown});
    at += length;
  }
  // Every shown pair is a sent one, in order (a subsequence of what was sent).
  std::size_t next = 0;
  for (const PanelPair& pair : shown) {
    while (next < sent.size() && !Same(sent[next], pair)) ++next;
    ASSERT_LT(next, sent.size()) << "a pair was shown that was never sent whole";
    ++next;
  }
  // A disturbance costs at most the pair it hits and the two around it.
  EXPECT_GE(shown.size() + 3 * disturbances, sent.size());
  EXPECT_EQ(decoder.counts.pairs, shown.size());
  EXPECT_GT(decoder.counts.dropped_frames, 0u);
}

TEST(FrameDecoderTest, LongRandomStreamsShowOnlyPairsThatWereSentInOrder) {
  for (unsigned seed = 1; seed <= 8; ++seed) CheckRandomStream(seed);
}

}  // namespace
