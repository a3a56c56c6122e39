// A read-only view of the simulator's shared-memory area.
#pragma once

#include <cstddef>
#include <cstdint>

// Bytes are read through a volatile pointer: the simulator rewrites the area from another
// process, so every cycle must load them from the mapping again instead of reusing a value
// the compiler kept from an earlier cycle.
struct AreaView {
  const volatile std::uint8_t* bytes;
  std::size_t length;  // bytes that may be read; anything at or past it reads as 0
};

// The two display blocks end at this offset, so a complete area holds at least this many bytes.
inline constexpr std::size_t kAreaBytesUsed = 496;

inline std::uint8_t ReadAreaByte(AreaView view, std::size_t offset) {
  return offset < view.length ? view.bytes[offset] : std::uint8_t{0};
}
