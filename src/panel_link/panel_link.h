// The serial port to the panel: fixed name "COM4", 1200 baud 8N1 without flow control, DTR and
// RTS off, a restart wait after the line is configured, and bounded writes.
#pragma once

#include "common/panel_frame.h"

struct PanelPort {
#if defined(_WIN32)
  void* handle;  // HANDLE
#else
  int fd;
#endif
};

// Opens the port, applies the line settings, closes it, counts down 12 s while the panel
// restarts, reopens it and applies the time-outs. On failure prints "COM-Port not available..."
// and returns false with nothing left open.
bool PreparePanelPort(PanelPort* port);

// One write of all 127 bytes, bounded by the write time-out; the outcome is not reported, since
// the next cycle sends a complete pair again.
void WritePanelFrame(PanelPort port, const PanelFrame& frame);

void ClosePanelPort(PanelPort port);
