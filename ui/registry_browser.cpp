#include "ui/registry_browser.h"

#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QSplitter>
#include <QTableWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "platform/files.h"
#include "registry/hive_reader.h"
#include "registry/mount_table.h"

namespace quelbrix::ui {
namespace {

enum Role { kPathRole = Qt::UserRole, kKeyRole, kFilledRole };

constexpr const char* kMachineHives[] = {"SYSTEM", "SOFTWARE", "SAM", "SECURITY"};
// Data beyond this many bytes is left out of the hex text.
constexpr size_t kShownBytes = 512;

QString FromUtf16(const std::u16string& s) {
  return QString::fromUtf16(s.data(), static_cast<qsizetype>(s.size()));
}

QString Utf16Data(const std::vector<uint8_t>& data) {
  QString text;
  for (size_t i = 0; i + 1 < data.size(); i += 2) text.append(QChar(static_cast<char16_t>(data[i] | data[i + 1] << 8)));
  return text;
}

void AddPlaceholder(QTreeWidgetItem* item) { item->addChild(new QTreeWidgetItem); }

}  // namespace

QString ValueTypeName(uint32_t type) {
  static const char* const kNames[] = {"REG_NONE", "REG_SZ", "REG_EXPAND_SZ", "REG_BINARY", "REG_DWORD",
                                       "REG_DWORD_BIG_ENDIAN", "REG_LINK", "REG_MULTI_SZ", "REG_RESOURCE_LIST",
                                       "REG_FULL_RESOURCE_DESCRIPTOR", "REG_RESOURCE_REQUIREMENTS_LIST",
                                       "REG_QWORD"};
  if (type < std::size(kNames)) return QString::fromLatin1(kNames[type]);
  return QStringLiteral("0x%1").arg(type, 8, 16, QLatin1Char('0'));
}

QString ValueDataText(uint32_t type, const std::vector<uint8_t>& data) {
  switch (type) {
    case 1:
    case 2: {
      QString s = Utf16Data(data);
      int nul = s.indexOf(QChar(0));
      return nul >= 0 ? s.left(nul) : s;
    }
    case 7: {
      QStringList parts = Utf16Data(data).split(QChar(0));
      while (!parts.isEmpty() && parts.back().isEmpty()) parts.pop_back();
      return parts.join(QStringLiteral(" "));
    }
    case 4:
      if (data.size() == 4) {
        uint32_t v = data[0] | data[1] << 8 | data[2] << 16 | static_cast<uint32_t>(data[3]) << 24;
        return QStringLiteral("0x%1 (%2)").arg(v, 8, 16, QLatin1Char('0')).arg(v);
      }
      break;
    case 11:
      if (data.size() == 8) {
        uint64_t v = 0;
        for (int i = 7; i >= 0; --i) v = v << 8 | data[i];
        return QStringLiteral("0x%1 (%2)").arg(v, 16, 16, QLatin1Char('0')).arg(v);
      }
      break;
    default: break;
  }
  QByteArray shown(reinterpret_cast<const char*>(data.data()),
                   static_cast<qsizetype>(std::min(data.size(), kShownBytes)));
  QString hex = QString::fromLatin1(shown.toHex(' '));
  if (data.size() > kShownBytes) hex += QStringLiteral(" …");
  return hex;
}

RegistryBrowser::RegistryBrowser(HiveContext& ctx, QWidget* parent)
    : QWidget(parent, Qt::Window), ctx_(ctx), tree_(new QTreeWidget), values_(new QTableWidget), note_(new QLabel) {
  setWindowTitle(tr("レジストリ (読み取り専用)"));
  tree_->setHeaderLabels({tr("キー")});
  values_->setColumnCount(3);
  values_->setHorizontalHeaderLabels({tr("名前"), tr("種類"), tr("データ")});
  values_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  values_->verticalHeader()->hide();
  values_->horizontalHeader()->setStretchLastSection(true);
  note_->setWordWrap(true);
  auto* split = new QSplitter;
  split->addWidget(tree_);
  split->addWidget(values_);
  split->setStretchFactor(1, 2);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(split);
  layout->addWidget(note_);
  resize(900, 560);
  connect(tree_, &QTreeWidget::itemExpanded, this, &RegistryBrowser::Expand);
  connect(tree_, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) { ShowValues(item); });
}

void RegistryBrowser::AddHive(QTreeWidgetItem* machine, const QString& keyName, const std::string& path) {
  auto* item = new QTreeWidgetItem(machine, {keyName});
  item->setData(0, kPathRole, QString::fromStdString(path));
  item->setToolTip(0, QFile::decodeName(QByteArray::fromStdString(path)));
  AddPlaceholder(item);
}

void RegistryBrowser::Refresh() {
  tree_->clear();
  values_->setRowCount(0);
  hives_.clear();
  const std::string& folder = ctx_.RegistryRoot;
  auto* machine = new QTreeWidgetItem(tree_, {QStringLiteral("HKEY_LOCAL_MACHINE")});
  machine->setData(0, kFilledRole, true);
  int shown = 0;
  for (const char* name : kMachineHives) {
    std::string path = folder + "/" + name;
    // A machine hive that was never used does not exist yet; it is not made here.
    if (!platform::FileExists(path)) continue;
    AddHive(machine, QString::fromLatin1(name), path);
    ++shown;
  }
  for (const registry::Mount& m : registry::ReadMountTable(folder)) {
    AddHive(machine, QString::fromStdString(m.KeyName), m.HivePath);
    ++shown;
  }
  machine->setExpanded(true);
  QString where = QFile::decodeName(QByteArray::fromStdString(folder));
  note_->setText(shown > 0 ? tr("%1 (読み取り専用)").arg(where) : tr("%1: ハイブがありません").arg(where));
}

void RegistryBrowser::Expand(QTreeWidgetItem* item) {
  if (item->data(0, kFilledRole).toBool()) return;
  item->setData(0, kFilledRole, true);
  qDeleteAll(item->takeChildren());
  auto* key = reinterpret_cast<const registry::RegistryKey*>(item->data(0, kKeyRole).value<quintptr>());
  if (key == nullptr) {
    std::string path = item->data(0, kPathRole).toString().toStdString();
    auto tree = std::make_unique<registry::RegistryTree>();
    platform::Status read = registry::ReadHiveFile(path, tree.get());
    if (!read || !tree->Root) {
      auto* error = new QTreeWidgetItem(item, {QStringLiteral("(%1)").arg(QString::fromStdString(read.Reason))});
      error->setForeground(0, QColor(255, 0, 0));
      return;
    }
    key = tree->Root.get();
    item->setData(0, kKeyRole, QVariant::fromValue(reinterpret_cast<quintptr>(key)));
    hives_[path] = std::move(tree);
  }
  for (const auto& sub : key->Subkeys) {
    auto* child = new QTreeWidgetItem(item, {FromUtf16(sub->Name)});
    child->setData(0, kKeyRole, QVariant::fromValue(reinterpret_cast<quintptr>(sub.get())));
    if (!sub->Subkeys.empty()) AddPlaceholder(child);
    else child->setData(0, kFilledRole, true);
  }
  ShowValues(item);
}

void RegistryBrowser::ShowValues(QTreeWidgetItem* item) {
  values_->setRowCount(0);
  if (item == nullptr) return;
  if (!item->data(0, kPathRole).isNull() && item->data(0, kKeyRole).isNull()) Expand(item);
  auto* key = reinterpret_cast<const registry::RegistryKey*>(item->data(0, kKeyRole).value<quintptr>());
  if (key == nullptr) return;
  values_->setRowCount(static_cast<int>(key->Values.size()));
  int row = 0;
  for (const registry::RegistryValue& v : key->Values) {
    QString name = v.Name.empty() ? tr("(既定)") : FromUtf16(v.Name);
    values_->setItem(row, 0, new QTableWidgetItem(name));
    values_->setItem(row, 1, new QTableWidgetItem(ValueTypeName(v.Type)));
    values_->setItem(row, 2, new QTableWidgetItem(ValueDataText(v.Type, v.Data)));
    ++row;
  }
}

}  // namespace quelbrix::ui
