// The SSD1322 256x64 OLED controller over 4-wire SPI (AVR only): set-up, and drawing what the
// screen says has changed.
#pragma once

#include "panel_screen.h"

// Pins and SPI, reset pulse, the controller's set-up, the whole screen drawn, display on.
void BeginDisplay(PanelScreen* screen);

// Writes every window of the display that differs from the screen.
void DrawScreenChanges(PanelScreen* screen);
