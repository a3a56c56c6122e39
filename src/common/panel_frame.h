// The fixed-size frame the panel takes on its serial line.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

inline constexpr std::size_t kPanelFrameSize = 127;

using PanelFrame = std::array<std::uint8_t, kPanelFrameSize>;
