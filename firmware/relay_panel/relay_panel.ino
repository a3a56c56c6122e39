// The reference panel for panel-relay: an ATmega32U4 Arduino (Leonardo, Micro, Pro Micro) with a
// 256x64 SSD1322 OLED on SPI. It reads the relay's frame pairs from the USB serial port and
// shows the 5 lines of 25 characters, marked characters in inverse video.
//
// The relay holds DTR and RTS off, so this never waits for the host to open the port (no
// `while (!Serial)`): the core delivers received bytes whatever those lines are.
#include "src/frame_reader.h"
#include "src/panel_screen.h"
#include "src/ssd1322.h"

static FrameReader reader;
static PanelScreen screen;

// Takes what has arrived, at most a pair's worth, so the screen is drawn between reads.
static void ReadFrames() {
  for (uint16_t taken = 0; taken < kPairBytes && Serial.available() > 0; ++taken) {
    const int byte = Serial.read();
    if (byte < 0) break;
    if (FeedFrameReader(&reader, static_cast<uint8_t>(byte))) ShowPair(&screen, reader, millis());
  }
}

void setup() {
  Serial.begin(115200);  // USB: the rate is the host's business
  ResetFrameReader(&reader);
  StartScreen(&screen);
  BeginDisplay(&screen);
}

void loop() {
  ReadFrames();
  CheckStale(&screen, millis());
  DrawScreenChanges(&screen);
}
