#include "ui/controls.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QCoreApplication>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <cstring>

#include "ui/layout.h"
#include "ui/output_pane.h"

namespace quelbrix::ui {

void RecentFileBox::AddRecent(const QString& path) {
  int old = findText(path, Qt::MatchFixedString);
  if (old >= 0) removeItem(old);
  insertItem(0, path);
  setCurrentIndex(0);
}

void RecentFileBox::SelectText(const QString& text) { setCurrentIndex(findText(text, Qt::MatchFixedString)); }

void RecentFileBox::showPopup() {
  QComboBox::showPopup();
  QWidget* popup = view()->window();
  int room = dropExtent_ - height();
  if (room > 0 && popup->height() > room) popup->resize(popup->width(), room);
}

QString TranslatedCaption(const ControlRow& row) {
  return row.Caption[0] == '\0' ? QString() : QCoreApplication::translate("Controls", row.Caption);
}

void RetranslateControls(std::span<const ControlRow> table, const std::map<int, QWidget*>& controls) {
  for (const ControlRow& row : table) {
    auto it = controls.find(row.ControlId);
    if (it == controls.end() || row.Caption[0] == '\0') continue;
    QString caption = TranslatedCaption(row);
    if (auto* label = qobject_cast<QLabel*>(it->second)) label->setText(caption);
    if (auto* button = qobject_cast<QAbstractButton*>(it->second)) {
      button->setText(caption);
      if (row.TipText[0] == '\0') button->setToolTip(caption);
    }
  }
}

namespace {

QWidget* CreateControl(QWidget* parent, const ControlRow& row, const QFont& fixedFont) {
  QString caption = TranslatedCaption(row);
  QWidget* w = nullptr;
  if (std::strcmp(row.ClassName, "Static") == 0) {
    auto* label = new QLabel(caption, parent);
    // Statics are drawn opaque on the window colour, inside a sunken edge.
    label->setAutoFillBackground(true);
    label->setBackgroundRole(QPalette::Base);
    label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    if (row.Style & kSsCenterImage) label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    w = label;
  } else if (std::strcmp(row.ClassName, "ComboBox") == 0) {
    w = new RecentFileBox(parent);
  } else if (std::strcmp(row.ClassName, "RichEdit20A") == 0) {
    // Read-only whatever the style says: the pane shows the report's lines.
    auto* pane = new OutputPane(parent);
    pane->setFont(fixedFont);
    // Dropped files belong to the window, not to the pane's text.
    pane->setAcceptDrops(false);
    pane->viewport()->setAcceptDrops(false);
    w = pane;
  } else {
    QAbstractButton* button = nullptr;
    if ((row.Style & kBsTypeMask) == kBsAutoRadioButton) {
      auto* radio = new QRadioButton(caption, parent);
      radio->setChecked(row.CheckState != 0);
      button = radio;
    } else {
      auto* push = new QPushButton(caption, parent);
      push->setDefault((row.Style & kBsTypeMask) == kBsDefPushButton);
      push->setAutoDefault(false);
      button = push;
    }
    button->setToolTip(row.TipText[0] != '\0' ? QString::fromUtf8(row.TipText) : caption);
    w = button;
  }
  w->setObjectName(QStringLiteral("control%1").arg(row.ControlId));
  w->setEnabled((row.Style & kWsDisabled) == 0);
  w->show();
  return w;
}

}  // namespace

int CaptionWidthNeeded(const QWidget* control) {
  if (auto* push = qobject_cast<const QPushButton*>(control)) {
    if (push->text().isEmpty()) return 0;
    // The style draws the caption inside SE_PushButtonContents; what lies
    // outside it (frame, default-button ring) does not depend on the width.
    QStyleOptionButton option;
    option.initFrom(push);
    option.rect = QRect(0, 0, 1000, 26);
    option.text = push->text();
    if (push->autoDefault()) option.features |= QStyleOptionButton::AutoDefaultButton;
    if (push->isDefault()) option.features |= QStyleOptionButton::DefaultButton;
    QStyle* style = push->style();
    int outside = option.rect.width() - style->subElementRect(QStyle::SE_PushButtonContents, &option, push).width();
    return push->fontMetrics().horizontalAdvance(push->text()) + outside +
           style->pixelMetric(QStyle::PM_ButtonMargin, &option, push);
  }
  if (auto* button = qobject_cast<const QAbstractButton*>(control))
    return button->text().isEmpty() ? 0 : button->sizeHint().width();
  if (auto* label = qobject_cast<const QLabel*>(control)) {
    if (label->text().isEmpty()) return 0;
    QFontMetrics fm = label->fontMetrics();
    // A framed label without an indent of its own indents by half an "x".
    int indent = label->indent();
    if (indent < 0) indent = label->frameWidth() > 0 ? fm.horizontalAdvance(QLatin1Char('x')) / 2 : 0;
    return fm.horizontalAdvance(label->text()) + 2 * (label->frameWidth() + label->margin() + indent);
  }
  return 0;
}

void LayoutControls(QWidget* parent, std::span<const ControlRow> table, int top, int bottom,
                    std::map<int, QWidget*>& controls, const QFont& fixedFont, RowFit fit) {
  std::vector<int> needed;
  for (const ControlRow& row : table) {
    QWidget*& w = controls[row.ControlId];
    if (w == nullptr) w = CreateControl(parent, row, fixedFont);
    needed.push_back(fit == RowFit::kCaptions ? CaptionWidthNeeded(w) : 0);
  }
  std::vector<ControlRect> rects = FitRow(table, needed, parent->width(), top, bottom);
  for (size_t i = 0; i < table.size(); ++i) {
    const ControlRow& row = table[i];
    QWidget* w = controls[row.ControlId];
    const ControlRect& r = rects[i];
    int rowHeight = bottom - top;
    if (auto* box = qobject_cast<RecentFileBox*>(w)) {
      // The box itself is one row high; the rest of its extent is its list.
      box->SetDropExtent(r.Height);
      w->setGeometry(r.X, r.Y, r.Width, rowHeight < 0 ? 0 : rowHeight);
    } else {
      w->setGeometry(r.X, r.Y, r.Width < 0 ? 0 : r.Width, r.Height < 0 ? 0 : r.Height);
    }
  }
}

}  // namespace quelbrix::ui
