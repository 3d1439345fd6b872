#include "ui/deleted_view.h"

#include <QDateTime>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTimeZone>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <vector>

#include "ui/registry_browser.h"
#include "undelete/undelete.h"

namespace quelbrix::ui {
namespace {

constexpr int kKeyRole = Qt::UserRole + 1;  // index in scan.Keys, or -1

QString Units(const std::u16string& text) {
  return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

QTreeWidgetItem* ValueItem(const deleted::RecoveredValue& v) {
  auto* item = new QTreeWidgetItem;
  item->setText(0, v.Name.empty() ? QStringLiteral("(default)") : Units(v.Name));
  item->setText(1, ValueTypeName(v.Type));
  item->setText(2, ValueDataText(v.Type, v.Data) + (v.Complete ? QString() : QStringLiteral(" (incomplete)")));
  item->setData(0, kKeyRole, -1);
  return item;
}

QString TimeText(uint64_t fileTime) {
  constexpr uint64_t kUnixEpoch = 116444736000000000ull;
  if (fileTime < kUnixEpoch) return QString();
  auto ms = static_cast<qint64>((fileTime - kUnixEpoch) / 10000);
  return QDateTime::fromMSecsSinceEpoch(ms, QTimeZone::utc()).toString(Qt::ISODateWithMs);
}

}  // namespace

DeletedView::DeletedView(HiveContext& ctx, QWidget* parent) : QWidget(parent, Qt::Window), ctx_(ctx) {
  setObjectName(QStringLiteral("deletedView"));
  setWindowTitle(QStringLiteral("Deleted keys and values"));
  tree_ = new QTreeWidget(this);
  tree_->setColumnCount(3);
  tree_->setHeaderLabels({QStringLiteral("Name"), QStringLiteral("Type / last write"), QStringLiteral("Data")});
  undelete_ = new QPushButton(QStringLiteral("Undelete"), this);
  undelete_->setEnabled(false);
  note_ = new QLabel(this);
  note_->setWordWrap(true);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(note_, 1);
  buttons->addWidget(undelete_);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(tree_);
  layout->addLayout(buttons);
  resize(760, 480);
  connect(tree_, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
    undelete_->setEnabled(item != nullptr && item->data(0, kKeyRole).toInt() >= 0);
  });
  connect(undelete_, &QPushButton::clicked, this, [this] { UndeleteSelected(); });
}

void DeletedView::Refresh() {
  tree_->clear();
  scan_ = deleted::DeletedScan{};
  undelete_->setEnabled(false);
  if ((Busy && Busy()) || ctx_.Image == nullptr || !ctx_.Done(kReadDone)) {
    note_->setText(QStringLiteral("Read a hive first."));
    return;
  }
  size_t size = static_cast<size_t>(std::min<uint64_t>(ctx_.FileSize, ctx_.ImageSize));
  scan_ = deleted::FindDeleted(ctx_.Image, size);
  std::vector<QTreeWidgetItem*> items(scan_.Keys.size(), nullptr);
  size_t values = 0;
  for (size_t i = 0; i < scan_.Keys.size(); ++i) {
    const deleted::RecoveredKey& k = scan_.Keys[i];
    auto* item = new QTreeWidgetItem;
    QString name = k.Parent < 0 ? Units(k.Path) : Units(k.Name);
    if (k.Parent < 0 && !k.PathComplete) name += QStringLiteral("  (parent gone)");
    item->setText(0, name);
    item->setText(1, TimeText(k.LastWrite));
    item->setData(0, kKeyRole, static_cast<int>(i));
    for (const deleted::RecoveredValue& v : k.Values) item->addChild(ValueItem(v));
    values += k.Values.size();
    if (k.Parent < 0)
      tree_->addTopLevelItem(item);
    else
      items[k.Parent]->addChild(item);
    items[i] = item;
  }
  if (!scan_.Values.empty()) {
    auto* loose = new QTreeWidgetItem;
    loose->setText(0, QStringLiteral("Values of no recovered key"));
    loose->setData(0, kKeyRole, -1);
    for (const deleted::RecoveredValue& v : scan_.Values) {
      QTreeWidgetItem* item = ValueItem(v);
      if (v.LiveKey != deleted::kNone) item->setText(0, Units(v.LiveKeyPath) + QStringLiteral(": ") + item->text(0));
      loose->addChild(item);
    }
    tree_->addTopLevelItem(loose);
  }
  values += scan_.Values.size();
  note_->setText(QStringLiteral("%1 deleted keys, %2 deleted values").arg(scan_.Keys.size()).arg(values));
}

void DeletedView::UndeleteSelected() {
  QTreeWidgetItem* item = tree_->currentItem();
  if (item == nullptr || (Busy && Busy()) || ctx_.Image == nullptr) return;
  int key = item->data(0, kKeyRole).toInt();
  if (key < 0 || static_cast<size_t>(key) >= scan_.Keys.size()) return;
  undelete::UndeleteResult result = undelete::UndeleteKey(ctx_, scan_, key);
  if (!result.Done) {
    ctx_.ImageUnfit = true;  // the writer may have left part of its work
    note_->setText(QString::fromStdString(result.Problem) + QStringLiteral("; Read the hive again."));
    return;
  }
  QString text = QStringLiteral("Back as %1 (%2 keys, %3 values)")
                     .arg(Units(result.Path))
                     .arg(result.Keys)
                     .arg(result.Values);
  if (result.UnderRecovered) text += QStringLiteral("; its parent is gone: under Recovered at the root");
  for (const undelete::Renamed& r : result.Renames)
    text += QStringLiteral("; %1 renamed \"%2\" (a live key has that name)").arg(Units(r.Path), Units(r.NewName));
  if (result.LeftOut > 0) text += QStringLiteral("; %1 incomplete values left out").arg(result.LeftOut);
  text += QStringLiteral(". Repair runs; Write saves the hive.");
  // The image has changed: what the list showed is not where it was.
  tree_->clear();
  scan_ = deleted::DeletedScan{};
  undelete_->setEnabled(false);
  if (RunRepair && !RunRepair()) text += QStringLiteral(" Repair could not start.");
  note_->setText(text);
}

}  // namespace quelbrix::ui
