#include "ui/status_bar.h"

#include <QHelpEvent>
#include <QPainter>
#include <QSizeGrip>
#include <QStyle>
#include <QStyleOption>
#include <QToolTip>
#include <qdrawutil.h>

#include "app/context.h"
#include "platform/text.h"
#include "platform/worker.h"
#include "ui/layout.h"

namespace quelbrix::ui {
namespace {

constexpr int kBorder = 2;  // the sunken edge of a part

QString FromAnsi(const std::string& ansi) { return QString::fromStdString(platform::AnsiToUtf8(ansi)); }

}  // namespace

StatusBar::StatusBar(QWidget* parent) : QWidget(parent), grip_(new QSizeGrip(this)) {
  setAutoFillBackground(true);
  setBackgroundRole(QPalette::Window);
}

QSize StatusBar::sizeHint() const { return QSize(400, fontMetrics().height() + 2 * kBorder + 6); }

int StatusBar::PartCount() const { return StatusPartCount(layout_); }

QRect StatusBar::PartRect(int part) const {
  std::vector<int> edges = StatusPartEdges(layout_, width());
  if (part < 0 || part >= static_cast<int>(edges.size())) return QRect();
  int left = part == 0 ? 0 : edges[part - 1];
  return QRect(left, 0, edges[part] - left, height());
}

void StatusBar::SetStatusLayout(StatusLayout layout) {
  layout_ = layout;
  update();
}

void StatusBar::SetMessage(const QString& text) {
  message_ = text;
  update(PartRect(0));
}

bool StatusBar::SetPartText(int part, std::string_view ansi) {
  if (!texts_.Set(layout_, part, ansi)) return false;
  update();
  return true;
}

QString StatusBar::PartText(int part) const { return FromAnsi(texts_.Text(layout_, part)); }

void StatusBar::SetDoneFlags(const std::array<uint8_t, 8>& flags) {
  flags_ = flags;
  update();
}

bool StatusBar::PartIsRed(int part) const {
  bool threads = platform::ThreadCount() != 0;
  if (layout_ == StatusLayout::kBusy) return part == 1 && threads;
  if (part >= 1 && part <= 7) return DoneFlag(part);
  return part == 8 && threads;
}

QString StatusBar::PartToolTip(int part) const {
  if (part == 0) return message_;
  // The thread count is the busy layout's part 1 and the idle layout's part 8.
  if ((layout_ == StatusLayout::kBusy && part == 1) || (layout_ == StatusLayout::kIdle && part == 8))
    return tr("thread=N: 実行中の作業スレッドの数 (動いている間は赤)");
  if (layout_ == StatusLayout::kBusy) return QString();
  switch (part) {
    case kReadDone: return tr("read: ハイブをメモリに読込済みなら赤");
    case kRepairDone: return tr("repair: メモリ上のハイブを修正済みなら赤");
    case kDefragDone: return tr("defrag: メモリ上のハイブをデフラグ済みなら赤");
    case kWriteDone: return tr("write: 修正またはデフラグしたハイブをファイルに書込済みなら赤");
    case kHiveLoaded: return tr("load: ハイブが HKLM\\Rebuild にロードされている間は赤");
    case kDeleteDone: return tr("delete: ロードしたハイブのサブキーを削除済みなら赤");
    case kRebuildDone: return tr("rebuild: 読み込んだハイブをロードしたハイブに再構築済みなら赤");
    default: return QString();
  }
}

int StatusBar::PartAt(const QPoint& point) const {
  for (int part = 0; part < PartCount(); ++part)
    if (PartRect(part).contains(point)) return part;
  return -1;
}

bool StatusBar::event(QEvent* e) {
  if (e->type() != QEvent::ToolTip) return QWidget::event(e);
  auto* help = static_cast<QHelpEvent*>(e);
  int part = PartAt(help->pos());
  QString tip = PartToolTip(part);
  if (tip.isEmpty()) {
    QToolTip::hideText();
    e->ignore();
  } else {
    QToolTip::showText(help->globalPos(), tip, this, PartRect(part));
  }
  return true;
}

void StatusBar::resizeEvent(QResizeEvent*) {
  QSize g = grip_->sizeHint();
  grip_->setGeometry(width() - g.width(), height() - g.height(), g.width(), g.height());
}

void StatusBar::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QPalette& pal = palette();
  QFontMetrics fm = fontMetrics();
  for (int part = 0; part < PartCount(); ++part) {
    QRect r = PartRect(part).adjusted(0, 1, -1, -1);
    if (r.width() <= 0) continue;
    qDrawShadePanel(&painter, r, pal, true, 1);
    QRect inner = r.adjusted(kBorder, kBorder, -kBorder, -kBorder);
    painter.save();
    painter.setClipRect(inner);
    if (part == 0) {
      painter.setPen(pal.color(QPalette::WindowText));
      painter.drawText(inner.adjusted(2, 0, 0, 0), Qt::AlignVCenter | Qt::AlignLeft, message_);
    } else {
      // Owner-drawn parts: a set done flag fills the part with the window colour.
      if (layout_ == StatusLayout::kIdle && DoneFlag(part)) painter.fillRect(inner, pal.color(QPalette::Base));
      painter.setPen(PartIsRed(part) ? QColor(255, 0, 0) : QColor(0, 0, 0));
      painter.drawText(inner.topLeft() + QPoint(1, fm.ascent()), PartText(part));
    }
    painter.restore();
  }
}

}  // namespace quelbrix::ui
