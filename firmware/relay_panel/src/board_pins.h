// The display's pins: the one table a board port changes. Arduino Leonardo, Micro and Pro Micro
// have them all on port B.
//
//   display  Arduino pin  ATmega32U4
//   SCLK     D15 (SCK)    PB1   hardware SPI
//   SDIN     D16 (MOSI)   PB2   hardware SPI
//   CS#      D10          PB6
//   D/C#     D9           PB5
//   RES#     D8           PB4
//
// SS (PB0, D17) is not CS: it drives the RX LED, and it must stay an output for the SPI to stay
// master.
#pragma once

#ifdef __AVR__
#include <avr/io.h>

#define PANEL_DISPLAY_PORT PORTB
#define PANEL_DISPLAY_DDR DDRB
constexpr uint8_t kPinSck = PB1;
constexpr uint8_t kPinMosi = PB2;
constexpr uint8_t kPinSpiSs = PB0;
constexpr uint8_t kPinCs = PB6;
constexpr uint8_t kPinDc = PB5;
constexpr uint8_t kPinReset = PB4;
#endif
