// Win32: the area is a named file mapping that the simulator creates; it is opened with
// FILE_MAP_READ and mapped whole. The view's length is the size of the mapped region, which
// Windows rounds up to whole pages.
#include <windows.h>

#include "common/console.h"
#include "common/stop_requested.h"
#include "sim_link/sim_link.h"

namespace {

constexpr wchar_t kAreaName[] = L"FalconSharedMemoryArea";

}  // namespace

bool WaitForSimulatorArea(SimulatorArea* area) {
  ShowMessage("Waiting for Falcon...\n");
  for (;;) {
    if (StopRequested.load()) {
      return false;
    }
    HANDLE handle = OpenFileMappingW(FILE_MAP_READ, FALSE, kAreaName);
    if (handle != nullptr) {
      ShowMessage("Connected...\n");
      area->handle = handle;
      return true;
    }
    // Not a pause: just lets a simulator that is starting up have the processor.
    SwitchToThread();
  }
}

bool MapSimulatorArea(SimulatorArea* area) {
  const void* base = MapViewOfFile(area->handle, FILE_MAP_READ, 0, 0, 0);
  if (base == nullptr) {
    const int error = static_cast<int>(GetLastError());
    ShowMessage("Error accessing Falcon BMS (%d).\n", error);
    CloseHandle(area->handle);
    return false;
  }
  MEMORY_BASIC_INFORMATION region{};
  const SIZE_T described = VirtualQuery(base, &region, sizeof region);
  area->view.bytes = static_cast<const volatile std::uint8_t*>(base);
  area->view.length = described == 0 ? 0 : region.RegionSize;
  return true;
}

void CloseSimulatorArea(SimulatorArea area) {
  UnmapViewOfFile(const_cast<const std::uint8_t*>(area.view.bytes));
  CloseHandle(area.handle);
}
