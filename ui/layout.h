// The geometry of the window, as arithmetic: where LayoutRow puts the
// controls of a table, the bands of the main window's four rows, the part
// edges of the status bar, the minimum client size and the centring of a
// window on the screen.  Pure functions of sizes; the widgets apply them.
#pragma once

#include <span>
#include <vector>

#include "app/frontend.h"
#include "ui/control_table.h"

namespace quelbrix::ui {

struct ControlRect {
  int X = 0;
  int Y = 0;
  int Width = 0;
  int Height = 0;
};

// The rectangles of a table's controls across a client `clientWidth` wide,
// between `top` and `bottom`.  Widths are clientWidth * Weight / (sum of the
// weights), remainders dropped, so a row may end short of the right edge.  A
// "ComboBox" is 6 x the row height: the box and room for its drop-down list.
std::vector<ControlRect> LayoutRow(std::span<const ControlRow> table, int clientWidth, int top, int bottom);

// LayoutRow, widened where a control's caption needs more than its share:
// needed[i] pixels for control i (0 or absent: no caption to fit).  What the
// short controls lack is taken from those with room to spare, in proportion
// to that room, so the row never grows; when the spare room is not enough,
// it is all shared out in proportion to what each one lacks.
std::vector<ControlRect> FitRow(std::span<const ControlRow> table, std::span<const int> needed, int clientWidth,
                                int top, int bottom);

constexpr int kFileRowHeight = 26;
constexpr int kComboHeightFactor = 6;

// Vertical bands of the main window: read-file row, load-file row, output
// row and button row, for a client area clientHeight high above which the
// status bar takes statusHeight.
struct RowBands {
  int OutputHeight;
  int ReadTop, ReadBottom;
  int LoadTop, LoadBottom;
  int OutputTop, OutputBottom;
  int ButtonTop, ButtonBottom;
};
RowBands MainRowBands(int clientHeight, int statusHeight);

// The smallest client height that keeps the two file rows, the button row
// and 26 pixels of output above the status bar.
int MinimumClientHeight(int statusHeight);

// Right edges of the status bar's parts for a bar `width` wide: nine parts
// idle (the last seven 50 and 70 pixels wide at the right), two busy.  An
// edge never lies left of 0 or of the edge before it.
std::vector<int> StatusPartEdges(StatusLayout layout, int width);
int StatusPartCount(StatusLayout layout);

// The window's size at start on a screen whose free area is availWidth x
// availHeight: 1400 x 760, but at most nine tenths of that area.
ControlRect DefaultWindowSize(int availWidth, int availHeight);

// Top-left corner that puts a frame of the given size at the centre of a
// screen rectangle.
ControlRect CenteredOn(const ControlRect& screen, int width, int height);

}  // namespace quelbrix::ui
