// The area "FalconSharedMemoryArea", created and published read-write by the emulator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct PublishedArea {
#if defined(_WIN32)
  void* handle = nullptr;  // HANDLE of the named file mapping
#else
  int fd = -1;
#endif
  volatile std::uint8_t* bytes = nullptr;
  std::size_t size = 0;
};

// Creates the area at its full size, zero-filled, and maps it. Refuses an area that already
// exists: it belongs to a running simulator (or, on POSIX, was left by a run that was killed).
bool PublishArea(std::size_t size, PublishedArea* area, std::string* error);

// Unmaps and releases the area; on POSIX the name is removed, so readers see it gone.
void ReleaseArea(PublishedArea* area);
