#include "ui/layout.h"

#include <cstdint>
#include <cstring>

namespace quelbrix::ui {

std::vector<ControlRect> LayoutRow(std::span<const ControlRow> table, int clientWidth, int top, int bottom) {
  std::vector<ControlRect> rects;
  rects.reserve(table.size());
  int64_t sum = 0;
  for (const ControlRow& row : table) sum += row.Weight;
  int x = 0;
  int height = bottom - top;
  for (const ControlRow& row : table) {
    int width = sum > 0 ? static_cast<int>(int64_t{clientWidth} * row.Weight / sum) : 0;
    bool combo = std::strcmp(row.ClassName, "ComboBox") == 0;
    rects.push_back({x, top, width, combo ? kComboHeightFactor * height : height});
    x += width;
  }
  return rects;
}

RowBands MainRowBands(int clientHeight, int statusHeight) {
  RowBands b{};
  b.OutputHeight = clientHeight - statusHeight - 3 * kFileRowHeight;
  b.ReadTop = 0;
  b.ReadBottom = kFileRowHeight;
  b.LoadTop = kFileRowHeight;
  b.LoadBottom = 2 * kFileRowHeight;
  b.OutputTop = 2 * kFileRowHeight;
  b.OutputBottom = 2 * kFileRowHeight + b.OutputHeight;
  b.ButtonTop = b.OutputBottom;
  b.ButtonBottom = 3 * kFileRowHeight + b.OutputHeight;
  return b;
}

int MinimumClientHeight(int statusHeight) { return statusHeight + 4 * kFileRowHeight; }

int StatusPartCount(StatusLayout layout) { return layout == StatusLayout::kBusy ? 2 : 9; }

std::vector<int> StatusPartEdges(StatusLayout layout, int width) {
  static constexpr int kIdle[] = {-420, -370, -320, -270, -220, -170, -120, -70};
  static constexpr int kBusy[] = {-80};
  std::span<const int> offsets = layout == StatusLayout::kBusy ? std::span<const int>(kBusy) : kIdle;
  std::vector<int> edges;
  int previous = 0;
  for (int offset : offsets) {
    int edge = width + offset;
    if (edge < previous) edge = previous;
    edges.push_back(edge);
    previous = edge;
  }
  edges.push_back(width < previous ? previous : width);
  return edges;
}

ControlRect CenteredOn(const ControlRect& screen, int width, int height) {
  return {screen.X + (screen.Width - width) / 2, screen.Y + (screen.Height - height) / 2, width, height};
}

}  // namespace quelbrix::ui
