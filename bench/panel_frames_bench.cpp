// Nanoseconds per frame pair: building both frames from an area image, and one whole cycle's
// work with a sink that discards. The image lives in memory the benchmark rewrites between
// iterations, so every pair is built from a fresh read of the area, as in the running program.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>

#include "common/area_view.h"
#include "relay/panel_frames.h"

namespace {

struct Area {
  alignas(64) std::array<std::uint8_t, 4096> bytes{};

  Area() {
    // Every byte value, the four translated ones included, shows up in both blocks.
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
  }
  AreaView View() const { return AreaView{bytes.data(), bytes.size()}; }
  // One byte of the text block and one of the attribute block change every cycle, as the
  // simulator would change them.
  void Touch(std::size_t cycle) {
    const std::size_t cell = cycle % (kDisplayLineCount * kDisplayLineStride);
    bytes[kDisplayTextOffset + cell] = static_cast<std::uint8_t>(cycle);
    bytes[kDisplayAttributeOffset + cell] = static_cast<std::uint8_t>(cycle >> 1);
    benchmark::ClobberMemory();
  }
};

void BM_BuildPanelFrames(benchmark::State& state) {
  Area area;
  std::size_t cycle = 0;
  for (auto _ : state) {
    area.Touch(cycle++);
    PanelFrames frames = BuildPanelFrames(area.View());
    benchmark::DoNotOptimize(frames);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BuildPanelFrames);

// An area that ends before the attribute block: the bytes past its end read as 0.
void BM_BuildPanelFramesShortArea(benchmark::State& state) {
  Area area;
  const AreaView view{area.bytes.data(), 400};
  std::size_t cycle = 0;
  for (auto _ : state) {
    area.Touch(cycle++);
    PanelFrames frames = BuildPanelFrames(view);
    benchmark::DoNotOptimize(frames);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BuildPanelFramesShortArea);

void Discard(void* context, const PanelFrame& frame) {
  // Look at the frame the way a port write would: the whole of it, once.
  benchmark::DoNotOptimize(context);
  benchmark::DoNotOptimize(frame.data());
  benchmark::ClobberMemory();
}

void BM_UpdatePanel(benchmark::State& state) {
  Area area;
  const FrameWriter sink{Discard, nullptr};
  std::size_t cycle = 0;
  for (auto _ : state) {
    area.Touch(cycle++);
    UpdatePanel(area.View(), sink);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_UpdatePanel);

}  // namespace

BENCHMARK_MAIN();
