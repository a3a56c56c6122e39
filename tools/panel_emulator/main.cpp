// panel-emulator: takes the panel's place on the serial line, decodes the frame pairs the relay
// sends and shows them, live on a terminal or as plain text blocks (--dump).
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "panel_emulator/frame_decoder.h"
#include "panel_emulator/panel_line.h"
#include "panel_emulator/panel_render.h"
#include "tool_support/tool_stop.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned kWaitMilliseconds = 50;
constexpr auto kRedrawPeriod = std::chrono::milliseconds(100);
constexpr auto kRateWindow = std::chrono::seconds(1);

struct Options {
  const char* device = nullptr;
  const char* link = nullptr;
  bool dump = false;
  std::uint64_t pair_limit = 0;  // 0: no limit
  bool ascii = false;
  double restart_seconds = 3;
};

// On standard output when asked for with --help, on standard error after a wrong option.
void Usage(std::FILE* to) {
  std::fprintf(
      to,
      "usage: panel-emulator [--dump] [--pairs N] [--link PATH] [--ascii] [--restart-seconds S]"
      " [DEVICE]\n"
      "       panel-emulator --help | --version\n"
#if defined(_WIN32)
      "  DEVICE        COM port (one end of a virtual null-modem pair), or a file\n"
#else
      "  DEVICE        serial device, file, or - for standard input; without it a new\n"
      "                pseudo-terminal is made and its slave printed (through sudo it is\n"
      "                given to the user who ran sudo)\n"
      "  --link PATH   put a symlink to the pseudo-terminal's slave at PATH\n"
#endif
      "  --dump        print each new state as a plain text block instead of drawing the panel\n"
      "  --pairs N     end after N pairs\n"
      "  --ascii       draw with ASCII only (no UTF-8 glyphs)\n"
      "  --restart-seconds S  how long a restart takes (0.5 to 10, default 3)\n");
}

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
    const bool has_value = i + 1 < argc;
    char* end = nullptr;
    if (std::strcmp(argument, "--dump") == 0) {
      options->dump = true;
    } else if (std::strcmp(argument, "--ascii") == 0) {
      options->ascii = true;
    } else if (std::strcmp(argument, "--link") == 0 && has_value) {
      options->link = argv[++i];
    } else if (std::strcmp(argument, "--pairs") == 0 && has_value) {
      const char* value = argv[++i];
      options->pair_limit = std::strtoull(value, &end, 10);
      if (end == value || *end != '\0' || options->pair_limit == 0) return false;
    } else if (std::strcmp(argument, "--restart-seconds") == 0 && has_value) {
      const char* value = argv[++i];
      options->restart_seconds = std::strtod(value, &end);
      // False for NaN too, which a test of being out of range would let through.
      const bool in_range = options->restart_seconds >= 0.5 && options->restart_seconds <= 10;
      if (end == value || *end != '\0' || !in_range) {
        return false;
      }
    } else if ((argument[0] != '-' || std::strcmp(argument, "-") == 0) &&
               options->device == nullptr) {
      options->device = argument;
    } else {
      return false;
    }
  }
  return true;
}

struct Session {
  FrameDecoder decoder;
  PanelPair shown{};
  bool has_pair = false;
  bool plain = false;  // blocks on standard output instead of the drawn panel
  PanelPair printed{};
  bool has_printed = false;
  std::uint64_t pair_limit = 0;
  std::uint64_t pairs_taken = 0;  // counted here too: pairs past the limit are not taken
};

bool SamePair(const PanelPair& a, const PanelPair& b) {
  return a.text == b.text && a.marked == b.marked;
}

void TakePair(void* context, const PanelPair& pair) {
  Session& session = *static_cast<Session*>(context);
  if (session.pair_limit != 0 && session.pairs_taken >= session.pair_limit) return;
  ++session.pairs_taken;
  session.shown = pair;
  session.has_pair = true;
  if (session.plain && (!session.has_printed || !SamePair(pair, session.printed))) {
    std::fputs(RenderDumpBlock(pair, session.pairs_taken).c_str(), stdout);
    std::fflush(stdout);
    session.printed = pair;
    session.has_printed = true;
  }
}

// Pairs per second between the first and the last pair of a run.
double AverageRate(Clock::time_point first, Clock::time_point last, std::uint64_t pairs) {
  const double seconds = std::chrono::duration<double>(last - first).count();
  return seconds > 0 ? static_cast<double>(pairs - 1) / seconds : 0;
}

// The drawn panel sits above a scrolling region, where messages (the demo's too) appear.
void BeginScreen() {
  PrepareTerminalOutput();
  const int rows = TerminalRows();
  const int first_free = kPanelScreenRows + 2;
  std::printf("\x1b[2J");
  if (rows > first_free + 2) std::printf("\x1b[%d;%dr", first_free, rows);
  std::printf("\x1b[%d;1H", first_free);
  std::fflush(stdout);
}

void EndScreen() {
  std::printf("\x1b[r\x1b[%d;1H\n", TerminalRows());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("panel-emulator %s\n", PANEL_RELAY_VERSION);
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    Usage(stdout);
    return 0;
  }
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    Usage(stderr);
    return 2;
  }
  InstallToolStopHandler();
  PanelLine line;
  std::string error;
  if (!OpenPanelLine(options.device, options.link, &line, &error)) {
    std::fprintf(stderr, "panel-emulator: %s\n", error.c_str());
    return 1;
  }

  Session session;
  session.plain = options.dump || !StdoutIsTerminal();
  session.pair_limit = options.pair_limit;
  const GlyphSet glyphs = options.ascii ? GlyphSet::kAscii : GlyphSet::kUnicode;
  if (!session.plain) BeginScreen();
  std::FILE* notes = session.plain ? stderr : stdout;
#if !defined(_WIN32)
  if (!line.slave_path.empty()) {
    std::fprintf(notes, "panel-emulator: listening on %s%s%s\n", line.slave_path.c_str(),
                 line.link_path.empty() ? "" : ", linked as ", line.link_path.c_str());
  }
  if (line.given_to_uid >= 0) {
    std::fprintf(notes, "panel-emulator: given to user %" PRId64 ", who ran sudo\n",
                 line.given_to_uid);
  }
#endif
  std::fflush(notes);

  PanelStatus status;
  const auto restart_length = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(options.restart_seconds));
  bool far_end_closed = false;
  bool restarting = false;
  Clock::time_point restart_ends;
  std::uint64_t bytes_dropped_in_restart = 0;
  Clock::time_point window_start = Clock::now();
  std::uint64_t window_first_pair = 0;
  // The average rate over the latest unbroken run of pairs (restarts break it), for the summary.
  Clock::time_point run_start;
  Clock::time_point run_last;
  std::uint64_t run_first_pair = 0;
  std::uint64_t run_pairs_seen = 0;
  Clock::time_point last_draw;
  int exit_status = 0;
  auto refresh_status = [&] {
    status.mode = restarting         ? PanelMode::kRestarting
                  : session.has_pair ? PanelMode::kShowing
                                     : PanelMode::kWaiting;
    status.pairs = session.pairs_taken;
    status.dropped_frames = session.decoder.counts.dropped_frames;
    status.line_closed = far_end_closed;
  };
  std::uint8_t buffer[4096];

  while (!ToolStopRequested()) {
    std::size_t received = 0;
    const LineEvent event =
        ReadPanelLine(&line, buffer, sizeof buffer, &received, kWaitMilliseconds);
    const auto now = Clock::now();
    if (event == LineEvent::kData) {
      far_end_closed = false;
      if (restarting) {
        bytes_dropped_in_restart += received;  // a restarting panel takes nothing in
      } else {
        const std::uint64_t before = session.pairs_taken;
        FeedFrameDecoder(&session.decoder, buffer, received, PairSink{TakePair, &session});
        if (session.pairs_taken != before) {
          if (run_pairs_seen == 0) {
            run_start = now;
            run_first_pair = session.pairs_taken;
          }
          run_last = now;
          run_pairs_seen = session.pairs_taken - run_first_pair + 1;
        }
      }
      if (session.pair_limit != 0 && session.pairs_taken >= session.pair_limit) break;
    } else if (event == LineEvent::kClosed && !far_end_closed) {
      far_end_closed = true;
      // The panel restarts when its line was set to 1200 baud and then closed.
      if (!restarting && PanelLineAt1200Baud(line)) {
        restarting = true;
        restart_ends = now + restart_length;
        ResetFrameDecoder(&session.decoder);
        session.has_pair = false;
        session.has_printed = false;
        ++status.restarts;
        if (run_pairs_seen > 1) {
          status.average_pairs_per_second = AverageRate(run_start, run_last, run_pairs_seen);
        }
        run_pairs_seen = 0;
        if (session.plain) {
          std::fputs("restart\n", stdout);
          std::fflush(stdout);
        }
      }
    } else if (event == LineEvent::kEnd) {
      break;
    } else if (event == LineEvent::kFailed) {
      std::fprintf(stderr, "panel-emulator: reading the line failed\n");
      exit_status = 1;
      break;
    }

    if (restarting && now >= restart_ends) {
      restarting = false;
      session.decoder.counts.dropped_bytes += bytes_dropped_in_restart;
      session.decoder.counts.dropped_frames +=
          (bytes_dropped_in_restart + kPanelFrameSize - 1) / kPanelFrameSize;
      bytes_dropped_in_restart = 0;
    }
    if (now - window_start >= kRateWindow) {
      const double seconds = std::chrono::duration<double>(now - window_start).count();
      status.pairs_per_second =
          static_cast<double>(session.pairs_taken - window_first_pair) / seconds;
      window_start = now;
      window_first_pair = session.pairs_taken;
    }
    refresh_status();
    if (!session.plain && now - last_draw >= kRedrawPeriod) {
      const std::string screen =
          RenderPanelScreen(session.has_pair ? &session.shown : nullptr, status, glyphs);
      std::fwrite(screen.data(), 1, screen.size(), stdout);
      std::fflush(stdout);
      last_draw = now;
    }
  }

  ClosePanelLine(&line);
  refresh_status();
  if (run_pairs_seen > 1) {
    status.average_pairs_per_second = AverageRate(run_start, run_last, run_pairs_seen);
  }
  if (!session.plain) EndScreen();
  std::fprintf(stderr, "panel-emulator: %s; average %.1f pairs/s over the last run of pairs\n",
               RenderStatusLine(status).c_str(), status.average_pairs_per_second);
  return exit_status;
}
