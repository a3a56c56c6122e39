// The simulator's named shared-memory area "FalconSharedMemoryArea", opened read-only.
#pragma once

#include "common/area_view.h"

struct SimulatorArea {
#if defined(_WIN32)
  void* handle;  // HANDLE of the file mapping
#else
  int fd;
#endif
  AreaView view;  // set by MapSimulatorArea
};

// Prints "Waiting for Falcon...", then tries to open the area until it opens (prints
// "Connected..." and returns true with the handle in *area) or a stop is requested (returns
// false, prints nothing more).
bool WaitForSimulatorArea(SimulatorArea* area);

// Maps the whole opened area read-only into area->view. On failure prints
// "Error accessing Falcon BMS (%d)." with the platform's error code, closes the handle and
// returns false.
bool MapSimulatorArea(SimulatorArea* area);

// Unmaps the view, then closes the handle.
void CloseSimulatorArea(SimulatorArea area);
