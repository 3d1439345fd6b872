// The Deleted view: what `quelbrix recover` finds in the hive the window has
// read (keys as a tree with their values, then the values of no recovered
// key), and Undelete of the selected key: it is put back in memory and the
// window's Repair runs over the image, which the window's Write then writes
// as after any Repair.  Reads the image only while no command runs.
#pragma once

#include <QWidget>
#include <functional>

#include "app/context.h"
#include "deleted/deleted.h"

class QTreeWidget;
class QPushButton;
class QLabel;

namespace quelbrix::ui {

class DeletedView : public QWidget {
  Q_OBJECT

 public:
  DeletedView(HiveContext& ctx, QWidget* parent);
  // Looks through the image again; empty when nothing has been read.
  void Refresh();
  QTreeWidget* Tree() const { return tree_; }
  QPushButton* UndeleteButton() const { return undelete_; }
  QLabel* Note() const { return note_; }
  // Runs the window's Repair once a key is back; false when none could start.
  std::function<bool()> RunRepair;
  // Whether a command runs: the image is then the worker's.
  std::function<bool()> Busy;

 private:
  void UndeleteSelected();

  HiveContext& ctx_;
  deleted::DeletedScan scan_;
  QTreeWidget* tree_ = nullptr;
  QPushButton* undelete_ = nullptr;
  QLabel* note_ = nullptr;
};

}  // namespace quelbrix::ui
