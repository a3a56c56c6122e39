// Arbitrary page files into the simulator emulator's parser. A rejected file must leave the
// pages as they were and say which line is wrong; an accepted one must hold only cells a page
// can hold, and each page must copy into an area of exactly the used size.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sim_emulator/pages.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view content(reinterpret_cast<const char*>(data), size);
  std::vector<Page> pages(1);
  pages[0].text[0] = 0xEE;  // marks the page that a failed parse must leave alone
  std::string error;

  if (!ParsePageFile(content, &pages, &error)) {
    if (pages.size() != 1 || pages[0].text[0] != 0xEE) std::abort();
    if (error.rfind("line ", 0) != 0 && error.rfind("no page", 0) != 0) std::abort();
    return 0;
  }
  if (pages.empty() || !error.empty()) std::abort();
  const std::size_t used = kPageAttributeOffset + kPageLines * kPageLineStride;
  const std::unique_ptr<std::uint8_t[]> area(new std::uint8_t[used]());
  for (const Page& page : pages) {
    for (std::size_t line = 0; line < kPageLines; ++line) {
      // The 26th byte of a line is never part of a page.
      if (page.text[line * kPageLineStride + kPageColumns] != 0) std::abort();
      if (page.attributes[line * kPageLineStride + kPageColumns] != 0) std::abort();
    }
    for (std::uint8_t attribute : page.attributes) {
      if (attribute != 0 && attribute != kMarkedAttribute) std::abort();
    }
    WritePage(page, area.get());
  }
  return 0;
}
