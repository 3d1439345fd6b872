// The output pane: a read-only list of coloured report lines.  Lines are kept
// as the UTF-8 the worker sent and laid out at one fixed height, so a batch
// of lines costs one insertion, not a text block per line; only the rows on
// screen are converted and painted.  Whole lines are selected and copied.
#pragma once

#include <QAbstractListModel>
#include <QElapsedTimer>
#include <QListView>
#include <QTimer>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace quelbrix::ui {

struct PaneLine {
  std::string Text;     // UTF-8, without its line end
  uint32_t Colour = 0;  // 0x00BBGGRR
};

class PaneModel : public QAbstractListModel {
  Q_OBJECT

 public:
  explicit PaneModel(QObject* parent = nullptr) : QAbstractListModel(parent) {}

  // The view asks for an index of every row at each layout: no detour
  // through rowCount and columnCount.
  QModelIndex index(int row, int column, const QModelIndex& parent = QModelIndex()) const override;
  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  // DisplayRole: the text; ForegroundRole: the colour (a QColor).
  QVariant data(const QModelIndex& index, int role) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

  // Appends `lines` (taken), dropping the oldest beyond the line limit.
  void Append(std::vector<PaneLine>& lines);
  void Clear();
  void SetLineLimit(int limit) { lineLimit_ = limit < 1 ? 1 : limit; }
  QString Text(int row) const;
  // The widest line seen since the last Clear, in half-width columns.
  int WidestColumns() const { return widestColumns_; }

 private:
  std::deque<PaneLine> lines_;
  int lineLimit_ = 1000000;
  int widestColumns_ = 0;
};

class OutputPane : public QListView {
  Q_OBJECT

 public:
  explicit OutputPane(QWidget* parent);

  PaneModel* Model() const { return model_; }
  // Appends `lines` (taken) and shows the last one: at once when `now`, else
  // with the lines of the next kRefreshInterval.  The view lays out every
  // row again for each insertion, so a running command's lines go in a few
  // times a second, not with every batch the worker sends.
  void Append(std::vector<PaneLine>& lines, bool now);
  // Shows the lines held back.
  void Flush();
  void Clear();
  static constexpr int kRefreshIntervalMs = 100;
  // The selected lines' texts, top to bottom, one per line.
  QString SelectedText() const;
  // Puts SelectedText on the clipboard (nothing when no line is selected).
  void CopySelection();

 protected:
  void keyPressEvent(QKeyEvent* e) override;
  void contextMenuEvent(QContextMenuEvent* e) override;

 private:
  PaneModel* model_;
  std::vector<PaneLine> held_;  // lines not yet in the model
  QTimer* refresh_;
  QElapsedTimer lastFlush_;
};

}  // namespace quelbrix::ui
