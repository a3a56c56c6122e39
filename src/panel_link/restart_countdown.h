// The wait while the panel restarts, shared by the platforms' port preparation.
#pragma once

// Counts down 12 s on the console: each second shows as its number, three dots and a space,
// every piece as it comes (48 pauses of 250 ms), then the line ends.
void CountDownPanelRestart();
