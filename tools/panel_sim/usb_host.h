// The USB host the panel's chip sees, through simavr's USB device (avr_usb.h): it waits for the
// firmware to attach, resets the bus, enumerates (device descriptor, address, configuration 1),
// sends the line coding the host has at the device's probe (9600 8N1, as Linux does), then the
// CDC requests and bulk OUT data queued by the caller, in their order. Each step is one try
// between two slices of the simulation: the device answers a SETUP in its interrupt, so it must
// run before the data stage that shares endpoint 0's buffer. The device's IN data other than the
// descriptor is not read (simavr raises no start-of-frame, which the core's CDC output needs).
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

struct SimChip;

struct UsbAction {
  enum class Kind : std::uint8_t { kControl, kData } kind = Kind::kData;
  std::uint8_t setup[8] = {};
  std::vector<std::uint8_t> bytes;  // control: OUT data stage; data: bulk OUT bytes
  std::uint16_t in_length = 0;      // control: IN data stage length
  std::string name;                 // for the log
};

struct UsbHost {
  enum class State : std::uint8_t { kDetached, kReset, kReady } state = State::kDetached;
  std::deque<UsbAction> actions;  // what the host sends, in order
  std::size_t queued_data = 0;    // bulk bytes still in `actions`
  // The control transfer under way: 0 setup, 1 data stage, 2 status stage.
  int stage = 0;
  std::size_t sent = 0;       // of the head action's bytes
  bool head_started = false;  // the head action has had its first try
  std::uint64_t step_started = 0;
  std::uint64_t reset_at = 0;
  bool configured = false;
  int failures = 0;
  std::uint32_t line_rate = 0;   // the last SET_LINE_CODING sent
  std::uint64_t bulk_bytes = 0;  // delivered to the device
  std::vector<std::string> log;  // what happened, for the caller to print
};

// Back to a detached device (at start, and after the chip reset): the queue is kept, the
// enumeration starts again once the firmware attaches.
void UsbHostDetached(UsbHost* host);

void UsbHostSetLineCoding(UsbHost* host, std::uint32_t rate);
void UsbHostSetControlLineState(UsbHost* host, bool dtr, bool rts);
void UsbHostSendData(UsbHost* host, const std::uint8_t* bytes, std::size_t count);

// One try at the host's next step; call between slices of about 1 ms.
void UsbHostStep(UsbHost* host, SimChip* chip);
