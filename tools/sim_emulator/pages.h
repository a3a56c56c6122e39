// Pages the simulator emulator shows: five display lines with one attribute per character, laid
// out as the simulator keeps them in its shared-memory area.
//
// Page file format (plain text, one item a line):
//   # comment                   lines starting with '#' and blank lines are ignored
//   page                        starts a page; five text rows must follow
//   text |UHF  242.00  STPT ^ 8|  one display line: up to 25 cells between the first '|' and the
//                               last '|' on the line (shorter lines are filled with spaces)
//   mark |     ######          |  optional, right after a text row: '#' marks the cell above it
//                               (shown inverted on the panel), ' ' or '.' leaves it unmarked
// In a text row every printable ASCII character is one cell, and a backslash writes a code:
//   \1 = 0x01  \2 = 0x02  \\ = backslash  \xHH = the byte HH (hex)
// An escape is one cell, so a mark row counts cells, not the characters of the text row.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::size_t kPageLines = 5;
inline constexpr std::size_t kPageLineStride = 26;  // 25 characters and one unused byte
inline constexpr std::size_t kPageColumns = 25;
inline constexpr std::size_t kPageTextOffset = 236;
inline constexpr std::size_t kPageAttributeOffset = 366;
inline constexpr std::uint8_t kMarkedAttribute = 0x02;

struct Page {
  std::array<std::uint8_t, kPageLines * kPageLineStride> text{};        // the area's text block
  std::array<std::uint8_t, kPageLines * kPageLineStride> attributes{};  // and its attribute block
};

// Parses a whole page file. On success fills *pages and returns true; on failure leaves *pages
// untouched and sets *error to a message naming the line, e.g. "line 7: text row has 26 cells,
// at most 25 fit".
bool ParsePageFile(std::string_view content, std::vector<Page>* pages, std::string* error);

// Reads and parses the file; the message names the file and the line.
bool LoadPageFile(const char* path, std::vector<Page>* pages, std::string* error);

// The built-in set: several five-line pages with marked fields and the special codes.
std::vector<Page> BuiltInPages();

// Copies the page's two blocks into the area (at least 496 bytes).
void WritePage(const Page& page, volatile std::uint8_t* area);
