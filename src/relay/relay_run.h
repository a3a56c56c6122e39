// The program's life from start to exit.
#pragma once

// Installs the handler that turns console control events (Ctrl+C, Ctrl+Break, close, log-off,
// shutdown) or their POSIX signals into StopRequested. Never removed.
void InstallStopHandler();

// Runs the relay and returns the exit status: 0 after a stop while relaying, 1 otherwise.
int RunRelay();
