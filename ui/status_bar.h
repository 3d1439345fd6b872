// The status bar: part 0 holds the messages of the commands; the other parts
// are drawn from their texts and the done flags (idle: the seven flag parts,
// red on the window colour when set, and the "thread=%d" part; busy: one
// "thread=%d" part).  GUI thread only.
#pragma once

#include <QString>
#include <QWidget>
#include <array>
#include <cstdint>

#include "app/frontend.h"
#include "ui/status_texts.h"

class QSizeGrip;

namespace quelbrix::ui {

class StatusBar : public QWidget {
  Q_OBJECT

 public:
  explicit StatusBar(QWidget* parent);

  void SetStatusLayout(StatusLayout layout);
  StatusLayout Layout() const { return layout_; }
  int PartCount() const;
  QRect PartRect(int part) const;

  // Part 0, the message part.
  void SetMessage(const QString& text);
  QString Message() const { return message_; }

  // StatusTextMessage: the text of an owner-drawn part of the current
  // layout (ANSI bytes, cut to the part's row).  False for a part outside it.
  bool SetPartText(int part, std::string_view ansi);
  QString PartText(int part) const;

  void SetDoneFlags(const std::array<uint8_t, 8>& flags);
  bool DoneFlag(int part) const { return part > 0 && part < 8 && flags_[part] != 0; }
  // Whether part `part` is drawn red now.
  bool PartIsRed(int part) const;

  QSize sizeHint() const override;

  // What part `part` of the current layout shows, for its tooltip: the
  // message itself for part 0 (it may be cut), what a flag or the thread
  // count means for the others; empty for a part outside the layout.
  QString PartToolTip(int part) const;
  // The part under a point of the bar, or -1.
  int PartAt(const QPoint& point) const;

 protected:
  bool event(QEvent*) override;
  void paintEvent(QPaintEvent*) override;
  void resizeEvent(QResizeEvent*) override;

 private:
  StatusLayout layout_ = StatusLayout::kIdle;
  QString message_;
  StatusPartTexts texts_;
  std::array<uint8_t, 8> flags_{};
  QSizeGrip* grip_;
};

}  // namespace quelbrix::ui
