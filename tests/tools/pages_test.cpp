// Page files: what a good file loads as, and that a bad one is refused whole, naming the line.
#include "sim_emulator/pages.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string Line(const Page& page, std::size_t line, bool attributes = false) {
  const auto& block = attributes ? page.attributes : page.text;
  return std::string(block.begin() + static_cast<long>(line * kPageLineStride),
                     block.begin() + static_cast<long>(line * kPageLineStride + kPageLineStride));
}

std::string Padded(std::string text) {
  text.resize(kPageColumns, ' ');
  return text + '\0';  // the unused 26th byte stays zero
}

TEST(PageFileTest, GoodFileLoadsAsTheExpectedBytes) {
  const char* file =
      "# two pages\n"
      "\n"
      "page\n"
      "text |UHF  242.00  STPT \\1  8|\n"
      "mark |     ######|\n"
      "  text |LAT N 34^52.6' \\2\\\\\\x41\\xfF|\r\n"
      "text ||\n"
      "text |a|b|c|   \n"
      "mark |.#.. #|\n"
      "text |1234567890123456789012345|\n"
      "page\n"
      "text |x|\ntext |y|\ntext |z|\ntext |v|\ntext |w|\n";
  std::vector<Page> pages;
  std::string error;
  ASSERT_TRUE(ParsePageFile(file, &pages, &error)) << error;
  ASSERT_EQ(pages.size(), 2u);
  const Page& page = pages[0];
  EXPECT_EQ(Line(page, 0), Padded("UHF  242.00  STPT \x01  8"));
  EXPECT_EQ(Line(page, 1), Padded("LAT N 34^52.6' \x02\\A\xff"));
  EXPECT_EQ(Line(page, 2), Padded(""));
  EXPECT_EQ(Line(page, 3), Padded("a|b|c"));  // the row runs to the last bar
  EXPECT_EQ(Line(page, 4), Padded("1234567890123456789012345"));
  EXPECT_EQ(Line(page, 0, true),
            std::string(5, '\0') + std::string(6, '\x02') + std::string(15, '\0'));
  EXPECT_EQ(Line(page, 1, true), std::string(26, '\0'));
  EXPECT_EQ(Line(page, 3, true), std::string("\0\x02\0\0\0\x02", 6) + std::string(20, '\0'));
  EXPECT_EQ(Line(pages[1], 4), Padded("w"));
}

TEST(PageFileTest, MalformedFilesAreRefusedWholeWithTheLine) {
  const std::string good = "text |a|\ntext |b|\ntext |c|\ntext |d|\ntext |e|\n";
  const struct {
    std::string file;
    std::string message;
  } cases[] = {
      {"", "no page in the file"},
      {"# only a comment\n\n", "no page in the file"},
      {"text |a|\n", "line 1: text row before the first 'page'"},
      {"page\ntext |a|\ntext |b|\ntext |c|\ntext |d|\n", "line 5: the page begun on line 1 has 4"},
      {"page\ntext |a|\npage\n" + good, "line 3: the page begun on line 1 has 1 text rows"},
      {"page\n" + good + "text |f|\n", "line 7: a page has only 5 text rows"},
      {"page\nmark |#|\n" + good, "line 2: a mark row must follow a text row"},
      {"page\ntext |a|\nmark |#|\nmark |#|\n", "line 4: a mark row must follow a text row"},
      {"page\ntext |12345678901234567890123456|\n", "line 2: text row has more than 25 cells"},
      {"page\ntext |a\\q|\n", "line 2: bad escape at column 2"},
      {"page\ntext |a\\x4|\n", "line 2: bad escape"},
      {"page\ntext |a\\|\n", "line 2: bad escape"},
      {"page\ntext |caf\xc3\xa9|\n", "line 2: character at column 4 is not printable ASCII"},
      {"page\ntext |a\tb|\n", "line 2: character at column 2"},
      {"page\ntext |a\n", "line 2: expected 'page'"},
      {"page\ntext a|\n", "line 2: expected 'page'"},
      {"page\ntext |a| b\n", "line 2: expected 'page'"},
      {"page\nline |a|\n",
       "line 2: expected 'page', 'text |...|' or 'mark |...|', got \"line |a|\""},
      {"page\ntext |a|\nmark |#x|\n", "line 3: mark row may hold only"},
      {"page\ntext |a|\nmark |12345678901234567890123456|\n", "line 3: mark row has 26 cells"},
      {"page 2\n" + good, "line 1: expected 'page'"},
  };
  for (const auto& test : cases) {
    std::vector<Page> pages(3);  // what was there before stays untouched
    pages[0].text[0] = 'K';
    std::string error;
    EXPECT_FALSE(ParsePageFile(test.file, &pages, &error)) << test.file;
    EXPECT_EQ(error.rfind(test.message, 0), 0u) << "got: " << error << "\nfor: " << test.file;
    ASSERT_EQ(pages.size(), 3u);
    EXPECT_EQ(pages[0].text[0], 'K');
  }
}

TEST(PageFileTest, LoadingNamesTheFile) {
  const std::string path = ::testing::TempDir() + "pages_test_bad.txt";
  std::FILE* file = std::fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  std::fputs("page\ntext |ok|\ntext |\\z|\n", file);
  std::fclose(file);
  std::vector<Page> pages;
  std::string error;
  EXPECT_FALSE(LoadPageFile(path.c_str(), &pages, &error));
  EXPECT_EQ(error, path + ": line 3: bad escape at column 1 (use \\1, \\2, \\\\ or \\xHH)");
  EXPECT_TRUE(pages.empty());
  std::remove(path.c_str());
  EXPECT_FALSE(LoadPageFile(path.c_str(), &pages, &error));
  EXPECT_EQ(error, path + ": cannot be opened");
}

TEST(PageFileTest, BuiltInPagesAreDistinctAndUseTheSpecialCodesAndMarks) {
  const std::vector<Page> pages = BuiltInPages();
  ASSERT_GE(pages.size(), 4u);
  bool has_01 = false, has_02 = false, has_caret = false;
  for (std::size_t i = 0; i < pages.size(); ++i) {
    const Page& page = pages[i];
    for (std::uint8_t byte : page.text) {
      has_01 |= byte == 0x01;
      has_02 |= byte == 0x02;
      has_caret |= byte == '^';
    }
    for (std::size_t j = 0; j < i; ++j) EXPECT_NE(pages[j].text, page.text) << i;
    bool marked = false;
    for (std::uint8_t attribute : page.attributes) marked |= attribute == kMarkedAttribute;
    EXPECT_TRUE(marked) << "page " << i << " has no marked field";
  }
  EXPECT_TRUE(has_01 && has_02 && has_caret);
}

TEST(PageFileTest, PageGoesToTheTwoDisplayBlocksOnly) {
  std::vector<Page> pages;
  std::string error;
  ASSERT_TRUE(ParsePageFile("page\ntext |A|\nmark |#|\ntext ||\ntext ||\ntext ||\ntext |^Z|\n",
                            &pages, &error))
      << error;
  std::vector<std::uint8_t> area(600, 0xEE);
  WritePage(pages[0], area.data());
  EXPECT_EQ(area[235], 0xEE);
  EXPECT_EQ(area[236], 'A');
  EXPECT_EQ(area[237], ' ');
  EXPECT_EQ(area[236 + 25], 0);  // unused 26th byte
  EXPECT_EQ(area[236 + 4 * 26], '^');
  EXPECT_EQ(area[236 + 4 * 26 + 1], 'Z');
  EXPECT_EQ(area[366], kMarkedAttribute);
  EXPECT_EQ(area[367], 0);
  EXPECT_EQ(area[495], 0);
  EXPECT_EQ(area[496], 0xEE);
}

}  // namespace
