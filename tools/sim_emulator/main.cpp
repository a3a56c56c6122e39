// sim-emulator: takes the simulator's place. Publishes the area "FalconSharedMemoryArea" with the
// display text and attribute blocks and plays pages in it, until Ctrl+C.
//
//   sim-emulator [--pages FILE] [--interval SECONDS] | --help | --version
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sim_emulator/pages.h"
#include "sim_emulator/shared_area.h"
#include "tool_support/tool_stop.h"

namespace {

// Room for the two display blocks and the rest of a simulator's data, as one page of memory.
constexpr std::size_t kAreaSize = 4096;
constexpr unsigned kStepMilliseconds = 50;

// On standard output when asked for with --help, on standard error after a wrong option.
void Usage(std::FILE* to) {
  std::fprintf(to,
               "usage: sim-emulator [--pages FILE] [--interval SECONDS] | --help | --version\n"
               "  --pages FILE        play the pages of FILE instead of the built-in set\n"
               "  --interval SECONDS  show each page this long (0.2 to 3600, default 3)\n");
}

bool ParseSeconds(const char* text, double* seconds) {
  char* end = nullptr;
  const double value = std::strtod(text, &end);
  const bool in_range = value >= 0.2 && value <= 3600;  // false for NaN too
  if (end == text || *end != '\0' || !in_range) return false;
  *seconds = value;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("sim-emulator %s\n", PANEL_RELAY_VERSION);
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    Usage(stdout);
    return 0;
  }
  const char* page_file = nullptr;
  double interval_seconds = 3;
  for (int i = 1; i < argc; ++i) {
    const bool has_value = i + 1 < argc;
    if (std::strcmp(argv[i], "--pages") == 0 && has_value) {
      page_file = argv[++i];
    } else if (std::strcmp(argv[i], "--interval") == 0 && has_value) {
      if (!ParseSeconds(argv[++i], &interval_seconds)) {
        std::fprintf(stderr, "sim-emulator: --interval takes seconds from 0.2 to 3600\n");
        return 2;
      }
    } else {
      Usage(stderr);
      return 2;
    }
  }

  // The whole file is checked before the area exists: a bad file publishes nothing.
  std::vector<Page> pages;
  std::string error;
  if (page_file != nullptr) {
    if (!LoadPageFile(page_file, &pages, &error)) {
      std::fprintf(stderr, "sim-emulator: %s\n", error.c_str());
      return 1;
    }
  } else {
    pages = BuiltInPages();
  }

  InstallToolStopHandler();
  PublishedArea area;
  if (!PublishArea(kAreaSize, &area, &error)) {
    std::fprintf(stderr, "sim-emulator: %s\n", error.c_str());
    return 1;
  }
  WritePage(pages[0], area.bytes);
  std::printf(
      "sim-emulator: publishing FalconSharedMemoryArea (%zu bytes), %zu page%s, %.1f s each; "
      "Ctrl+C to stop\n",
      area.size, pages.size(), pages.size() == 1 ? "" : "s", interval_seconds);
  std::fflush(stdout);

  const unsigned steps_per_page =
      static_cast<unsigned>(interval_seconds * 1000 / kStepMilliseconds + 0.5);
  std::size_t shown = 0;
  unsigned step = 0;
  while (!ToolStopRequested()) {
    ToolSleepMilliseconds(kStepMilliseconds);
    if (++step >= steps_per_page) {
      step = 0;
      shown = (shown + 1) % pages.size();
      WritePage(pages[shown], area.bytes);
    }
  }

  ReleaseArea(&area);
  std::printf("sim-emulator: stopped, area released\n");
  std::fflush(stdout);
  return 0;
}
