#include "wine_com4/wine_registry.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace {

char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void AppendUtf8(std::uint32_t code, std::string* out) {
  if (code < 0x80) {
    out->push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (code >> 6)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (code >> 12)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (code >> 18)));
    out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

// The next code point of `text` at *i, advancing *i; false on a malformed sequence.
bool NextCodePoint(std::string_view text, std::size_t* i, std::uint32_t* code) {
  const auto lead = static_cast<unsigned char>(text[*i]);
  std::size_t length = 0;
  std::uint32_t value = 0;
  std::uint32_t least = 0;  // overlong forms are malformed
  if (lead < 0x80) {
    *code = lead;
    ++*i;
    return true;
  }
  if ((lead & 0xE0) == 0xC0) {
    length = 2, value = lead & 0x1F, least = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, value = lead & 0x0F, least = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, value = lead & 0x07, least = 0x10000;
  } else {
    return false;
  }
  if (*i + length > text.size()) return false;
  for (std::size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[*i + k]);
    if ((next & 0xC0) != 0x80) return false;
    value = (value << 6) | (next & 0x3F);
  }
  if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
  *code = value;
  *i += length;
  return true;
}

// The file cut into lines, each with its line end.
std::vector<std::string_view> Lines(std::string_view file) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (start < file.size()) {
    std::size_t end = file.find('\n', start);
    end = end == std::string_view::npos ? file.size() : end + 1;
    lines.push_back(file.substr(start, end - start));
    start = end;
  }
  return lines;
}

std::string_view WithoutLineEnd(std::string_view line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  return line;
}

// Where the quoted text starting after `open` ends (the index of its closing quote or
// bracket), skipping escaped characters; npos when it does not end on this line.
std::size_t ClosingIndex(std::string_view line, std::size_t open, char closing) {
  for (std::size_t i = open + 1; i < line.size(); ++i) {
    if (line[i] == '\\') {
      ++i;
    } else if (line[i] == closing) {
      return i;
    }
  }
  return std::string_view::npos;
}

// A key's line: the key's name (as written, escaped) when the line starts one.
bool KeyLine(std::string_view line, std::string_view* written_name) {
  if (line.empty() || line[0] != '[') return false;
  const std::size_t close = ClosingIndex(line, 0, ']');
  if (close == std::string_view::npos) return false;
  *written_name = line.substr(1, close - 1);
  return true;
}

// A value's line: its name (unescaped) and what follows the '='.
bool ValueLine(std::string_view line, std::string* name, std::string_view* data) {
  line = WithoutLineEnd(line);
  if (line.size() >= 2 && line[0] == '@' && line[1] == '=') {
    name->clear();  // the key's default value
    *data = line.substr(2);
    return true;
  }
  if (line.empty() || line[0] != '"') return false;
  const std::size_t close = ClosingIndex(line, 0, '"');
  if (close == std::string_view::npos || close + 1 >= line.size() || line[close + 1] != '=') {
    return false;
  }
  *name = UnescapeRegistryString(line.substr(1, close - 1));
  *data = line.substr(close + 2);
  return true;
}

// "\r\n" or "\n" as the line ends, else nothing.
std::string_view OwnLineEnd(std::string_view line) {
  if (line.ends_with("\r\n")) return "\r\n";
  return line.ends_with('\n') ? "\n" : "";
}

bool Continues(std::string_view line) {
  line = WithoutLineEnd(line);
  return !line.empty() && line.back() == '\\';
}

struct Located {
  std::size_t key_line = std::string_view::npos;    // the key's line
  std::size_t first_value = 0;                      // after the key's line and metadata
  std::size_t value_line = std::string_view::npos;  // the value's first line
  std::size_t value_end = 0;                        // after its continuation lines
  std::string_view data;                            // what follows the value's '='
};

Located Locate(const std::vector<std::string_view>& lines, std::string_view key,
               std::string_view name) {
  std::string written_key;
  EscapeRegistryString(key, &written_key);
  Located found;
  bool in_key = false;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::string_view line_key;
    if (KeyLine(lines[i], &line_key)) {
      if (in_key) break;  // the key's values end where the next key starts
      in_key = SameName(line_key, written_key);
      if (in_key) {
        found.key_line = i;
        found.first_value = i + 1;
        while (found.first_value < lines.size() && !lines[found.first_value].empty() &&
               lines[found.first_value][0] == '#') {
          ++found.first_value;
        }
      }
      continue;
    }
    std::string value_name;
    std::string_view data;
    if (in_key && ValueLine(lines[i], &value_name, &data) && SameName(value_name, name)) {
      found.value_line = i;
      found.data = data;
      found.value_end = i + 1;
      while (found.value_end < lines.size() && Continues(lines[found.value_end - 1])) {
        ++found.value_end;
      }
      break;
    }
  }
  return found;
}

}  // namespace

bool EscapeRegistryString(std::string_view utf8, std::string* escaped) {
  std::string out;
  std::size_t i = 0;
  while (i < utf8.size()) {
    std::uint32_t code = 0;
    if (!NextCodePoint(utf8, &i, &code)) return false;
    if (code == '\\' || code == '"') {
      out.push_back('\\');
      out.push_back(static_cast<char>(code));
    } else if (code >= 0x20 && code < 0x7F) {
      out.push_back(static_cast<char>(code));
    } else {
      // Four digits always, so that a hex digit after it is not taken into it.
      auto unit = [&out](std::uint32_t value) {
        static constexpr char kHex[] = "0123456789abcdef";
        out += "\\x";
        for (int shift = 12; shift >= 0; shift -= 4) out.push_back(kHex[(value >> shift) & 0xF]);
      };
      if (code >= 0x10000) {
        unit(0xD800 + ((code - 0x10000) >> 10));
        unit(0xDC00 + ((code - 0x10000) & 0x3FF));
      } else {
        unit(code);
      }
    }
  }
  *escaped = std::move(out);
  return true;
}

std::string UnescapeRegistryString(std::string_view escaped) {
  std::string out;
  std::uint32_t high_surrogate = 0;
  auto put = [&out, &high_surrogate](std::uint32_t unit) {
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      high_surrogate = unit;
      return;
    }
    if (unit >= 0xDC00 && unit <= 0xDFFF && high_surrogate != 0) {
      AppendUtf8(0x10000 + ((high_surrogate - 0xD800) << 10) + (unit - 0xDC00), &out);
    } else if (unit < 0xD800 || unit > 0xDFFF) {
      AppendUtf8(unit, &out);
    } else {
      AppendUtf8(0xFFFD, &out);  // a lone surrogate
    }
    high_surrogate = 0;
  };
  for (std::size_t i = 0; i < escaped.size(); ++i) {
    const char c = escaped[i];
    if (c != '\\' || i + 1 == escaped.size()) {
      put(static_cast<unsigned char>(c));
      continue;
    }
    const char e = escaped[++i];
    switch (e) {
      case 'a':
        put('\a');
        break;
      case 'b':
        put('\b');
        break;
      case 'e':
        put(0x1B);
        break;
      case 'f':
        put('\f');
        break;
      case 'n':
        put('\n');
        break;
      case 'r':
        put('\r');
        break;
      case 't':
        put('\t');
        break;
      case 'v':
        put('\v');
        break;
      case 'x': {
        std::uint32_t unit = 0;
        std::size_t digits = 0;
        while (digits < 4 && i + 1 < escaped.size() && HexDigit(escaped[i + 1]) >= 0) {
          unit = unit * 16 + static_cast<std::uint32_t>(HexDigit(escaped[++i]));
          ++digits;
        }
        put(digits == 0 ? 'x' : unit);
        break;
      }
      default:
        if (e >= '0' && e <= '7') {
          std::uint32_t unit = static_cast<std::uint32_t>(e - '0');
          for (int digits = 1; digits < 3 && i + 1 < escaped.size() && escaped[i + 1] >= '0' &&
                               escaped[i + 1] <= '7';
               ++digits) {
            unit = unit * 8 + static_cast<std::uint32_t>(escaped[++i] - '0');
          }
          put(unit);
        } else {
          put(static_cast<unsigned char>(e));
        }
    }
  }
  return out;
}

RegistryValue FindRegistryValue(std::string_view file, std::string_view key,
                                std::string_view name) {
  const std::vector<std::string_view> lines = Lines(file);
  const Located found = Locate(lines, key, name);
  RegistryValue value;
  value.key_found = found.key_line != std::string_view::npos;
  value.value_found = found.value_line != std::string_view::npos;
  if (!value.value_found) return value;
  const std::string_view data = found.data;
  const std::size_t close =
      data.empty() || data[0] != '"' ? std::string_view::npos : ClosingIndex(data, 0, '"');
  if (close != std::string_view::npos && close + 1 == data.size()) {
    value.is_string = true;
    value.data = UnescapeRegistryString(data.substr(1, close - 1));
  } else {
    value.data = std::string(data);
  }
  return value;
}

bool SetRegistryString(std::string_view file, std::string_view key, std::string_view name,
                       std::string_view value, long long now_seconds, std::string* out) {
  std::string written_name;
  std::string written_value;
  std::string written_key;
  if (!EscapeRegistryString(name, &written_name) || !EscapeRegistryString(value, &written_value) ||
      !EscapeRegistryString(key, &written_key)) {
    return false;
  }
  const std::vector<std::string_view> lines = Lines(file);
  const Located found = Locate(lines, key, name);
  // New lines end the way the file's lines do.
  const bool crlf = !lines.empty() && WithoutLineEnd(lines[0]).size() + 2 == lines[0].size();
  const std::string_view line_end = crlf ? "\r\n" : "\n";
  const std::string value_line = '"' + written_name + "\"=\"" + written_value + '"';

  std::string result;
  result.reserve(file.size() + value_line.size() + written_key.size() + 64);
  if (found.key_line == std::string_view::npos) {
    result.append(file);
    if (!result.empty() && result.back() != '\n') result.append(line_end);
    result.append(line_end);  // a blank line before each key, as Wine writes them
    result += '[' + written_key + "] " + std::to_string(now_seconds);
    result.append(line_end);
    result += value_line;
    result.append(line_end);
  } else {
    const std::size_t replace_from =
        found.value_line != std::string_view::npos ? found.value_line : found.first_value;
    const std::size_t replace_to =
        found.value_line != std::string_view::npos ? found.value_end : found.first_value;
    for (std::size_t i = 0; i < replace_from; ++i) result.append(lines[i]);
    if (!result.empty() && result.back() != '\n') result.append(line_end);
    result += value_line;
    // A value replaced keeps the end its line had, so that setting it again changes nothing
    // even in a file whose lines end in more than one way.
    const std::string_view replaced_end =
        replace_to > replace_from ? OwnLineEnd(lines[replace_to - 1]) : std::string_view();
    result.append(replaced_end.empty() ? line_end : replaced_end);
    for (std::size_t i = replace_to; i < lines.size(); ++i) result.append(lines[i]);
  }
  *out = std::move(result);
  return true;
}
