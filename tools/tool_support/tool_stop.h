// Ctrl+C (and, on POSIX, SIGTERM and SIGHUP) for the emulators: the handler only sets a flag that
// the main loop polls between its short waits.
#pragma once

void InstallToolStopHandler();
bool ToolStopRequested();
void ToolSleepMilliseconds(unsigned milliseconds);
