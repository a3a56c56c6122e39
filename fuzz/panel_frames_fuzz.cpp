// Arbitrary area images, of any length, into BuildPanelFrames. Each cell of both frames must be
// its byte's rule applied to the byte at its place (0 past the image's end), and no byte past
// the end may be read: the image is an allocation of exactly its length, which AddressSanitizer
// watches.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "relay/panel_frames.h"

namespace {

std::uint8_t ByteAt(const std::uint8_t* data, std::size_t size, std::size_t offset) {
  return offset < size ? data[offset] : std::uint8_t{0};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::unique_ptr<std::uint8_t[]> image(new std::uint8_t[size]);
  if (size > 0) std::memcpy(image.get(), data, size);
  const PanelFrames frames = BuildPanelFrames(AreaView{image.get(), size});

  if (frames.text[0] != '<' || frames.text[126] != '>' || frames.attributes[0] != '>' ||
      frames.attributes[126] != '<') {
    std::abort();
  }
  for (std::size_t line = 0; line < kDisplayLineCount; ++line) {
    for (std::size_t column = 0; column < kPanelLineWidth; ++column) {
      const std::size_t at = 1 + kPanelLineWidth * line + column;
      const std::uint8_t text = ByteAt(data, size, 236 + 26 * line + column);
      const std::uint8_t attribute = ByteAt(data, size, 366 + 26 * line + column);
      if (frames.text[at] != TranslateDisplayChar(text)) std::abort();
      if (frames.attributes[at] != (attribute == 2 ? '1' : '0')) std::abort();
    }
  }
  return 0;
}
