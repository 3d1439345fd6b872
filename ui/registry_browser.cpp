#include "ui/registry_browser.h"

#include <QLabel>
#include <QSplitter>
#include <QTableWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace quelbrix::ui {

RegistryBrowser::RegistryBrowser(HiveContext& ctx, QWidget* parent)
    : QWidget(parent, Qt::Window), ctx_(ctx), tree_(new QTreeWidget), values_(new QTableWidget), note_(new QLabel) {
  setWindowTitle(QStringLiteral("エディタ"));
  auto* layout = new QVBoxLayout(this);
  auto* split = new QSplitter;
  split->addWidget(tree_);
  split->addWidget(values_);
  layout->addWidget(split);
  layout->addWidget(note_);
  resize(900, 560);
}

void RegistryBrowser::Refresh() { tree_->clear(); }
void RegistryBrowser::Expand(QTreeWidgetItem*) {}
void RegistryBrowser::ShowValues(QTreeWidgetItem*) {}

}  // namespace quelbrix::ui
