// The Reg save dialog: which of the machine's own hives (SYSTEM, SOFTWARE,
// SAM, SECURITY) Reg save saves.  OK stores the chosen caption as
// HiveKeyName and ends with 1; Cancel (and Escape) end with 2, the title
// bar's close box with 0.  Shown centred on the primary screen.
#pragma once

#include <QDialog>
#include <map>

#include "app/context.h"

namespace quelbrix::ui {

class RegSaveDialog : public QDialog {
  Q_OBJECT

 public:
  RegSaveDialog(HiveContext& ctx, QWidget* parent);

  QWidget* Control(int id) const;
  // OK: the chosen hive becomes HiveKeyName.
  void Ok();

 protected:
  void showEvent(QShowEvent*) override;
  void closeEvent(QCloseEvent*) override;
  void resizeEvent(QResizeEvent*) override;
  void reject() override;

 private:
  void LayoutRows();

  HiveContext& ctx_;
  std::map<int, QWidget*> controls_;
};

// Moves a top-level window so that its frame's centre is the primary
// screen's centre.
void CenterOnScreen(QWidget* window);

}  // namespace quelbrix::ui
