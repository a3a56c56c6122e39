#include "panel_sim/ssd1322_model.h"

#include <algorithm>

namespace ssd1322 {
namespace {

// Parameter bytes each command takes; -1 for a byte that is no command this model knows.
int ParametersOf(std::uint8_t command) {
  switch (command) {
    case 0x00:  // enable the grey-scale table
    case 0x5C:
    case 0xA4:
    case 0xA5:
    case 0xA6:
    case 0xA7:
    case 0xA9:
    case 0xAE:
    case 0xAF:
    case 0xB9:
      return 0;
    case 0x15:
    case 0x75:
    case 0xA0:
    case 0xA8:
    case 0xB4:
    case 0xD1:
      return 2;
    case 0xA1:
    case 0xA2:
    case 0xAB:
    case 0xB1:
    case 0xB3:
    case 0xB5:
    case 0xB6:
    case 0xBB:
    case 0xBE:
    case 0xC1:
    case 0xC7:
    case 0xCA:
    case 0xFD:
      return 1;
    case 0xB8:
      return 15;
    default:
      return -1;
  }
}

void DefaultGrey(std::array<std::uint8_t, 16>* grey) {
  (*grey)[0] = 0;
  (*grey)[1] = 0;
  for (int level = 2; level < 16; ++level)
    (*grey)[level] = static_cast<std::uint8_t>(8 * (level - 1));
}

// The segment a pixel of the current column goes to: k is its place (0..3) in the column's two
// bytes as written, high nibble of the first byte first.
int SegmentOf(const Model& model, int column, int k) {
  int within = k;
  if ((model.remap & 0x04) == 0) {
    // Reset order: D0[3:0] SEG2, D0[7:4] SEG3, D1[3:0] SEG0, D1[7:4] SEG1.
    static constexpr int kPlain[4] = {3, 2, 1, 0};
    within = kPlain[k];
  }
  const int segment = 4 * column + within;
  return (model.remap & 0x02) != 0 ? kSegments - 1 - segment : segment;
}

void WriteRam(Model* model, std::uint8_t byte) {
  ++model->data_bytes;
  ++model->changes;
  const int half = model->second_byte ? 2 : 0;
  if (model->column < kRamColumns && model->row < kRamRows) {
    std::uint8_t* row = &model->ram[static_cast<std::size_t>(model->row) * kSegments];
    row[SegmentOf(*model, model->column, half)] = byte >> 4;
    row[SegmentOf(*model, model->column, half + 1)] = byte & 0x0F;
  }
  if (!model->second_byte) {
    model->second_byte = true;
    return;
  }
  model->second_byte = false;
  const bool vertical = (model->remap & 0x01) != 0;
  if (!vertical) {
    if (++model->column > model->column_end) {
      model->column = model->column_start;
      if (++model->row > model->row_end) model->row = model->row_start;
    }
  } else if (++model->row > model->row_end) {
    model->row = model->row_start;
    if (++model->column > model->column_end) model->column = model->column_start;
  }
}

void Execute(Model* model) {
  const std::uint8_t* p = model->parameters.data();
  ++model->changes;
  switch (model->command) {
    case 0xFD:
      model->locked = (p[0] & 0x04) != 0;  // 0x16 locks, 0x12 unlocks
      break;
    case 0x15:
      model->column_start = std::min(p[0] & 0x7F, kRamColumns - 1);
      model->column_end = std::min(p[1] & 0x7F, kRamColumns - 1);
      model->column = model->column_start;
      model->second_byte = false;
      break;
    case 0x75:
      model->row_start = p[0] & 0x7F;
      model->row_end = p[1] & 0x7F;
      model->row = model->row_start;
      model->second_byte = false;
      break;
    case 0x5C:
      model->writing = true;
      model->second_byte = false;
      break;
    case 0xA0:
      model->remap = p[0];
      model->dual_com = p[1];
      break;
    case 0xA1:
      model->start_line = p[0] & 0x7F;
      break;
    case 0xCA:
      model->mux = std::clamp((p[0] & 0x7F) + 1, 16, 128);
      break;
    case 0xA4:
    case 0xA5:
    case 0xA6:
    case 0xA7:
      model->mode = model->command;
      break;
    case 0xAE:
      model->display_on = false;
      break;
    case 0xAF:
      model->display_on = true;
      break;
    case 0xB9:
      DefaultGrey(&model->grey);
      break;
    case 0xB8:
      model->pending_grey[0] = 0;
      for (int level = 1; level < 16; ++level) model->pending_grey[level] = p[level - 1];
      model->pending_grey_table = true;
      break;
    case 0x00:
      if (model->pending_grey_table) model->grey = model->pending_grey;
      model->pending_grey_table = false;
      break;
    default:
      break;  // taken, with no effect on the image
  }
}

}  // namespace

void Reset(Model* model) {
  const long commands = model->commands, data_bytes = model->data_bytes;
  const long unknown = model->unknown_commands, ignored = model->ignored_bytes;
  const long changes = model->changes + 1;
  *model = Model{};
  DefaultGrey(&model->grey);
  model->commands = commands;
  model->data_bytes = data_bytes;
  model->unknown_commands = unknown;
  model->ignored_bytes = ignored;
  model->changes = changes;
  // RAM keeps whatever it held; at power-on that is unknown, shown here as 0.
}

void Byte(Model* model, std::uint8_t byte, bool data) {
  if (!data) {
    ++model->commands;
    model->writing = false;
    model->parameters_got = 0;
    const int wanted = ParametersOf(byte);
    if (model->locked && byte != 0xFD) {
      model->parameters_wanted = 0;
      ++model->ignored_bytes;
      return;
    }
    if (wanted < 0) {
      ++model->unknown_commands;
      model->parameters_wanted = 0;
      return;
    }
    model->command = byte;
    model->parameters_wanted = wanted;
    if (wanted == 0) Execute(model);
    return;
  }
  if (model->parameters_got < model->parameters_wanted) {
    model->parameters[model->parameters_got++] = byte;
    if (model->parameters_got == model->parameters_wanted) {
      model->parameters_wanted = 0;
      Execute(model);
    }
    return;
  }
  if (model->writing && !model->locked) {
    WriteRam(model, byte);
    return;
  }
  ++model->ignored_bytes;  // data with no command to take it
}

void Image(const Model& model, Pixels* image) {
  for (int y = 0; y < kHeight; ++y) {
    // The makers' COM scan (A0 bit 4 set) shows RAM row 0 at the top of the module.
    const int line = (model.remap & 0x10) != 0 ? y : kHeight - 1 - y;
    const int ram_row = (line + model.start_line) % kRamRows;
    for (int x = 0; x < kWidth; ++x) {
      std::uint8_t level = model.ram[static_cast<std::size_t>(ram_row) * kSegments +
                                     static_cast<std::size_t>(kFirstVisibleSegment + x)];
      if (line >= model.mux) level = 0;
      if (model.mode == 0xA4) level = 0;
      if (model.mode == 0xA5) level = 15;
      if (model.mode == 0xA7) level = static_cast<std::uint8_t>(15 - level);
      if (!model.display_on) level = 0;
      (*image)[static_cast<std::size_t>(y) * kWidth + static_cast<std::size_t>(x)] = level;
    }
  }
}

std::uint8_t Brightness(const Model& model, std::uint8_t level) {
  const int top = std::max<int>(1, *std::max_element(model.grey.begin(), model.grey.end()));
  if (level < 2) return 0;
  return static_cast<std::uint8_t>(std::min(255, model.grey[level & 0x0F] * 255 / top));
}

}  // namespace ssd1322
