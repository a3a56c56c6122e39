// Win32: a named file mapping backed by the paging file; it lives as long as a handle to it does.
#include <windows.h>

#include "sim_emulator/shared_area.h"

bool PublishArea(std::size_t size, PublishedArea* area, std::string* error) {
  HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                      static_cast<DWORD>(size), L"FalconSharedMemoryArea");
  if (mapping == nullptr) {
    *error = "cannot create the area (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(mapping);
    *error = "the area already exists: a simulator (or another emulator) is running";
    return false;
  }
  void* base = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, size);
  if (base == nullptr) {
    *error = "cannot map the area (error " + std::to_string(GetLastError()) + ")";
    CloseHandle(mapping);
    return false;
  }
  area->handle = mapping;
  area->bytes = static_cast<volatile std::uint8_t*>(base);
  area->size = size;
  return true;
}

void ReleaseArea(PublishedArea* area) {
  UnmapViewOfFile(const_cast<std::uint8_t*>(area->bytes));
  CloseHandle(area->handle);
  area->bytes = nullptr;
  area->handle = nullptr;
}
