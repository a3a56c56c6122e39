// POSIX: the area is the shared-memory object "/FalconSharedMemoryArea", opened read-only with
// shm_open and mapped whole with mmap. A simulator may create the object before it sizes it, so
// one too small to hold the display blocks counts as not there yet. The view is as long as the
// object was when it was mapped; an object that shrinks later ends the program with SIGBUS on
// the next read past its new end, which no check here could prevent.
#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <utility>

#include "common/console.h"
#include "common/stop_requested.h"
#include "sim_link/sim_link.h"

namespace {

constexpr char kAreaName[] = "/FalconSharedMemoryArea";

// The object's size in bytes, or -1 (errno set) when it cannot be told.
off_t ObjectSize(int fd) {
  struct stat status {};
  if (fstat(fd, &status) != 0) {
    return -1;
  }
  return status.st_size;
}

}  // namespace

bool WaitForSimulatorArea(SimulatorArea* area) {
  ShowMessage("Waiting for Falcon...\n");
  for (;;) {
    if (StopRequested.load()) {
      return false;
    }
    const int fd = shm_open(kAreaName, O_RDONLY | O_CLOEXEC, 0);
    if (fd >= 0) {
      if (ObjectSize(fd) >= static_cast<off_t>(kAreaBytesUsed)) {
        ShowMessage("Connected...\n");
        area->fd = fd;
        return true;
      }
      close(fd);
    }
    // Not a pause: just lets a simulator that is starting up have the processor.
    sched_yield();
  }
}

bool MapSimulatorArea(SimulatorArea* area) {
  const void* base = MAP_FAILED;
  std::size_t length = 0;
  const off_t size = ObjectSize(area->fd);
  if (size >= 0) {
    if (std::in_range<std::size_t>(size)) {
      length = static_cast<std::size_t>(size);
      base = mmap(nullptr, length, PROT_READ, MAP_SHARED, area->fd, 0);
    } else {
      errno = ENOMEM;  // larger than this process can address
    }
  }
  if (base == MAP_FAILED) {
    const int error = errno;
    ShowMessage("Error accessing Falcon BMS (%d).\n", error);
    close(area->fd);
    return false;
  }
  area->view.bytes = static_cast<const volatile std::uint8_t*>(base);
  area->view.length = length;
  return true;
}

void CloseSimulatorArea(SimulatorArea area) {
  // NOLINTNEXTLINE(cppcoreguidelines-pro-type-const-cast): munmap takes a plain pointer
  munmap(const_cast<std::uint8_t*>(area.view.bytes), area.view.length);
  close(area.fd);
}
