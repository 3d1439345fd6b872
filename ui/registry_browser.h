// A read-only browser of the machine registry: the hive files of the
// registry folder (which stands for HKEY_LOCAL_MACHINE) and the hive mounted
// under Rebuild, with their keys and values as the files hold them now.
// Nothing here writes.
#pragma once

#include <QWidget>

#include "core/context.h"

class QTreeWidget;
class QTreeWidgetItem;
class QTableWidget;
class QLabel;

namespace quelbrix::ui {

class RegistryBrowser : public QWidget {
  Q_OBJECT

 public:
  RegistryBrowser(HiveContext& ctx, QWidget* parent);
  // Reads the folder and the mount again.
  void Refresh();
  QTreeWidget* Tree() const { return tree_; }
  QTableWidget* Values() const { return values_; }

 private:
  void Expand(QTreeWidgetItem* item);
  void ShowValues(QTreeWidgetItem* item);

  HiveContext& ctx_;
  QTreeWidget* tree_;
  QTableWidget* values_;
  QLabel* note_;
};

}  // namespace quelbrix::ui
