// Controls made from the rows of a layout table (LayoutRow): the widget that
// stands for each class of the table, its caption, check state, tooltip and
// enabled state, placed or moved to the rectangles of ui/layout.h.
#pragma once

#include <QComboBox>
#include <QFont>
#include <QWidget>
#include <map>
#include <span>

#include "ui/control_table.h"

namespace quelbrix::ui {

// A recent-file box: a drop-down list whose popup keeps within the extent
// LayoutRow gave the box (6 x the row height).
class RecentFileBox : public QComboBox {
  Q_OBJECT

 public:
  explicit RecentFileBox(QWidget* parent) : QComboBox(parent) {}
  void SetDropExtent(int height) { dropExtent_ = height; }
  int DropExtent() const { return dropExtent_; }
  // Most recent first: an entry equal to `path` (ignoring case) goes, `path`
  // is inserted at the top and selected.
  void AddRecent(const QString& path);
  // Selects the entry equal to `text` (ignoring case); none when there is none.
  void SelectText(const QString& text);
  void showPopup() override;

 private:
  int dropExtent_ = 0;
};

// A row's caption in the language of the installed translator.
QString TranslatedCaption(const ControlRow& row);
// Sets the captions (and the tooltips that repeat them) of the controls of
// `table` again, after the language changed.
void RetranslateControls(std::span<const ControlRow> table, const std::map<int, QWidget*>& controls);

// The width a button or label needs to show its caption whole in its font
// and style, with the style's margin; 0 for a control without a caption.
int CaptionWidthNeeded(const QWidget* control);

// kWeights: the table's weights alone (LayoutRow); kCaptions: widened where
// a caption needs more (FitRow with CaptionWidthNeeded).
enum class RowFit { kWeights, kCaptions };

// Creates the controls of `table` that `controls` does not hold yet and
// moves every control of the table to its place between top and bottom,
// across the parent's client width.  The "RichEdit20A" row gets fixedFont,
// every other control the parent's font.
void LayoutControls(QWidget* parent, std::span<const ControlRow> table, int top, int bottom,
                    std::map<int, QWidget*>& controls, const QFont& fixedFont, RowFit fit = RowFit::kWeights);

}  // namespace quelbrix::ui
