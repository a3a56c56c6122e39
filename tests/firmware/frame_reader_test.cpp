// The frame reader: whole pairs taken, and its place found again after garbage, lost, cut and
// damaged frames, with text that holds '<', '>' and runs of '0'/'1'.
#include "frame_reader.h"

#include <gtest/gtest.h>

#include <random>

#include "firmware_pairs.h"

namespace {

// Texts that look most like frames: delimiters and marks inside, an attribute frame's opening.
std::vector<Page> TrickyPages() {
  std::vector<Page> pages;
  const std::string zeros(125, '0');
  pages.push_back({zeros, zeros});
  pages.push_back({std::string(125, '1'), std::string(125, '1')});
  pages.push_back({">" + std::string(124, '0'), zeros});
  pages.push_back({std::string(124, '1') + "<", zeros});
  pages.push_back({std::string(62, '>') + std::string(63, '<'), zeros});
  std::string mixed;
  for (int i = 0; i < 125; ++i) mixed.push_back("<>01\x00\xff"[i % 6]);
  pages.push_back({mixed, std::string(62, '1') + std::string(63, '0')});
  return pages;
}

Bytes RandomGarbage(std::mt19937* random, std::size_t length) {
  // Mostly the bytes that matter to the reader, so that near-frames are common.
  static const std::uint8_t kAlphabet[] = {'<', '>', '0', '1', 'A', 0x00, 0xFF};
  std::uniform_int_distribution<std::size_t> pick(0, sizeof kAlphabet - 1);
  Bytes bytes;
  for (std::size_t i = 0; i < length; ++i) bytes.push_back(kAlphabet[pick(*random)]);
  return bytes;
}

TEST(FwCoreReader, TakesEveryWholePairOnceWhateverItsTextHolds) {
  Panel panel;
  const std::vector<Page> pages = TrickyPages();
  for (const Page& page : pages) {
    panel.Feed(PairBytes(page));
    EXPECT_TRUE(panel.Shows(page)) << "text " << page.text;
  }
  EXPECT_EQ(panel.pairs, static_cast<int>(pages.size()));
}

TEST(FwCoreReader, AfterAnyGarbageTheFirstWholePairIsShown) {
  std::mt19937 random(25);
  const Page page = NumberedPage(7);
  for (std::size_t length = 0; length < 600; ++length) {
    Panel panel;
    panel.Feed(RandomGarbage(&random, length));
    panel.Feed(PairBytes(page));
    ASSERT_TRUE(panel.Shows(page)) << "after " << length << " bytes of garbage";
  }
  // Garbage that ends inside a candidate attribute frame, one mark short or whole but unclosed.
  for (const Bytes& garbage :
       {Concat({Bytes(1, '>'), Bytes(124, '1')}), Concat({Bytes(1, '>'), Bytes(125, '0')}),
        Concat({Bytes(1, '<'), Bytes(125, 'x'), Bytes(2, '>'), Bytes(100, '1')})}) {
    Panel panel;
    panel.Feed(garbage);
    panel.Feed(PairBytes(page));
    EXPECT_TRUE(panel.Shows(page));
    EXPECT_EQ(panel.pairs, 1);
  }
}

TEST(FwCoreReader, CutFramesAreDroppedAndTheNextPairTaken) {
  const Page first = NumberedPage(1);
  const Page second = NumberedPage(2);
  const Bytes whole = PairBytes(first);
  // The first pair cut short at every length, then the second whole.
  for (std::size_t kept = 0; kept < whole.size(); ++kept) {
    Panel panel;
    panel.Feed(Bytes(whole.begin(), whole.begin() + static_cast<long>(kept)));
    EXPECT_EQ(panel.pairs, 0) << "cut at " << kept;
    panel.Feed(PairBytes(second));
    ASSERT_TRUE(panel.Shows(second)) << "cut at " << kept;
    // Cut before its last byte, the first pair is closed by the '<' that opens the next text
    // frame: the bytes do make that pair whole.
    ASSERT_EQ(panel.pairs, kept == kPairBytes - 1 ? 2 : 1) << "cut at " << kept;
  }
  // A run of bytes lost from the middle of a pair: the rest never makes a pair.
  for (std::size_t from = 0; from < whole.size(); from += 7) {
    Panel panel;
    Bytes damaged = whole;
    damaged.erase(damaged.begin() + static_cast<long>(from),
                  damaged.begin() + static_cast<long>(std::min(from + 5, damaged.size())));
    panel.Feed(damaged);
    panel.Feed(PairBytes(second));
    EXPECT_TRUE(panel.Shows(second)) << "bytes lost at " << from;
    EXPECT_EQ(panel.pairs, 1) << "bytes lost at " << from;
  }
}

TEST(FwCoreReader, LostFramesNeverPairTheWrongHalves) {
  const Page a = NumberedPage(1), b = NumberedPage(2), c = NumberedPage(3);
  const Bytes pa = PairBytes(a), pb = PairBytes(b), pc = PairBytes(c);
  const Bytes text_b(pb.begin(), pb.begin() + kFrameBytes);
  const Bytes attributes_b(pb.begin() + kFrameBytes, pb.end());
  {  // b's attribute frame lost: b's text must not pair with c's attributes
    Panel panel;
    panel.Feed(Concat({pa, text_b}));
    EXPECT_TRUE(panel.Shows(a));
    panel.Feed(pc);
    EXPECT_TRUE(panel.Shows(c));
    EXPECT_EQ(panel.pairs, 2);
  }
  {  // b's text frame lost: its attribute frame follows a's and is not a pair with it
    Panel panel;
    panel.Feed(Concat({pa, attributes_b}));
    EXPECT_EQ(panel.pairs, 1);
    EXPECT_TRUE(panel.Shows(a));
    panel.Feed(pc);
    EXPECT_TRUE(panel.Shows(c));
  }
}

TEST(FwCoreReader, DamagedFramesAreRefused) {
  const Page page = NumberedPage(4);
  const Page next = NumberedPage(5);
  struct Damage {
    std::size_t at;
    std::uint8_t byte;
  };
  // Text frame delimiters, an attribute byte that is no mark, the attribute delimiters.
  for (const Damage damage : {Damage{0, '('}, Damage{126, '<'}, Damage{127, '<'},
                              Damage{127 + 60, '2'}, Damage{127 + 60, '>'}, Damage{253, '>'}}) {
    Panel panel;
    Bytes bytes = PairBytes(page);
    bytes[damage.at] = damage.byte;
    panel.Feed(bytes);
    EXPECT_EQ(panel.pairs, 0) << "damage at " << damage.at;
    EXPECT_FALSE(panel.Shows(page));
    panel.Feed(PairBytes(next));
    EXPECT_TRUE(panel.Shows(next)) << "damage at " << damage.at;
  }
}

// As a Linux terminal's default output processing sends it: each 0x0A after an added 0x0D.
Bytes WithLineEndsAdded(const Bytes& bytes) {
  Bytes sent;
  for (std::uint8_t byte : bytes) {
    if (byte == 0x0A) sent.push_back(0x0D);
    sent.push_back(byte);
  }
  return sent;
}

TEST(FwCoreReader, TextWhoseLineFeedsGotCarriageReturnsIsShownAsSent) {
  const Page next = NumberedPage(6);
  std::vector<Page> pages;
  Page one = NumberedPage(1);
  one.text[40] = '\n';
  pages.push_back(one);
  Page ends{std::string(125, '\n'), std::string(125, '1')};  // every byte lengthened
  pages.push_back(ends);
  Page both = NumberedPage(2);  // a 0x0D 0x0A of its own arrives as 0x0D 0x0D 0x0A
  both.text[0] = '\n';
  both.text[10] = '\r';
  both.text[11] = '\n';
  both.text[124] = '\r';
  pages.push_back(both);
  for (const Page& page : pages) {
    Panel panel;
    panel.Feed(WithLineEndsAdded(PairBytes(page)));
    EXPECT_TRUE(panel.Shows(page));
    EXPECT_EQ(panel.pairs, 1);
    panel.Feed(WithLineEndsAdded(PairBytes(next)));
    EXPECT_TRUE(panel.Shows(next));
  }
  // Longer than the added returns explain: refused.
  Bytes stretched = WithLineEndsAdded(PairBytes(one));
  stretched.insert(stretched.begin() + 60, 'x');
  Panel panel;
  panel.Feed(stretched);
  EXPECT_EQ(panel.pairs, 0);
}

TEST(FwCoreReader, ARestartForgetsThePartlyReadPair) {
  const Page a = NumberedPage(8), b = NumberedPage(9);
  const Bytes stream = Concat({PairBytes(a), PairBytes(b)});
  // A reset (the chip restarting) at every byte of a pair: what came before it never completes
  // a pair, and the next whole pair is taken.
  for (std::size_t at = 1; at < kPairBytes; ++at) {
    Panel panel;
    panel.Feed(Bytes(stream.begin(), stream.begin() + static_cast<long>(at)));
    ResetFrameReader(&panel.reader);
    panel.Feed(Bytes(stream.begin() + static_cast<long>(at), stream.begin() + kPairBytes));
    EXPECT_EQ(panel.pairs, 0) << "reset at " << at;
    panel.Feed(Bytes(stream.begin() + kPairBytes, stream.end()));
    ASSERT_TRUE(panel.Shows(b)) << "reset at " << at;
  }
}

}  // namespace
