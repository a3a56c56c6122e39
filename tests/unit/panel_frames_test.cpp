// The frame pair and the update loop, on byte images and a recording sink.
#include "relay/panel_frames.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "common/stop_requested.h"
#include "unit/allocation_counter.h"

namespace {

using Image = std::vector<std::uint8_t>;

AreaView ViewOf(const Image& image) {
  return AreaView{image.data(), image.size()};
}

std::size_t TextOffset(std::size_t line, std::size_t column) {
  return 236 + 26 * line + column;
}
std::size_t AttributeOffset(std::size_t line, std::size_t column) {
  return 366 + 26 * line + column;
}

std::string Bytes(const PanelFrame& frame) {
  return std::string(frame.begin(), frame.end());
}

TEST(TranslateDisplayChar, ReplacesFourValuesAndPassesEveryOther) {
  for (unsigned value = 0; value < 256; ++value) {
    const auto byte = static_cast<std::uint8_t>(value);
    std::uint8_t expected = byte;
    if (value == 0x00) expected = 0x20;
    if (value == 0x01) expected = 0x12;
    if (value == 0x02) expected = 0x2A;
    if (value == 0x5E) expected = 0xA7;
    EXPECT_EQ(TranslateDisplayChar(byte), expected) << "byte " << value;
  }
}

TEST(EncodeDisplayAttribute, MarksOnlyTwo) {
  for (unsigned value = 0; value < 256; ++value) {
    EXPECT_EQ(EncodeDisplayAttribute(static_cast<std::uint8_t>(value)), value == 2 ? '1' : '0')
        << "byte " << value;
  }
}

TEST(BuildPanelFrames, AllZeroBlocksGiveSpacesAndZeros) {
  const Image image(kAreaBytesUsed, 0);
  const PanelFrames frames = BuildPanelFrames(ViewOf(image));
  EXPECT_EQ(Bytes(frames.text), "<" + std::string(125, ' ') + ">");
  EXPECT_EQ(Bytes(frames.attributes), ">" + std::string(125, '0') + "<");
}

TEST(BuildPanelFrames, EveryByteValueInEveryCellGoesThroughItsRule) {
  // Each cell gets a different value per round, so all 256 values pass through text and
  // attribute cells alike, and a misplaced cell shows as a wrong value.
  for (unsigned round = 0; round < 256; ++round) {
    Image image(kAreaBytesUsed, 0);
    for (std::size_t line = 0; line < 5; ++line) {
      for (std::size_t column = 0; column < 25; ++column) {
        const auto value = static_cast<std::uint8_t>(round + line * 25 + column);
        image[TextOffset(line, column)] = value;
        image[AttributeOffset(line, column)] = value;
      }
    }
    const PanelFrames frames = BuildPanelFrames(ViewOf(image));
    for (std::size_t line = 0; line < 5; ++line) {
      for (std::size_t column = 0; column < 25; ++column) {
        const auto value = static_cast<std::uint8_t>(round + line * 25 + column);
        const std::size_t at = 1 + 25 * line + column;
        ASSERT_EQ(frames.text[at], TranslateDisplayChar(value)) << line << "," << column;
        ASSERT_EQ(frames.attributes[at], value == 2 ? '1' : '0') << line << "," << column;
      }
    }
    ASSERT_EQ(frames.text[0], '<');
    ASSERT_EQ(frames.text[126], '>');
    ASSERT_EQ(frames.attributes[0], '>');
    ASSERT_EQ(frames.attributes[126], '<');
  }
}

TEST(BuildPanelFrames, CornerOffsetsAndTheLineStartExample) {
  Image image(kAreaBytesUsed, 0);
  image[364] = 'Q';  // text line 4, column 24
  image[366] = 2;    // attribute line 0, column 0
  const std::uint8_t start[] = {'A', 0x00, 0x02, '^', 'z'};
  for (std::size_t column = 0; column < 5; ++column) image[TextOffset(2, column)] = start[column];

  const PanelFrames frames = BuildPanelFrames(ViewOf(image));
  EXPECT_EQ(frames.text[125], 'Q');
  EXPECT_EQ(frames.attributes[1], '1');
  EXPECT_EQ(Bytes(frames.text).substr(1 + 50, 5), std::string("A *\xA7z"));
  EXPECT_EQ(frames.text[1 + 50 + 5], ' ');
}

TEST(BuildPanelFrames, ByteTwentyFiveOfEveryLineAndBytesOutsideTheBlocksChangeNothing) {
  const Image zero(600, 0);
  Image noisy(600, 0xFF);
  for (std::size_t line = 0; line < 5; ++line) {
    for (std::size_t column = 0; column < 25; ++column) {
      noisy[TextOffset(line, column)] = 0;
      noisy[AttributeOffset(line, column)] = 0;
    }
  }
  // Byte 25 of each line in both blocks, and everything before 236 and after 495, is 0xFF.
  ASSERT_EQ(noisy[TextOffset(0, 25)], 0xFF);
  ASSERT_EQ(noisy[AttributeOffset(4, 25)], 0xFF);
  const PanelFrames expected = BuildPanelFrames(ViewOf(zero));
  const PanelFrames frames = BuildPanelFrames(ViewOf(noisy));
  EXPECT_EQ(frames.text, expected.text);
  EXPECT_EQ(frames.attributes, expected.attributes);
}

TEST(BuildPanelFrames, ShortImagesReadMissingBytesAsZero) {
  // A full image of 'X' text, all marked, cut at several lengths: whatever lies past the cut
  // must come out as an empty, unmarked cell, and nothing past the length is touched.
  Image full(kAreaBytesUsed, 0);
  for (std::size_t line = 0; line < 5; ++line) {
    for (std::size_t column = 0; column < 25; ++column) {
      full[TextOffset(line, column)] = 'X';
      full[AttributeOffset(line, column)] = 2;
    }
  }
  for (std::size_t length : {std::size_t{0}, std::size_t{236}, std::size_t{300}, std::size_t{366},
                             std::size_t{400}, std::size_t{495}}) {
    // A copy of exactly this length, so a read past it would be caught by a sanitizer.
    const Image cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(length));
    const PanelFrames frames = BuildPanelFrames(AreaView{cut.data(), cut.size()});
    for (std::size_t line = 0; line < 5; ++line) {
      for (std::size_t column = 0; column < 25; ++column) {
        const std::size_t at = 1 + 25 * line + column;
        EXPECT_EQ(frames.text[at], TextOffset(line, column) < length ? 'X' : ' ')
            << "length " << length;
        EXPECT_EQ(frames.attributes[at], AttributeOffset(line, column) < length ? '1' : '0')
            << "length " << length;
      }
    }
  }
}

// A sink that records what the loop does, in order.
struct Recorder {
  std::vector<std::string> events;
  Image* image = nullptr;
  int stop_after_writes = -1;  // request a stop once this many writes are done
  int change_after_writes = -1;
  int writes = 0;
};

Recorder* recorder = nullptr;

void RecordWrite(void* context, const PanelFrame& frame) {
  auto* self = static_cast<Recorder*>(context);
  self->events.push_back(Bytes(frame));
  ++self->writes;
  if (self->writes == self->stop_after_writes) StopRequested.store(true);
  if (self->writes == self->change_after_writes) (*self->image)[TextOffset(0, 0)] = 'N';
}

void RecordPause(unsigned milliseconds) {
  recorder->events.push_back("pause " + std::to_string(milliseconds));
}

class UpdateLoop : public ::testing::Test {
 protected:
  void SetUp() override {
    StopRequested.store(false);
    image_[TextOffset(0, 0)] = 'O';
    image_[AttributeOffset(0, 0)] = 2;
    record_.image = &image_;
    recorder = &record_;
  }
  void TearDown() override {
    StopRequested.store(false);
    recorder = nullptr;
  }
  FrameWriter Writer() { return FrameWriter{RecordWrite, &record_}; }

  Image image_ = Image(kAreaBytesUsed, 0);
  Recorder record_;
};

TEST_F(UpdateLoop, UpdatePanelWritesTextFrameThenAttributeFrame) {
  UpdatePanel(ViewOf(image_), Writer());
  ASSERT_EQ(record_.events.size(), 2u);
  EXPECT_EQ(record_.events[0].substr(0, 2), "<O");
  EXPECT_EQ(record_.events[1].substr(0, 2), ">1");
}

TEST_F(UpdateLoop, StopBeforeTheLoopSendsNothing) {
  StopRequested.store(true);
  RunUpdateLoop(ViewOf(image_), Writer(), RecordPause);
  EXPECT_TRUE(record_.events.empty());
}

TEST_F(UpdateLoop, StopDuringTheTextWriteLetsTheCycleFinish) {
  record_.stop_after_writes = 3;  // during the second cycle's text write
  RunUpdateLoop(ViewOf(image_), Writer(), RecordPause);
  const std::vector<std::string> expected = {record_.events[0], record_.events[1], "pause 100",
                                             record_.events[0], record_.events[1], "pause 100"};
  EXPECT_EQ(record_.events, expected);
  EXPECT_EQ(record_.events[0].front(), '<');
  EXPECT_EQ(record_.events[1].front(), '>');
}

TEST_F(UpdateLoop, EveryCycleReadsTheImageAgain) {
  record_.change_after_writes = 2;  // the image changes after the first pair
  record_.stop_after_writes = 4;
  RunUpdateLoop(ViewOf(image_), Writer(), RecordPause);
  ASSERT_EQ(record_.events.size(), 6u);
  EXPECT_EQ(record_.events[0].substr(0, 2), "<O");
  EXPECT_EQ(record_.events[1], record_.events[4]);
  EXPECT_EQ(record_.events[2], "pause 100");
  EXPECT_EQ(record_.events[3].substr(0, 2), "<N");
}

void DiscardWrite(void*, const PanelFrame&) {}
int pauses_left = 0;
void CountedPause(unsigned) {
  if (--pauses_left == 0) StopRequested.store(true);
}

TEST_F(UpdateLoop, CyclesMakeNoAllocation) {
  pauses_left = 1000;
  const std::size_t before = AllocationCount();
  RunUpdateLoop(ViewOf(image_), FrameWriter{DiscardWrite, nullptr}, CountedPause);
  EXPECT_EQ(AllocationCount(), before);
  EXPECT_EQ(pauses_left, 0);
}

}  // namespace
