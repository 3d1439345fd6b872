#include "ui/reg_save_dialog.h"

#include <QAbstractButton>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QScreen>
#include <algorithm>

#include "ui/command_rules.h"
#include "ui/control_table.h"
#include "ui/controls.h"
#include "ui/layout.h"
#include "ui/main_window.h"

namespace quelbrix::ui {
namespace {

// The dialog is 200 dialog units wide (a dialog unit is a quarter of the
// font's average character width, averaged over the alphabet), but never so
// narrow that a radio button's caption is cut; it is as high as its two rows.
constexpr int kWidthUnits = 200;
constexpr int kRowsHeight = 2 * kFileRowHeight;

int DialogWidth(const QWidget& dialog, const std::map<int, QWidget*>& controls) {
  int alphabet = dialog.fontMetrics().horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  int baseX = (alphabet / 26 + 1) / 2;
  int width = kWidthUnits * baseX / 4;
  int widest = 0;
  for (const ControlRow& row : RegSaveRow1Table()) {
    auto it = controls.find(row.ControlId);
    if (it != controls.end()) widest = std::max(widest, it->second->sizeHint().width());
  }
  return std::max(width, widest * static_cast<int>(RegSaveRow1Table().size()));
}

}  // namespace

void CenterOnScreen(QWidget* window) {
  QScreen* screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return;
  QRect s = screen->geometry();
  QRect frame = window->frameGeometry();
  ControlRect at = CenteredOn({s.x(), s.y(), s.width(), s.height()}, frame.width(), frame.height());
  window->move(at.X, at.Y);
}

RegSaveDialog::RegSaveDialog(HiveContext& ctx, QWidget* parent) : QDialog(parent), ctx_(ctx) {
  setWindowTitle(tr("Ｒｅｇ保存"));
  setWindowIcon(ProgramIcon());
  setModal(true);
  LayoutRows();
  setFixedSize(DialogWidth(*this, controls_), kRowsHeight);
  LayoutRows();
  for (auto& [id, w] : controls_) {
    auto* button = qobject_cast<QAbstractButton*>(w);
    if (button == nullptr) continue;
    if (id == kIdOk) connect(button, &QAbstractButton::clicked, this, &RegSaveDialog::Ok);
    if (id == kIdCancel) connect(button, &QAbstractButton::clicked, this, [this] { done(2); });
  }
}

void RegSaveDialog::LayoutRows() {
  QFont none;
  LayoutControls(this, RegSaveRow1Table(), 0, kFileRowHeight, controls_, none);
  LayoutControls(this, RegSaveRow2Table(), kFileRowHeight, kRowsHeight, controls_, none);
}

QWidget* RegSaveDialog::Control(int id) const {
  auto it = controls_.find(id);
  return it == controls_.end() ? nullptr : it->second;
}

void RegSaveDialog::Ok() {
  auto checked = [this](int id) {
    auto* b = qobject_cast<QAbstractButton*>(Control(id));
    return b != nullptr && b->isChecked();
  };
  int chosen = ChosenHiveButton(checked(kIdRadioSystem), checked(kIdRadioSoftware), checked(kIdRadioSam),
                                checked(kIdRadioSecurity));
  if (auto* b = qobject_cast<QAbstractButton*>(Control(chosen))) {
    std::string name = b->text().toStdString();
    if (name.size() >= kMaxKeyName) name.resize(kMaxKeyName - 1);
    ctx_.HiveKeyName = name;
  }
  done(1);
}

void RegSaveDialog::reject() { done(2); }

void RegSaveDialog::closeEvent(QCloseEvent* e) {
  // The close box is neither OK nor Cancel.
  done(0);
  e->accept();
}

void RegSaveDialog::resizeEvent(QResizeEvent*) { LayoutRows(); }

void RegSaveDialog::showEvent(QShowEvent* e) {
  QDialog::showEvent(e);
  CenterOnScreen(this);
}

}  // namespace quelbrix::ui
