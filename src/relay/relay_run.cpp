#include "relay/relay_run.h"

#include "common/console.h"
#include "common/pause.h"
#include "panel_link/panel_link.h"
#include "relay/panel_frames.h"
#include "sim_link/sim_link.h"

namespace {

void WriteToPanelPort(void* context, const PanelFrame& frame) {
  WritePanelFrame(*static_cast<const PanelPort*>(context), frame);
}

}  // namespace

int RunRelay() {
  ShowMessage("Use Ctrl+C to stop the program...\n");

  PanelPort port{};
  if (!PreparePanelPort(&port)) {
    return 1;
  }

  // Only now: an interrupt during the countdown keeps the platform's default and ends the
  // process at once.
  InstallStopHandler();

  SimulatorArea area{};
  if (!WaitForSimulatorArea(&area)) {
    ClosePanelPort(port);
    return 1;
  }
  if (!MapSimulatorArea(&area)) {
    ClosePanelPort(port);
    return 1;
  }

  RunUpdateLoop(area.view, FrameWriter{WriteToPanelPort, &port}, PauseMilliseconds);

  CloseSimulatorArea(area);
  ClosePanelPort(port);
  return 0;
}
