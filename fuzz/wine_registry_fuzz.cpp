// Arbitrary system.reg-shaped text into the registry editor, with a value to set: the first
// byte is the value's length, the value follows, the rest is the file. What the editor
// promises, checked without its own parser where it can be:
// - a value that is not UTF-8 is refused and the output left alone;
// - otherwise the result gives back the value set, as a string, and setting it again changes
//   nothing;
// - every line of the file outside the value's own lines stays, byte for byte and in order: the
//   result is the file with one run of lines (the old value and its continuation lines, or
//   none) replaced by the value's line, or the file with the key and the value appended.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "wine_com4/wine_registry.h"

namespace {

constexpr std::string_view kKey = "Software\\Wine\\Ports";
constexpr std::string_view kWrittenKey = "[Software\\\\Wine\\\\Ports] ";
constexpr std::string_view kName = "COM4";
constexpr long long kNow = 1796849909;

std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    const std::size_t next = end == std::string_view::npos ? text.size() : end + 1;
    lines.push_back(text.substr(start, next - start));
    start = next;
  }
  return lines;
}

bool Ends(std::string_view line) {
  return !line.empty() && line.back() == '\n';
}

// Whether `out` is `in` with one run of lines (some when `replaced`, else none) replaced by the
// line `value_line` (with its line end). The line before it may have gained a line end where it
// had none: only the file's last line can lack one.
bool ReplacesOneRun(const std::vector<std::string_view>& in,
                    const std::vector<std::string_view>& out, std::string_view value_line,
                    bool replaced) {
  for (std::size_t at = 0; at < out.size(); ++at) {
    if (!out[at].starts_with(value_line)) continue;
    const std::string_view end = out[at].substr(value_line.size());
    if (end != "\n" && end != "\r\n") continue;
    const std::size_t after = out.size() - at - 1;  // lines after the value's, kept from `in`
    if (after > in.size() || in.size() - after < at) continue;
    if ((in.size() - after > at) != replaced) continue;
    bool same = true;
    for (std::size_t i = 0; same && i < at; ++i) {
      same = in[i] == out[i] ||
             (i + 1 == at && at == in.size() - after && !Ends(in[i]) && out[i].starts_with(in[i]) &&
              (out[i].substr(in[i].size()) == "\n" || out[i].substr(in[i].size()) == "\r\n"));
    }
    for (std::size_t i = 0; same && i < after; ++i) {
      same = in[in.size() - after + i] == out[at + 1 + i];
    }
    if (same) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t value_size = std::min<std::size_t>(data[0], size - 1);
  const std::string_view value(reinterpret_cast<const char*>(data) + 1, value_size);
  const std::string_view file(reinterpret_cast<const char*>(data) + 1 + value_size,
                              size - 1 - value_size);

  std::string out = "untouched";
  std::string escaped;
  if (!SetRegistryString(file, kKey, kName, value, kNow, &out)) {
    if (out != "untouched" || EscapeRegistryString(value, &escaped)) std::abort();
    return 0;
  }
  if (!EscapeRegistryString(value, &escaped)) std::abort();

  const RegistryValue found = FindRegistryValue(out, kKey, kName);
  if (!found.key_found || !found.value_found || !found.is_string || found.data != value) {
    std::abort();
  }
  std::string again;
  if (!SetRegistryString(out, kKey, kName, value, kNow + 1, &again) || again != out) std::abort();

  const std::string value_line = "\"COM4\"=\"" + escaped + "\"";
  const RegistryValue before = FindRegistryValue(file, kKey, kName);
  if (before.key_found) {
    if (!ReplacesOneRun(Lines(file), Lines(out), value_line, before.value_found)) std::abort();
    return 0;
  }
  // No such key: the file as it was, then a blank line, the key and the value.
  if (!std::string_view(out).starts_with(file)) std::abort();
  std::string_view tail = std::string_view(out).substr(file.size());
  if (!file.empty() && file.back() != '\n') {
    if (tail.starts_with("\r\n")) {
      tail.remove_prefix(2);
    } else if (tail.starts_with("\n")) {
      tail.remove_prefix(1);
    } else {
      std::abort();
    }
  }
  const std::string unix_tail =
      "\n" + std::string(kWrittenKey) + std::to_string(kNow) + "\n" + value_line + "\n";
  const std::string dos_tail =
      "\r\n" + std::string(kWrittenKey) + std::to_string(kNow) + "\r\n" + value_line + "\r\n";
  if (tail != unix_tail && tail != dos_tail) std::abort();
  return 0;
}
