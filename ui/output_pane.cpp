#include "ui/output_pane.h"

#include <QApplication>
#include <QClipboard>
#include <QColor>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QStyle>
#include <QStyledItemDelegate>
#include <algorithm>

namespace quelbrix::ui {

QModelIndex PaneModel::index(int row, int column, const QModelIndex& parent) const {
  bool inside = row >= 0 && static_cast<size_t>(row) < lines_.size() && column == 0 && !parent.isValid();
  return inside ? createIndex(row, column) : QModelIndex();
}

int PaneModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(lines_.size());
}

QVariant PaneModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= static_cast<int>(lines_.size())) return QVariant();
  const PaneLine& line = lines_[static_cast<size_t>(index.row())];
  switch (role) {
    case Qt::DisplayRole: return QString::fromStdString(line.Text);
    case Qt::ForegroundRole: {
      uint32_t c = line.Colour;
      return QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF);
    }
    default: return QVariant();
  }
}

Qt::ItemFlags PaneModel::flags(const QModelIndex& index) const {
  return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren : Qt::NoItemFlags;
}

QString PaneModel::Text(int row) const {
  return row >= 0 && row < static_cast<int>(lines_.size()) ? QString::fromStdString(lines_[static_cast<size_t>(row)].Text)
                                                           : QString();
}

void PaneModel::Append(std::vector<PaneLine>& lines) {
  if (lines.empty()) return;
  size_t limit = static_cast<size_t>(lineLimit_);
  size_t first = lines.size() > limit ? lines.size() - limit : 0;  // a batch longer than the limit keeps its tail
  size_t keep = std::min(lines_.size(), limit - (lines.size() - first));
  if (keep < lines_.size()) {
    beginRemoveRows(QModelIndex(), 0, static_cast<int>(lines_.size() - keep) - 1);
    lines_.erase(lines_.begin(), lines_.end() - static_cast<std::ptrdiff_t>(keep));
    endRemoveRows();
  }
  int start = static_cast<int>(lines_.size());
  beginInsertRows(QModelIndex(), start, start + static_cast<int>(lines.size() - first) - 1);
  for (size_t i = first; i < lines.size(); ++i) {
    // UTF-8 bytes never fall short of the half-width columns a line takes.
    widestColumns_ = std::max(widestColumns_, static_cast<int>(std::min<size_t>(lines[i].Text.size(), 1 << 16)));
    lines_.push_back(std::move(lines[i]));
  }
  endInsertRows();
  lines.clear();
}

void PaneModel::Clear() {
  beginResetModel();
  lines_.clear();
  widestColumns_ = 0;
  endResetModel();
}

namespace {

// Every row is as wide as the widest line, so the view sizes its rows from
// one sample and scrolls sideways to the end of any line.  A row is painted
// as one run of text in its colour: the style's item layout would shape each
// line twice per paint, and the pane repaints with every batch.
class PaneDelegate : public QStyledItemDelegate {
 public:
  PaneDelegate(const PaneModel& model, QObject* parent) : QStyledItemDelegate(parent), model_(model) {}

  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const override {
    if (rowHeight_ == 0 || option.font != heightFont_) {
      // A row of the style's own height for this font, measured once.
      QStyleOptionViewItem sample(option);
      sample.text = QStringLiteral("W");
      sample.features |= QStyleOptionViewItem::HasDisplay;
      QStyle* style = option.widget != nullptr ? option.widget->style() : QApplication::style();
      rowHeight_ = style->sizeFromContents(QStyle::CT_ItemViewItem, &sample, QSize(), option.widget).height();
      heightFont_ = option.font;
    }
    int column = option.fontMetrics.horizontalAdvance(QLatin1Char('W'));
    return QSize(model_.WidestColumns() * column + 2 * TextMargin(option), rowHeight_);
  }

  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QPalette::ColorGroup group = (option.state & QStyle::State_Active) ? QPalette::Active : QPalette::Inactive;
    bool selected = (option.state & QStyle::State_Selected) != 0;
    painter->save();
    if (selected) painter->fillRect(option.rect, option.palette.brush(group, QPalette::Highlight));
    painter->setPen(selected ? option.palette.color(group, QPalette::HighlightedText)
                             : index.data(Qt::ForegroundRole).value<QColor>());
    painter->setFont(option.font);
    int margin = TextMargin(option);
    painter->drawText(option.rect.adjusted(margin, 0, -margin, 0), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                      index.data(Qt::DisplayRole).toString());
    if (option.state & QStyle::State_HasFocus) {
      QStyleOptionFocusRect focus;
      focus.QStyleOption::operator=(option);
      focus.backgroundColor = option.palette.color(group, selected ? QPalette::Highlight : QPalette::Base);
      QStyle* style = option.widget != nullptr ? option.widget->style() : QApplication::style();
      style->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, painter, option.widget);
    }
    painter->restore();
  }

 private:
  static int TextMargin(const QStyleOptionViewItem& option) {
    QStyle* style = option.widget != nullptr ? option.widget->style() : QApplication::style();
    return style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, option.widget) + 1;
  }

  const PaneModel& model_;
  mutable QFont heightFont_;
  mutable int rowHeight_ = 0;
};

}  // namespace

OutputPane::OutputPane(QWidget* parent)
    : QListView(parent), model_(new PaneModel(this)), refresh_(new QTimer(this)) {
  refresh_->setSingleShot(true);
  connect(refresh_, &QTimer::timeout, this, &OutputPane::Flush);
  setModel(model_);
  setItemDelegate(new PaneDelegate(*model_, this));
  setUniformItemSizes(true);
  setWordWrap(false);
  setTextElideMode(Qt::ElideNone);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setSelectionMode(QAbstractItemView::ExtendedSelection);
  setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
}

void OutputPane::Append(std::vector<PaneLine>& lines, bool now) {
  if (held_.empty()) {
    held_.swap(lines);
  } else {
    held_.insert(held_.end(), std::make_move_iterator(lines.begin()), std::make_move_iterator(lines.end()));
  }
  lines.clear();
  if (now || !lastFlush_.isValid() || lastFlush_.hasExpired(kRefreshIntervalMs)) {
    Flush();
  } else if (!refresh_->isActive()) {
    refresh_->start(static_cast<int>(std::max<qint64>(1, kRefreshIntervalMs - lastFlush_.elapsed())));
  }
}

void OutputPane::Flush() {
  refresh_->stop();
  lastFlush_.restart();
  if (held_.empty()) return;
  model_->Append(held_);
  scrollToBottom();
}

void OutputPane::Clear() {
  held_.clear();
  model_->Clear();
}

QString OutputPane::SelectedText() const {
  // Ranges, not indexes: a Select All of a million lines stays one range.
  std::vector<std::pair<int, int>> ranges;
  for (const QItemSelectionRange& r : selectionModel()->selection()) ranges.emplace_back(r.top(), r.bottom());
  std::sort(ranges.begin(), ranges.end());
  QString text;
  int next = 0;  // rows above it are taken
  for (auto [top, bottom] : ranges) {
    for (int row = std::max(top, next); row <= bottom; ++row) {
      if (row != ranges.front().first) text += QLatin1Char('\n');
      text += model_->Text(row);
    }
    next = std::max(next, bottom + 1);
  }
  return text;
}

void OutputPane::CopySelection() {
  if (!selectionModel()->hasSelection()) return;
  QGuiApplication::clipboard()->setText(SelectedText());
}

void OutputPane::keyPressEvent(QKeyEvent* e) {
  // The view's own copy takes only the current line.
  if (e->matches(QKeySequence::Copy)) {
    CopySelection();
    e->accept();
    return;
  }
  QListView::keyPressEvent(e);
}

void OutputPane::contextMenuEvent(QContextMenuEvent* e) {
  // The menu of a read-only text box, in the words Qt gives it.
  QMenu menu(this);
  QAction* copy = menu.addAction(QCoreApplication::translate("QWidgetTextControl", "&Copy"), this,
                                 &OutputPane::CopySelection);
  copy->setShortcut(QKeySequence::Copy);
  copy->setEnabled(selectionModel()->hasSelection());
  menu.addSeparator();
  QAction* all = menu.addAction(QCoreApplication::translate("QWidgetTextControl", "Select All"), this,
                                &OutputPane::selectAll);
  all->setShortcut(QKeySequence::SelectAll);
  all->setEnabled(model_->rowCount() > 0);
  menu.exec(e->globalPos());
}

}  // namespace quelbrix::ui
