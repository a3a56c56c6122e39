// Win32: Sleep.
#include <windows.h>

#include "common/pause.h"

void PauseMilliseconds(unsigned milliseconds) {
  Sleep(milliseconds);
}
