#include "sim_emulator/pages.h"

#include <cstdio>

namespace {

// Page files are hand-written and small; anything bigger is not one.
constexpr long kMaxFileBytes = 1 << 20;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string LineError(std::size_t line_number, const std::string& what) {
  return "line " + std::to_string(line_number) + ": " + what;
}

std::string_view TrimRight(std::string_view text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

// The row's content between the first and the last '|', after the keyword.
bool RowContent(std::string_view rest, std::string_view* content) {
  const std::size_t open = rest.find('|');
  const std::size_t close = rest.rfind('|');
  if (open == std::string_view::npos || close == open) return false;
  if (rest.substr(0, open).find_first_not_of(' ') != std::string_view::npos) return false;
  if (!TrimRight(rest.substr(close + 1)).empty()) return false;
  *content = rest.substr(open + 1, close - open - 1);
  return true;
}

bool DecodeTextRow(std::string_view content, std::uint8_t* cells, std::string* what) {
  std::size_t count = 0;
  for (std::size_t i = 0; i < content.size(); ++i) {
    std::uint8_t byte = static_cast<std::uint8_t>(content[i]);
    if (byte == '\\') {
      const char code = i + 1 < content.size() ? content[i + 1] : '\0';
      if (code == '1' || code == '2') {
        byte = static_cast<std::uint8_t>(code - '0');
        i += 1;
      } else if (code == '\\') {
        i += 1;
      } else if (code == 'x' && i + 3 < content.size() && HexValue(content[i + 2]) >= 0 &&
                 HexValue(content[i + 3]) >= 0) {
        byte = static_cast<std::uint8_t>(HexValue(content[i + 2]) * 16 + HexValue(content[i + 3]));
        i += 3;
      } else {
        *what = "bad escape at column " + std::to_string(i + 1) + " (use \\1, \\2, \\\\ or \\xHH)";
        return false;
      }
    } else if (byte < 0x20 || byte > 0x7E) {
      *what = "character at column " + std::to_string(i + 1) +
              " is not printable ASCII (write it as \\xHH)";
      return false;
    }
    if (count == kPageColumns) {
      *what = "text row has more than 25 cells";
      return false;
    }
    cells[count++] = byte;
  }
  for (; count < kPageColumns; ++count) cells[count] = ' ';
  return true;
}

bool DecodeMarkRow(std::string_view content, std::uint8_t* attributes, std::string* what) {
  if (content.size() > kPageColumns) {
    *what = "mark row has " + std::to_string(content.size()) + " cells, at most 25 fit";
    return false;
  }
  for (std::size_t i = 0; i < content.size(); ++i) {
    if (content[i] == '#') {
      attributes[i] = kMarkedAttribute;
    } else if (content[i] != ' ' && content[i] != '.') {
      *what = "mark row may hold only '#', ' ' and '.' (column " + std::to_string(i + 1) + ")";
      return false;
    }
  }
  return true;
}

}  // namespace

bool ParsePageFile(std::string_view content, std::vector<Page>* pages, std::string* error) {
  std::vector<Page> parsed;
  std::size_t rows = kPageLines;  // text rows of the current page; none open yet
  bool last_was_text = false;
  std::size_t line_number = 0;
  std::size_t page_line = 0;  // where the open page began
  while (!content.empty()) {
    ++line_number;
    const std::size_t end = content.find('\n');
    std::string_view line = TrimRight(content.substr(0, end));
    content.remove_prefix(end == std::string_view::npos ? content.size() : end + 1);
    const std::size_t first = line.find_first_not_of(' ');
    if (first == std::string_view::npos || line[first] == '#') continue;
    line.remove_prefix(first);

    std::string what;
    if (line == "page") {
      if (rows != kPageLines) {
        *error =
            LineError(line_number, "the page begun on line " + std::to_string(page_line) + " has " +
                                       std::to_string(rows) + " text rows, it needs 5");
        return false;
      }
      parsed.emplace_back();
      rows = 0;
      page_line = line_number;
      last_was_text = false;
      continue;
    }
    const bool is_text = line.substr(0, 4) == "text";
    const bool is_mark = line.substr(0, 4) == "mark";
    std::string_view row;
    if ((!is_text && !is_mark) || !RowContent(line.substr(4), &row)) {
      *error = LineError(line_number, "expected 'page', 'text |...|' or 'mark |...|', got \"" +
                                          std::string(line.substr(0, 40)) + "\"");
      return false;
    }
    if (is_text) {
      if (parsed.empty() || rows == kPageLines) {
        *error = LineError(line_number, parsed.empty() ? "text row before the first 'page'"
                                                       : "a page has only 5 text rows");
        return false;
      }
      if (!DecodeTextRow(row, parsed.back().text.data() + rows * kPageLineStride, &what)) {
        *error = LineError(line_number, what);
        return false;
      }
      ++rows;
      last_was_text = true;
      continue;
    }
    if (!last_was_text) {
      *error = LineError(line_number, "a mark row must follow a text row");
      return false;
    }
    if (!DecodeMarkRow(row, parsed.back().attributes.data() + (rows - 1) * kPageLineStride,
                       &what)) {
      *error = LineError(line_number, what);
      return false;
    }
    last_was_text = false;
  }
  if (rows != kPageLines) {
    *error = LineError(line_number, "the page begun on line " + std::to_string(page_line) +
                                        " has " + std::to_string(rows) + " text rows, it needs 5");
    return false;
  }
  if (parsed.empty()) {
    *error = "no page in the file (a page starts with a line 'page')";
    return false;
  }
  *pages = std::move(parsed);
  return true;
}

bool LoadPageFile(const char* path, std::vector<Page>* pages, std::string* error) {
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) {
    *error = std::string(path) + ": cannot be opened";
    return false;
  }
  std::string content;
  char buffer[4096];
  bool too_big = false;
  for (;;) {
    const std::size_t got = std::fread(buffer, 1, sizeof buffer, file);
    content.append(buffer, got);
    if (content.size() > static_cast<std::size_t>(kMaxFileBytes)) {
      too_big = true;
      break;
    }
    if (got < sizeof buffer) break;  // the end, or an error: nothing more to read either way
  }
  const bool read_failed = std::ferror(file) != 0;
  std::fclose(file);
  if (read_failed || too_big) {
    *error =
        std::string(path) + (too_big ? ": larger than 1 MiB, not a page file" : ": cannot be read");
    return false;
  }
  std::string what;
  if (!ParsePageFile(content, pages, &what)) {
    *error = std::string(path) + ": " + what;
    return false;
  }
  return true;
}

namespace {

// Written in the page file format, so the built-in set is checked by the same parser.
constexpr std::string_view kBuiltInPages = R"(
page
text |UHF  242.00   STPT \1 12 |
text |                         |
text |VHF  1        10:24:37   |
text |                         |
text | M3 1234  MAN   T 109X   |
mark |          ###            |
page
text |     STPT \1 12  AUTO \1 |
text |   LAT  N 34^52.610'     |
mark |          ##########     |
text |   LNG  W116^45.390'     |
text |  ELEV      2306FT       |
text |   TOS    10:31:05       |
page
text |      BINGO  \1  3       |
text |                         |
text |   SET   \24500LBS\2     |
mark |         ##########      |
text | TOTAL    9870LBS        |
text |                         |
page
text |       TIME     \1  4    |
text |  SYSTEM   10:24:37      |
text |  HACK     00:03:12      |
text | \2DELTA TOS 00:00:00\2   |
mark | ######################  |
text |  MM/DD/YY 06/14/26      |
page
text |     BULL    \1  5       |
text |                         |
text |   \2BULL 045^  32NM\2    |
mark |   ################      |
text |   HDG 272^   RNG 41NM   |
text |                         |
)";

}  // namespace

std::vector<Page> BuiltInPages() {
  std::vector<Page> pages;
  std::string error;
  ParsePageFile(kBuiltInPages, &pages, &error);
  return pages;
}

void WritePage(const Page& page, volatile std::uint8_t* area) {
  for (std::size_t i = 0; i < page.text.size(); ++i) {
    area[kPageTextOffset + i] = page.text[i];
    area[kPageAttributeOffset + i] = page.attributes[i];
  }
}
