// POSIX: the shared-memory object "/FalconSharedMemoryArea".
#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

#include "sim_emulator/shared_area.h"

namespace {

constexpr char kAreaName[] = "/FalconSharedMemoryArea";

}  // namespace

bool PublishArea(std::size_t size, PublishedArea* area, std::string* error) {
  const int fd = shm_open(kAreaName, O_CREAT | O_EXCL | O_RDWR, 0644);
  if (fd < 0) {
    *error = errno == EEXIST ? "the area already exists: a simulator is running, or a killed "
                               "run left /dev/shm/FalconSharedMemoryArea behind (remove it)"
                             : std::string("cannot create the area: ") + std::strerror(errno);
    return false;
  }
  // Full size before anything is written, so a reader never maps a short object.
  void* base = MAP_FAILED;
  if (ftruncate(fd, static_cast<off_t>(size)) == 0) {
    base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  }
  if (base == MAP_FAILED) {
    *error = std::string("cannot size or map the area: ") + std::strerror(errno);
    close(fd);
    shm_unlink(kAreaName);
    return false;
  }
  area->fd = fd;
  area->bytes = static_cast<volatile std::uint8_t*>(base);
  area->size = size;
  return true;
}

void ReleaseArea(PublishedArea* area) {
  munmap(const_cast<std::uint8_t*>(area->bytes), area->size);
  close(area->fd);
  shm_unlink(kAreaName);
  area->bytes = nullptr;
  area->fd = -1;
}
