// panel-sim: the reference panel on a simulated chip. Runs the firmware's ELF on an ATmega32U4 in
// simavr, paced to real time, acting as its USB host, with an SSD1322 model on its display pins.
//
//   panel-sim --elf FILE --line [--seconds N] [--image FILE]
//       listens on a new pseudo-terminal (its slave's path on standard error) and passes what the
//       relay does there to the chip; prints on standard output what the chip and its USB and
//       display do, and each screen the panel shows
//   panel-sim --elf FILE --pages FILE [--image FILE]
//       sends each page's frame pair, as the relay builds it, and prints the screen it gives
//   panel-sim --elf FILE --measure COUNT
//       measures simulated cycles per pair: COUNT pairs, back to back, unchanged and with every
//       cell changed
//
// Output lines: "usb ...", "line ...", "watchdog reset ...", "uart ...", "screen SECONDS WALL
// CELLS MARKS" (CELLS: two hex digits per cell, "??" where no glyph matches; MARKS: 0/1 per
// cell), "page N cycles C", "measure NAME CYCLES", "failed ..." then exit status 1.
#include <time.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "panel_sim/line_bridge.h"
#include "panel_sim/screen_reader.h"
#include "panel_sim/sim_chip.h"
#include "panel_sim/usb_host.h"
#include "relay/panel_frames.h"
#include "sim_emulator/pages.h"
#include "tool_support/tool_stop.h"

namespace {

using Image = ssd1322::Pixels;
using Pair = std::vector<std::uint8_t>;

constexpr std::uint64_t kSliceCycles = kClockHz / 10000;     // 0.1 ms between host steps
constexpr std::uint64_t kQuietCycles = 2 * kClockHz / 1000;  // 2 ms without an SPI byte: drawn
constexpr std::size_t kLineRoom = 512;
// 30 ms without an SPI byte: longer than the firmware takes to read a pair, so that a pause
// between two parts of a redraw is not taken for its end.
constexpr std::uint64_t kSettledCycles = 30 * kClockHz / 1000;

double WallSeconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double SimSeconds(const SimChip& chip) {
  return static_cast<double>(SimCycle(chip)) / kClockHz;
}

struct Run {
  SimChip chip;
  UsbHost host;
  int resets_seen = 0;
  long changes_seen = -1;
  std::string last_screen;
  std::size_t uart_printed = 0;
  bool paced = false;
  LineBridge* line = nullptr;  // in --line mode
  double wall_start = 0;
  double sim_start = 0;
};

std::string ScreenText(const Image& image) {
  ScreenCells cells;
  ReadScreen(image, &cells);
  std::string text;
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (const int byte : cells.bytes) {
    text += byte < 0 ? '?' : kHex[(byte >> 4) & 0x0F];
    text += byte < 0 ? '?' : kHex[byte & 0x0F];
  }
  text += ' ';
  for (const bool mark : cells.marked) text += mark ? '1' : '0';
  return text;
}

void Report(Run* run) {
  for (const std::string& line : run->host.log) {
    std::printf("usb %s t=%.3f\n", line.c_str(), SimSeconds(run->chip));
  }
  run->host.log.clear();
  if (run->chip.watchdog_resets != run->resets_seen) {
    run->resets_seen = run->chip.watchdog_resets;
    std::printf("watchdog reset t=%.3f key=%s\n",
                static_cast<double>(run->chip.last_reset_cycle) / kClockHz,
                run->chip.key_at_last_reset ? "7777" : "none");
    UsbHostDetached(&run->host);
    if (run->line != nullptr) {
      LineBridgeNewPort(run->line);
      std::printf("line new port at %u baud\n", run->line->speed);
    }
  }
  const std::string& uart = run->chip.uart;
  for (std::size_t end; (end = uart.find('\n', run->uart_printed)) != std::string::npos;) {
    std::printf("uart %s\n", uart.substr(run->uart_printed, end - run->uart_printed).c_str());
    run->uart_printed = end + 1;
  }
  // A screen is read once the display has been quiet a moment after a change.
  const SimChip& chip = run->chip;
  if (chip.display.changes != run->changes_seen &&
      SimCycle(chip) - chip.last_spi_cycle > kQuietCycles) {
    run->changes_seen = chip.display.changes;
    Image image{};
    ssd1322::Image(chip.display, &image);
    const std::string screen = ScreenText(image);
    if (screen != run->last_screen) {
      run->last_screen = screen;
      std::printf("screen %.3f %.3f %s\n", SimSeconds(chip), WallSeconds(), screen.c_str());
    }
  }
  std::fflush(stdout);
}

// One slice of the simulation and one step of the host; paced so that simulated time does not
// run ahead of the wall clock.
bool Slice(Run* run) {
  RunSimChip(&run->chip, SimCycle(run->chip) + kSliceCycles);
  if (run->chip.crashed) {
    std::printf("failed: the simulated core stopped at t=%.3f\n", SimSeconds(run->chip));
    return false;
  }
  WatchBootKey(&run->chip);
  UsbHostStep(&run->host, &run->chip);
  Report(run);
  if (run->paced) {
    const double ahead =
        (SimSeconds(run->chip) - run->sim_start) - (WallSeconds() - run->wall_start);
    if (ahead > 0.002) {
      const timespec pause{0, static_cast<long>(std::min(ahead, 0.5) * 1e9)};
      nanosleep(&pause, nullptr);
    }
  }
  return true;
}

bool WaitUntil(Run* run, double sim_seconds, bool (*done)(const Run&)) {
  const std::uint64_t deadline =
      SimCycle(run->chip) + static_cast<std::uint64_t>(sim_seconds * kClockHz);
  while (!done(*run)) {
    if (SimCycle(run->chip) > deadline || ToolStopRequested() || !Slice(run)) return false;
  }
  return true;
}

bool Configured(const Run& run) {
  return run.host.configured && run.host.actions.empty();
}

bool QuietFor(const Run& run, std::uint64_t cycles) {
  return run.host.actions.empty() && SimCycle(run.chip) - run.chip.last_spi_cycle > cycles;
}

bool Drawn(const Run& run) {
  return QuietFor(run, kQuietCycles);
}

bool DisplayOnAndDrawn(const Run& run) {
  return run.chip.display.display_on && Drawn(run);
}

// Until what was sent is drawn: the host has sent it all, the display has taken bytes since
// `spi_bytes` and is quiet again. False when nothing was drawn within max_seconds.
bool WaitDrawn(Run* run, std::uint64_t spi_bytes, double max_seconds,
               std::uint64_t quiet = kQuietCycles) {
  const std::uint64_t deadline =
      SimCycle(run->chip) + static_cast<std::uint64_t>(max_seconds * kClockHz);
  while (run->chip.spi_bytes <= spi_bytes || !QuietFor(*run, quiet)) {
    if (SimCycle(run->chip) > deadline || ToolStopRequested() || !Slice(run)) return false;
  }
  return true;
}

Pair PairOf(const Page& page) {
  std::array<std::uint8_t, 4096> area{};
  WritePage(page, area.data());
  const PanelFrames frames = BuildPanelFrames(AreaView{area.data(), area.size()});
  Pair pair(2 * frames.text.size());
  for (std::size_t i = 0; i < frames.text.size(); ++i) {
    pair[i] = frames.text[i];
    pair[frames.text.size() + i] = frames.attributes[i];
  }
  return pair;
}

// A pair of 125 equal cells, all marked or none.
Pair UniformPair(std::uint8_t byte, bool marked) {
  Pair pair(254, byte);
  pair[0] = '<';
  pair[126] = '>';
  pair[127] = '>';
  for (std::size_t i = 128; i < 253; ++i) pair[i] = marked ? '1' : '0';
  pair[253] = '<';
  return pair;
}

bool Boot(Run* run) {
  // The firmware's first screen follows enumeration; the host then has nothing queued.
  if (!WaitUntil(run, 5, Configured) || !WaitUntil(run, 5, DisplayOnAndDrawn)) {
    std::printf("failed: the chip did not enumerate and draw (usb failures %d)\n",
                run->host.failures);
    return false;
  }
  return true;
}

// Cycles from the first byte of `count` pairs, sent back to back, until the last is drawn (or,
// for unchanged pairs, which draw nothing, until the chip has taken the last byte: it takes a
// packet only once it has read the one before), the display settled first.
bool MeasurePairs(Run* run, const std::vector<Pair>& pairs, int count, const char* name) {
  if (!WaitUntil(run, 1, [](const Run& r) { return QuietFor(r, kSettledCycles); })) {
    std::printf("failed: the display did not settle before %s\n", name);
    return false;
  }
  const std::uint64_t start = SimCycle(run->chip);
  const std::uint64_t spi_bytes = run->chip.spi_bytes;
  for (int i = 0; i < count; ++i) {
    const Pair& pair = pairs[static_cast<std::size_t>(i) % pairs.size()];
    UsbHostSendData(&run->host, pair.data(), pair.size());
  }
  // Unchanged pairs draw nothing: then the pairs are done once the host has sent the last.
  const bool drawing = pairs.size() > 1 || count == 1;
  if (drawing ? !WaitDrawn(run, spi_bytes, count * 1.0, kSettledCycles)
              : !WaitUntil(run, count * 1.0, [](const Run& r) { return r.host.actions.empty(); })) {
    std::printf("failed: %s pairs not taken in time\n", name);
    return false;
  }
  const std::uint64_t end = drawing ? run->chip.last_spi_cycle : SimCycle(run->chip);
  std::printf("measure %s %llu spi_bytes %llu\n", name,
              static_cast<unsigned long long>((end - start) / static_cast<unsigned>(count)),
              static_cast<unsigned long long>((run->chip.spi_bytes - spi_bytes) /
                                              static_cast<unsigned>(count)));
  return true;
}

void WriteImage(const Run& run, const char* path) {
  Image image{};
  ssd1322::Image(run.chip.display, &image);
  FILE* file = std::fopen(path, "wb");
  if (file == nullptr) {
    std::printf("failed: cannot write %s\n", path);
    return;
  }
  // PGM: one byte a pixel, how brightly the OLED lights it.
  std::fprintf(file, "P5\n%d %d\n255\n", ssd1322::kWidth, ssd1322::kHeight);
  for (const std::uint8_t level : image)
    std::fputc(ssd1322::Brightness(run.chip.display, level), file);
  std::fclose(file);
}

void Usage() {
  std::fprintf(stderr,
               "usage: panel-sim --elf FILE (--line [--seconds N] | --pages FILE | --measure N)"
               " [--image FILE]\n");
}

}  // namespace

int main(int argc, char** argv) {
  const char* elf = nullptr;
  const char* pages_path = nullptr;
  const char* image_path = nullptr;
  bool line_mode = false;
  int measure = 0;
  double seconds = 0;
  for (int i = 1; i < argc; ++i) {
    const bool has_value = i + 1 < argc;
    if (std::strcmp(argv[i], "--elf") == 0 && has_value) {
      elf = argv[++i];
    } else if (std::strcmp(argv[i], "--pages") == 0 && has_value) {
      pages_path = argv[++i];
    } else if (std::strcmp(argv[i], "--image") == 0 && has_value) {
      image_path = argv[++i];
    } else if (std::strcmp(argv[i], "--measure") == 0 && has_value) {
      char* end = nullptr;
      measure = static_cast<int>(std::strtol(argv[++i], &end, 10));
      if (*end != '\0' || measure < 1 || measure > 1000) measure = -1;
    } else if (std::strcmp(argv[i], "--seconds") == 0 && has_value) {
      char* end = nullptr;
      seconds = std::strtod(argv[++i], &end);
      if (*end != '\0' || !(seconds > 0)) seconds = -1;
    } else if (std::strcmp(argv[i], "--line") == 0) {
      line_mode = true;
    } else {
      Usage();
      return 2;
    }
  }
  if (elf == nullptr || measure < 0 || seconds < 0 ||
      (line_mode ? 1 : 0) + (pages_path ? 1 : 0) + (measure > 0 ? 1 : 0) != 1) {
    Usage();
    return 2;
  }
  std::vector<Page> pages;
  std::string error;
  if (pages_path != nullptr && !LoadPageFile(pages_path, &pages, &error)) {
    std::fprintf(stderr, "panel-sim: %s\n", error.c_str());
    return 2;
  }

  static Run run;  // large (the display's RAM), and one per process
  if (!StartSimChip(elf, &run.chip, &error)) {
    std::fprintf(stderr, "panel-sim: %s\n", error.c_str());
    StopSimChip(&run.chip);
    return 1;
  }
  InstallToolStopHandler();
  // The byte a cell drawn with each byte reads back as (bytes that share a glyph give one).
  std::string classes = "glyphs ";
  for (int code = 0; code < 256; ++code) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    const int shown = GlyphClassOf(static_cast<std::uint8_t>(code));
    classes += shown < 0 ? '?' : kHex[(shown >> 4) & 0x0F];
    classes += shown < 0 ? '?' : kHex[shown & 0x0F];
  }
  std::printf("%s\n", classes.c_str());
  bool ok = true;
  if (line_mode) {
    LineBridge line;
    if (!OpenLineBridge(&line, &error)) {
      std::fprintf(stderr, "panel-sim: %s\n", error.c_str());
      StopSimChip(&run.chip);
      return 1;
    }
    std::fprintf(stderr, "panel-sim: listening on %s\n", line.slave_path.c_str());
    run.paced = true;
    run.line = &line;
    run.wall_start = WallSeconds();
    std::vector<std::string> events;
    for (long slice = 0; ok && !ToolStopRequested(); ++slice) {
      if (seconds > 0 && SimSeconds(run.chip) > seconds) break;
      if (slice % 10 == 0) {  // the line once a millisecond
        LineBridgeStep(&line, &run.host, kLineRoom, &events);
        for (const std::string& event : events) {
          std::printf("%s t=%.3f\n", event.c_str(), SimSeconds(run.chip));
        }
        events.clear();
      }
      ok = Slice(&run);
    }
    std::printf("line output processing added %ld bytes\n", line.added_crs);
    CloseLineBridge(&line);
    run.line = nullptr;
  } else if (pages_path != nullptr) {
    ok = Boot(&run);
    for (std::size_t i = 0; ok && i < pages.size(); ++i) {
      const std::uint64_t start = SimCycle(run.chip);
      const Pair pair = PairOf(pages[i]);
      UsbHostSendData(&run.host, pair.data(), pair.size());
      // A page equal to the one before draws nothing.
      if (WaitDrawn(&run, run.chip.spi_bytes, 1, kSettledCycles)) {
        std::printf("page %zu cycles %llu\n", i,
                    static_cast<unsigned long long>(run.chip.last_spi_cycle - start));
      } else {
        std::printf("page %zu unchanged\n", i);
      }
    }
  } else {
    ok = Boot(&run);
    // Every cell changes from one pair to the next: '#' marked, 'W' plain, and so on.
    const Pair marked = UniformPair('#', true), plain = UniformPair('W', false);
    ok = ok && MeasurePairs(&run, {marked}, 1, "full_redraw_cycles");
    ok = ok && MeasurePairs(&run, {plain, marked}, measure, "changed_pair_cycles");
    const Pair& last = measure % 2 == 1 ? plain : marked;
    ok = ok && MeasurePairs(&run, {last}, measure, "unchanged_pair_cycles");
  }
  if (image_path != nullptr) WriteImage(run, image_path);
  StopSimChip(&run.chip);
  std::printf("usb bulk bytes %llu failures %d\n",
              static_cast<unsigned long long>(run.host.bulk_bytes), run.host.failures);
  std::fflush(stdout);
  return ok ? 0 : 1;
}
