#include "panel_sim/usb_host.h"

#include <avr_usb.h>
#include <sim_avr.h>
#include <sim_io.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <string>

#include "panel_sim/sim_chip.h"

namespace {

constexpr std::uint16_t kUdien = 0xE2;            // USB device interrupt enables
constexpr std::uint8_t kEndOfResetEnable = 0x08;  // EORSTE: the core's attach() sets it
constexpr std::uint8_t kDataEndpoint = 2;         // the core's CDC OUT endpoint
constexpr std::size_t kPacket = 64;
constexpr int kPacketsPerFrame = 19;  // full speed, 64-byte bulk packets in 1 ms
constexpr std::uint64_t kStepTimeoutCycles = kClockHz / 10;  // 100 ms for one stage
constexpr std::uint64_t kResetCycles = kClockHz / 100;       // bus reset, then 10 ms of rest

UsbAction Control(const char* name, std::uint8_t type, std::uint8_t request, std::uint16_t value,
                  std::uint16_t index, std::uint16_t length) {
  UsbAction action;
  action.kind = UsbAction::Kind::kControl;
  action.name = name;
  const std::uint8_t setup[8] = {type,
                                 request,
                                 static_cast<std::uint8_t>(value & 0xFF),
                                 static_cast<std::uint8_t>(value >> 8),
                                 static_cast<std::uint8_t>(index & 0xFF),
                                 static_cast<std::uint8_t>(index >> 8),
                                 static_cast<std::uint8_t>(length & 0xFF),
                                 static_cast<std::uint8_t>(length >> 8)};
  std::copy(std::begin(setup), std::end(setup), action.setup);
  if ((type & 0x80) != 0) action.in_length = length;
  return action;
}

UsbAction LineCoding(std::uint32_t rate) {
  UsbAction action = Control("SET_LINE_CODING", 0x21, 0x20, 0, 0, 7);
  action.bytes = {static_cast<std::uint8_t>(rate),
                  static_cast<std::uint8_t>(rate >> 8),
                  static_cast<std::uint8_t>(rate >> 16),
                  static_cast<std::uint8_t>(rate >> 24),
                  0,
                  0,
                  8};  // 1 stop bit, no parity, 8 data bits
  return action;
}

int Transfer(SimChip* chip, std::uint32_t request, std::uint8_t pipe, std::uint8_t* buffer,
             std::uint32_t size, std::uint32_t* done) {
  avr_io_usb io{pipe, size, buffer};
  const int result = avr_ioctl(chip->avr, request, &io);
  if (done != nullptr) *done = io.sz;
  return result;
}

void Log(UsbHost* host, const std::string& line) {
  host->log.push_back(line);
}

void Finish(UsbHost* host, bool ok) {
  const UsbAction& action = host->actions.front();
  const std::string::size_type colon = action.name.find(':');
  const std::string what = colon == std::string::npos ? action.name : action.name.substr(colon + 1);
  if (!ok) {
    ++host->failures;
    Log(host, what + " failed");
  } else if (what == "SET_CONFIGURATION") {
    host->configured = true;
    Log(host, "configured");
  } else if (what == "SET_LINE_CODING") {
    host->line_rate = static_cast<std::uint32_t>(action.bytes[0] | action.bytes[1] << 8 |
                                                 action.bytes[2] << 16 | action.bytes[3] << 24);
    Log(host, "line coding " + std::to_string(host->line_rate));
  } else if (what == "SET_CONTROL_LINE_STATE") {
    Log(host, "control line state " + std::to_string(action.setup[2]));
  }
  host->actions.pop_front();
  host->stage = 0;
  host->sent = 0;
  host->head_started = false;
}

// One try at the control transfer at the head of the queue.
void ControlStep(UsbHost* host, SimChip* chip) {
  UsbAction& action = host->actions.front();
  if (SimCycle(*chip) - host->step_started > kStepTimeoutCycles) {
    Finish(host, false);
    return;
  }
  int result = AVR_IOCTL_USB_NAK;
  if (host->stage == 0) {
    result = Transfer(chip, AVR_IOCTL_USB_SETUP, 0, action.setup, 8, nullptr);
    if (result == AVR_IOCTL_USB_OK)
      host->stage = action.bytes.empty() && action.in_length == 0 ? 2 : 1;
  } else if (host->stage == 1 && action.in_length > 0) {
    std::uint8_t buffer[kPacket] = {};
    std::uint32_t got = 0;
    result = Transfer(chip, AVR_IOCTL_USB_READ, 0, buffer,
                      std::min<std::uint32_t>(action.in_length, kPacket), &got);
    if (result == AVR_IOCTL_USB_OK) host->stage = 2;
    // The device descriptor (18 bytes, type 1) names the board by its vendor and product.
    if (result == AVR_IOCTL_USB_OK && got >= 12 && buffer[0] == 18 && buffer[1] == 1) {
      char ids[32];
      std::snprintf(ids, sizeof ids, "device %04x:%04x", buffer[8] | buffer[9] << 8,
                    buffer[10] | buffer[11] << 8);
      Log(host, ids);
    }
  } else if (host->stage == 1) {
    result = Transfer(chip, AVR_IOCTL_USB_WRITE, 0, action.bytes.data(),
                      static_cast<std::uint32_t>(action.bytes.size()), nullptr);
    if (result == AVR_IOCTL_USB_OK) host->stage = 2;
  } else if (action.in_length > 0) {
    // Status of a read: a zero-length OUT packet.
    result = Transfer(chip, AVR_IOCTL_USB_WRITE, 0, nullptr, 0, nullptr);
    if (result == AVR_IOCTL_USB_OK) Finish(host, true);
  } else {
    // Status of a write: the device's zero-length IN packet.
    std::uint8_t none[kPacket] = {};
    result = Transfer(chip, AVR_IOCTL_USB_READ, 0, none, kPacket, nullptr);
    if (result == AVR_IOCTL_USB_OK) Finish(host, true);
  }
  if (result == AVR_IOCTL_USB_STALL) Finish(host, false);
}

void DataStep(UsbHost* host, SimChip* chip) {
  for (int packet = 0; packet < kPacketsPerFrame && !host->actions.empty(); ++packet) {
    UsbAction& action = host->actions.front();
    if (action.kind != UsbAction::Kind::kData) return;
    const std::size_t count = std::min(kPacket, action.bytes.size() - host->sent);
    const int result =
        Transfer(chip, AVR_IOCTL_USB_WRITE, kDataEndpoint, action.bytes.data() + host->sent,
                 static_cast<std::uint32_t>(count), nullptr);
    if (result != AVR_IOCTL_USB_OK) return;  // NAK: both banks full, again next frame
    host->sent += count;
    host->bulk_bytes += count;
    host->queued_data -= count;
    if (host->sent == action.bytes.size()) {
      host->actions.pop_front();
      host->sent = 0;
      host->head_started = false;
    }
  }
}

}  // namespace

void UsbHostDetached(UsbHost* host) {
  host->state = UsbHost::State::kDetached;
  host->configured = false;
  host->stage = 0;
  host->sent = 0;
  host->head_started = false;
  // An enumeration cut short starts again; the caller's requests and data stay queued.
  std::erase_if(host->actions,
                [](const UsbAction& action) { return action.name.rfind("enumeration:", 0) == 0; });
}

void UsbHostSetLineCoding(UsbHost* host, std::uint32_t rate) {
  host->actions.push_back(LineCoding(rate));
}

void UsbHostSetControlLineState(UsbHost* host, bool dtr, bool rts) {
  host->actions.push_back(Control("SET_CONTROL_LINE_STATE", 0x21, 0x22,
                                  static_cast<std::uint16_t>((dtr ? 1 : 0) | (rts ? 2 : 0)), 0, 0));
}

void UsbHostSendData(UsbHost* host, const std::uint8_t* bytes, std::size_t count) {
  if (count == 0) return;
  if (host->actions.empty() || host->actions.back().kind != UsbAction::Kind::kData) {
    host->actions.emplace_back();
  }
  host->actions.back().bytes.insert(host->actions.back().bytes.end(), bytes, bytes + count);
  host->queued_data += count;
}

void UsbHostStep(UsbHost* host, SimChip* chip) {
  const std::uint64_t now = SimCycle(*chip);
  if (host->state == UsbHost::State::kDetached) {
    if ((SimData(*chip, kUdien) & kEndOfResetEnable) == 0) return;
    // The device is on the bus: reset it, then enumerate ahead of everything queued.
    std::uint8_t none = 0;
    Transfer(chip, AVR_IOCTL_USB_RESET, 0, &none, 0, nullptr);
    host->state = UsbHost::State::kReset;
    host->reset_at = now;
    Log(host, "attached");
    UsbAction get = Control("enumeration:GET_DESCRIPTOR", 0x80, 0x06, 0x0100, 0, 18);
    UsbAction address = Control("enumeration:SET_ADDRESS", 0x00, 0x05, 1, 0, 0);
    UsbAction configuration = Control("enumeration:SET_CONFIGURATION", 0x00, 0x09, 1, 0, 0);
    UsbAction coding = LineCoding(9600);
    coding.name = "enumeration:SET_LINE_CODING";
    for (UsbAction* action : {&coding, &configuration, &address, &get}) {
      host->actions.push_front(*action);
    }
    host->stage = 0;
    host->sent = 0;
    host->head_started = false;
    return;
  }
  if (host->state == UsbHost::State::kReset) {
    if (now - host->reset_at < kResetCycles) return;
    host->state = UsbHost::State::kReady;
  }
  if (host->actions.empty()) return;
  if (!host->head_started) {
    host->head_started = true;
    host->step_started = now;
  }
  if (host->actions.front().kind == UsbAction::Kind::kControl) {
    ControlStep(host, chip);
  } else {
    DataStep(host, chip);
  }
}
