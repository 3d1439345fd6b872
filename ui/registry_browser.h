// A read-only browser of the machine registry: the machine's hives in the
// registry folder (which stands for HKEY_LOCAL_MACHINE) and the hives its
// mount table mounts (Rebuild), with their keys and values as the files hold
// them between commands.  Files are read with the registry layer's hive
// reader; nothing is created, locked or written.
#pragma once

#include <QWidget>
#include <map>
#include <memory>
#include <string>

#include "app/context.h"
#include "registry/registry_tree.h"

class QTreeWidget;
class QTreeWidgetItem;
class QTableWidget;
class QLabel;

namespace quelbrix::ui {

class RegistryBrowser : public QWidget {
  Q_OBJECT

 public:
  RegistryBrowser(HiveContext& ctx, QWidget* parent);
  // Reads the folder and its mount table again; every hive is read anew
  // when it is first opened.
  void Refresh();
  QTreeWidget* Tree() const { return tree_; }
  QTableWidget* Values() const { return values_; }
  QLabel* Note() const { return note_; }

 private:
  void Expand(QTreeWidgetItem* item);
  void ShowValues(QTreeWidgetItem* item);
  void AddHive(QTreeWidgetItem* machine, const QString& keyName, const std::string& path);

  HiveContext& ctx_;
  QTreeWidget* tree_;
  QTableWidget* values_;
  QLabel* note_;
  std::map<std::string, std::unique_ptr<registry::RegistryTree>> hives_;
};

// The text of a value's data as the browser shows it: strings as text,
// numbers in hex and decimal, everything else as hex pairs.
QString ValueDataText(uint32_t type, const std::vector<uint8_t>& data);
QString ValueTypeName(uint32_t type);

}  // namespace quelbrix::ui
