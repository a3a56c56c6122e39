#include "panel_link/restart_countdown.h"

#include "common/console.h"
#include "common/pause.h"

namespace {

constexpr int kCountdownSeconds = 12;
constexpr unsigned kCountdownStepMilliseconds = 250;

}  // namespace

void CountDownPanelRestart() {
  for (int second = kCountdownSeconds; second >= 1; --second) {
    ShowMessage("%d", second);
    PauseMilliseconds(kCountdownStepMilliseconds);
    ShowMessage(".");
    PauseMilliseconds(kCountdownStepMilliseconds);
    ShowMessage(".");
    PauseMilliseconds(kCountdownStepMilliseconds);
    ShowMessage(".");
    PauseMilliseconds(kCountdownStepMilliseconds);
    ShowMessage(" ");
  }
  ShowMessage("\n");
}
