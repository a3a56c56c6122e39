// Test stand-in for the simulator: publishes the area "FalconSharedMemoryArea" read-write and
// changes its bytes on command, so a test controls exactly what the relay reads.
//
//   area_standin [SIZE]     creates the area with SIZE bytes (default 4096), prints "ready"
//   stdin: write OFFSET HEX  copies the bytes given in hex to OFFSET; answers "ok"
//          resize SIZE       (POSIX only) changes the object's size; answers "ok"
//          quit, or end of input: releases the area and ends with status 0
// Anything malformed answers "error ..." and is ignored.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace {

unsigned char* area = nullptr;
std::size_t area_size = 0;

#if defined(_WIN32)
HANDLE mapping = nullptr;

bool CreateArea(std::size_t size) {
  mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                               static_cast<DWORD>(size), L"FalconSharedMemoryArea");
  if (mapping == nullptr) return false;
  area = static_cast<unsigned char*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, size));
  area_size = size;
  return area != nullptr;
}

bool ResizeArea(std::size_t) {
  return false;
}

void ReleaseArea() {
  UnmapViewOfFile(area);
  CloseHandle(mapping);
}
#else
constexpr char kName[] = "/FalconSharedMemoryArea";
int fd = -1;

bool MapArea(std::size_t size) {
  area_size = size;
  area = nullptr;
  if (size == 0) return true;
  void* base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (base == MAP_FAILED) return false;
  area = static_cast<unsigned char*>(base);
  return true;
}

bool CreateArea(std::size_t size) {
  fd = shm_open(kName, O_CREAT | O_EXCL | O_RDWR, 0644);
  if (fd < 0) return false;
  return ftruncate(fd, static_cast<off_t>(size)) == 0 && MapArea(size);
}

bool ResizeArea(std::size_t size) {
  if (area != nullptr) munmap(area, area_size);
  return ftruncate(fd, static_cast<off_t>(size)) == 0 && MapArea(size);
}

void ReleaseArea() {
  if (area != nullptr) munmap(area, area_size);
  close(fd);
  shm_unlink(kName);
}
#endif

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void Reply(const char* text) {
  std::printf("%s\n", text);
  std::fflush(stdout);
}

void Execute(const std::string& line) {
  char command[16] = {};
  unsigned long long number = 0;
  int consumed = 0;
  if (std::sscanf(line.c_str(), "%15s %llu %n", command, &number, &consumed) < 2) {
    Reply("error: expected a command and a number");
    return;
  }
  if (std::strcmp(command, "resize") == 0) {
    Reply(ResizeArea(number) ? "ok" : "error: resize failed");
    return;
  }
  if (std::strcmp(command, "write") != 0) {
    Reply("error: unknown command");
    return;
  }
  const std::string hex = line.substr(static_cast<std::size_t>(consumed));
  if (hex.size() % 2 != 0 || number + hex.size() / 2 > area_size) {
    Reply("error: bad length");
    return;
  }
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const int high = HexDigit(hex[i]);
    const int low = HexDigit(hex[i + 1]);
    if (high < 0 || low < 0) {
      Reply("error: bad hex");
      return;
    }
    area[number + i / 2] = static_cast<unsigned char>(high * 16 + low);
  }
  Reply("ok");
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t size = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 4096;
  if (!CreateArea(size)) {
    Reply("error: cannot create the area");
    return 1;
  }
  Reply("ready");
  std::string line;
  for (int c = std::getchar(); c != EOF; c = std::getchar()) {
    if (c == '\r') continue;
    if (c != '\n') {
      line.push_back(static_cast<char>(c));
      continue;
    }
    if (line == "quit") break;
    if (!line.empty()) Execute(line);
    line.clear();
  }
  ReleaseArea();
  return 0;
}
