#include "ui/layout.h"

#include <algorithm>
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

std::vector<ControlRect> FitRow(std::span<const ControlRow> table, std::span<const int> needed, int clientWidth,
                                int top, int bottom) {
  std::vector<ControlRect> rects = LayoutRow(table, clientWidth, top, bottom);
  auto need = [&](size_t i) { return i < needed.size() && needed[i] > 0 ? int64_t{needed[i]} : 0; };
  int64_t lacking = 0, spare = 0;
  for (size_t i = 0; i < rects.size(); ++i) {
    int64_t gap = need(i) - rects[i].Width;
    if (gap > 0)
      lacking += gap;
    else
      spare -= gap;
  }
  if (lacking == 0 || spare == 0) return rects;
  int64_t moved = std::min(lacking, spare);
  int x = 0;
  for (size_t i = 0; i < rects.size(); ++i) {
    int64_t gap = need(i) - rects[i].Width;
    // Rounding gives up at least `moved` and hands out at most that much,
    // so the row ends where it did or short of it.
    if (gap > 0)
      rects[i].Width += static_cast<int>(gap * moved / lacking);
    else
      rects[i].Width -= static_cast<int>((-gap * moved + spare - 1) / spare);
    rects[i].X = x;
    x += rects[i].Width;
  }
  return rects;
}

ControlRect DefaultWindowSize(int availWidth, int availHeight) {
  return {0, 0, std::min(1400, availWidth * 9 / 10), std::min(760, availHeight * 9 / 10)};
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
