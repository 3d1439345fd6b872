// The editor button's read-only browser: the machine hives present in the
// registry folder and the mounted hive, keys read from the files, values as
// text, a damaged hive named as such, and no file created or changed.
#include <QLabel>
#include <QTableWidget>
#include <QTreeWidget>
#include <QtTest>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "app/context.h"
#include "platform/text.h"
#include "registry/mount_table.h"
#include "support/hive_builder.h"
#include "ui/main_window.h"
#include "ui/registry_browser.h"

using namespace quelbrix;
using namespace quelbrix::ui;
namespace fs = std::filesystem;

namespace {

std::string Bytes(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

QTreeWidgetItem* Child(QTreeWidgetItem* item, const QString& name) {
  for (int i = 0; i < item->childCount(); ++i)
    if (item->child(i)->text(0) == name) return item->child(i);
  return nullptr;
}

QString Cell(QTableWidget* t, int row, int column) { return t->item(row, column)->text(); }

}  // namespace

class RegistryBrowserTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { QVERIFY(platform::SetAnsiCodePage(932)); }

  void valueTexts() {
    QCOMPARE(ValueDataText(1, {'Q', 0, 'b', 0, 0, 0}), QStringLiteral("Qb"));
    QCOMPARE(ValueDataText(7, {'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0}), QStringLiteral("a b"));
    QCOMPARE(ValueDataText(4, {7, 0, 0, 0}), QStringLiteral("0x00000007 (7)"));
    QCOMPARE(ValueDataText(4, {7, 0}), QStringLiteral("07 00"));  // a short DWORD is shown as it is
    QCOMPARE(ValueDataText(3, {0xde, 0xad}), QStringLiteral("de ad"));
    QVERIFY(ValueDataText(3, std::vector<uint8_t>(600, 1)).endsWith(QStringLiteral("…")));
    QCOMPARE(ValueTypeName(11), QStringLiteral("REG_QWORD"));
    QCOMPARE(ValueTypeName(0x20), QStringLiteral("0x00000020"));
  }

  void machineHivesAndTheMount() {
    fs::path dir = fs::path(QUELBRIX_UI_TEST_DIR) / "browser";
    fs::remove_all(dir);
    fs::create_directories(dir / "registry");
    testing::HiveBuilder system;
    testing::Key select = system.AddKey(system.Root(), "Select");
    system.AddValue(select, "Current", 4, {1, 0, 0, 0});
    system.AddKey(system.Root(), "ControlSet001");
    system.Build();
    QVERIFY(system.WriteTo((dir / "registry" / "SYSTEM").string()));
    testing::HiveBuilder mounted;
    testing::Key vendor = mounted.AddKey(mounted.Root(), "Vendor");
    mounted.AddValue(vendor, "Name", 1, {'Q', 0, 'b', 0, 0, 0});
    mounted.Build();
    QVERIFY(mounted.WriteTo((dir / "loaded.hive").string()));
    QVERIFY(registry::WriteMountTable((dir / "registry").string(), {{"Rebuild", (dir / "loaded.hive").string()}}));
    // Not a hive at all.
    std::ofstream((dir / "registry" / "SAM"), std::ios::binary) << std::string(5000, 'x');
    std::string before = Bytes(dir / "registry" / "SYSTEM") + Bytes(dir / "loaded.hive");

    HiveContext ctx;
    ctx.OutputFolder = dir.string();
    ctx.RegistryRoot = (dir / "registry").string();
    MainWindow window(ctx);
    window.show();
    window.Command(kCmdOpenEditor);
    RegistryBrowser* browser = window.Browser();
    QVERIFY(browser != nullptr);
    QVERIFY(browser->isVisible());

    QTreeWidgetItem* machine = browser->Tree()->topLevelItem(0);
    QCOMPARE(machine->text(0), QStringLiteral("HKEY_LOCAL_MACHINE"));
    QCOMPARE(machine->childCount(), 3);  // SYSTEM, SAM, Rebuild; SOFTWARE and SECURITY do not exist
    QTreeWidgetItem* sys = Child(machine, QStringLiteral("SYSTEM"));
    QVERIFY(sys != nullptr);
    sys->setExpanded(true);
    QVERIFY(Child(sys, QStringLiteral("ControlSet001")) != nullptr);
    QTreeWidgetItem* sel = Child(sys, QStringLiteral("Select"));
    QVERIFY(sel != nullptr);
    browser->Tree()->setCurrentItem(sel);
    QCOMPARE(browser->Values()->rowCount(), 1);
    QCOMPARE(Cell(browser->Values(), 0, 0), QStringLiteral("Current"));
    QCOMPARE(Cell(browser->Values(), 0, 1), QStringLiteral("REG_DWORD"));
    QCOMPARE(Cell(browser->Values(), 0, 2), QStringLiteral("0x00000001 (1)"));

    QTreeWidgetItem* rebuild = Child(machine, QStringLiteral("Rebuild"));
    QVERIFY(rebuild != nullptr);
    rebuild->setExpanded(true);
    QTreeWidgetItem* v = Child(rebuild, QStringLiteral("Vendor"));
    QVERIFY(v != nullptr);
    browser->Tree()->setCurrentItem(v);
    QCOMPARE(Cell(browser->Values(), 0, 2), QStringLiteral("Qb"));

    QTreeWidgetItem* sam = Child(machine, QStringLiteral("SAM"));
    sam->setExpanded(true);
    QCOMPARE(sam->childCount(), 1);
    QVERIFY(sam->child(0)->text(0).startsWith(QLatin1Char('(')));  // the reader's reason, not keys

    // Read only: nothing written, nothing made.
    QCOMPARE(Bytes(dir / "registry" / "SYSTEM") + Bytes(dir / "loaded.hive"), before);
    QVERIFY(!fs::exists(dir / "registry" / "SOFTWARE"));
    QVERIFY(!fs::exists(dir / "registry" / "SECURITY"));

    // Pressed again, it shows the folder as it is now.
    fs::remove(dir / "registry" / "SAM");
    window.Command(kCmdOpenEditor);
    QCOMPARE(window.Browser(), browser);
    QCOMPARE(browser->Tree()->topLevelItem(0)->childCount(), 2);
    window.close();
    QVERIFY(!browser->isVisible());
  }

  void emptyFolderSaysSo() {
    fs::path dir = fs::path(QUELBRIX_UI_TEST_DIR) / "browser_empty";
    fs::remove_all(dir);
    fs::create_directories(dir);
    HiveContext ctx;
    ctx.RegistryRoot = dir.string();
    RegistryBrowser browser(ctx, nullptr);
    browser.Refresh();
    QCOMPARE(browser.Tree()->topLevelItem(0)->childCount(), 0);
    QVERIFY(browser.Note()->text().endsWith(QStringLiteral("ハイブがありません")));
  }
};

QTEST_MAIN(RegistryBrowserTest)
#include "registry_browser_test.moc"
