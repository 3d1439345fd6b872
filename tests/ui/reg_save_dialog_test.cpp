// The Reg save dialog: its two rows, SYSTEM checked at first, the results of
// OK (1, with HiveKeyName), Cancel and Escape (2) and the close box (0), its
// place at the centre of the screen, the "Ｒｅｇ保存" button that opens it,
// and a picture of it for a person to look at.
#include <QAbstractButton>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QtTest>
#include <filesystem>

#include "app/context.h"
#include "platform/text.h"
#include "ui/control_table.h"
#include "ui/layout.h"
#include "ui/main_window.h"
#include "ui/reg_save_dialog.h"
#include "ui/status_bar.h"

using namespace quelbrix;
using namespace quelbrix::ui;
namespace fs = std::filesystem;

namespace {

QAbstractButton* Button(RegSaveDialog& d, int id) { return qobject_cast<QAbstractButton*>(d.Control(id)); }
QString U(const char* utf8) { return QString::fromUtf8(utf8); }

// Runs `act` on the dialog once it is the active modal window.
void WhenModal(QObject* context, std::function<void(RegSaveDialog&)> act) {
  QTimer::singleShot(0, context, [act] {
    if (auto* d = qobject_cast<RegSaveDialog*>(QApplication::activeModalWidget())) act(*d);
  });
}

}  // namespace

class RegSaveDialogTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    QVERIFY(platform::SetAnsiCodePage(932));
    fs::create_directories(QUELBRIX_UI_RENDERS);
  }

  void rowsAndStartState() {
    HiveContext ctx;
    RegSaveDialog d(ctx, nullptr);
    QCOMPARE(d.windowTitle(), U("Ｒｅｇ保存"));
    QCOMPARE(d.height(), 52);
    std::vector<ControlRect> r1 = LayoutRow(RegSaveRow1Table(), d.width(), 0, 26);
    std::vector<ControlRect> r2 = LayoutRow(RegSaveRow2Table(), d.width(), 26, 52);
    const int row1[] = {kIdRadioSystem, kIdRadioSoftware, kIdRadioSam, kIdRadioSecurity};
    for (int i = 0; i < 4; ++i)
      QCOMPARE(d.Control(row1[i])->geometry(), QRect(r1[i].X, r1[i].Y, r1[i].Width, r1[i].Height));
    const int row2[] = {1090, kIdOk, kIdCancel};
    for (int i = 0; i < 3; ++i)
      QCOMPARE(d.Control(row2[i])->geometry(), QRect(r2[i].X, r2[i].Y, r2[i].Width, r2[i].Height));
    for (int id : row1) QVERIFY(d.Control(id)->width() >= d.Control(id)->sizeHint().width());  // captions whole
    QVERIFY(Button(d, kIdRadioSystem)->isChecked());
    QVERIFY(!Button(d, kIdRadioSam)->isChecked());
    QCOMPARE(qobject_cast<QLabel*>(d.Control(1090))->text(), U("出力先に保存(～.tmp)"));
    QCOMPARE(Button(d, kIdOk)->text(), U("ＯＫ"));
    QCOMPARE(Button(d, kIdCancel)->toolTip(), U("キャンセル"));
    QCOMPARE(Button(d, kIdRadioSecurity)->toolTip(), QStringLiteral("SECURITY"));
  }

  void okAtOnceSavesSystem() {
    HiveContext ctx;
    RegSaveDialog d(ctx, nullptr);
    d.show();
    QTest::mouseClick(Button(d, kIdOk), Qt::LeftButton);
    QCOMPARE(d.result(), 1);
    QCOMPARE(ctx.HiveKeyName, std::string("SYSTEM"));
  }

  void theRadioButtonsAreOneGroup() {
    HiveContext ctx;
    RegSaveDialog d(ctx, nullptr);
    d.show();
    QTest::mouseClick(Button(d, kIdRadioSam), Qt::LeftButton);
    QVERIFY(Button(d, kIdRadioSam)->isChecked());
    QVERIFY(!Button(d, kIdRadioSystem)->isChecked());
    QTest::mouseClick(Button(d, kIdOk), Qt::LeftButton);
    QCOMPARE(d.result(), 1);
    QCOMPARE(ctx.HiveKeyName, std::string("SAM"));
  }

  void cancelEscapeAndCloseBox() {
    HiveContext ctx;
    ctx.HiveKeyName = "SOFTWARE";
    {
      RegSaveDialog d(ctx, nullptr);
      d.show();
      QTest::mouseClick(Button(d, kIdRadioSecurity), Qt::LeftButton);
      QTest::mouseClick(Button(d, kIdCancel), Qt::LeftButton);
      QCOMPARE(d.result(), 2);
    }
    {
      RegSaveDialog d(ctx, nullptr);
      d.show();
      QTest::keyClick(&d, Qt::Key_Escape);
      QCOMPARE(d.result(), 2);
    }
    {
      RegSaveDialog d(ctx, nullptr);
      d.show();
      d.setResult(7);
      d.close();
      QCOMPARE(d.result(), 0);
    }
    QCOMPARE(ctx.HiveKeyName, std::string("SOFTWARE"));
  }

  void centredOnTheScreen() {
    HiveContext ctx;
    QWidget elsewhere;
    elsewhere.setGeometry(10, 10, 200, 100);
    RegSaveDialog d(ctx, &elsewhere);
    d.show();
    QVERIFY(QTest::qWaitForWindowExposed(&d));
    QPoint centre = QGuiApplication::primaryScreen()->geometry().center();
    QPoint mine = d.frameGeometry().center();
    QVERIFY2((mine - centre).manhattanLength() <= 2,
             qPrintable(QStringLiteral("%1,%2 vs %3,%4").arg(mine.x()).arg(mine.y()).arg(centre.x()).arg(centre.y())));
    QString png = QStringLiteral(QUELBRIX_UI_RENDERS "/reg_save_dialog.png");
    QVERIFY(d.grab().save(png));
  }

  void theButtonOpensItAndOnlyOkStarts() {
    fs::path dir = fs::path(QUELBRIX_UI_TEST_DIR) / "reg_save";
    fs::remove_all(dir);
    fs::create_directories(dir / "registry");
    HiveContext ctx;
    ctx.OutputFolder = dir.string();
    ctx.RegistryRoot = (dir / "registry").string();
    MainWindow window(ctx);
    window.show();

    window.Status()->SetMessage(QStringLiteral("before"));
    WhenModal(this, [](RegSaveDialog& d) { QTest::mouseClick(Button(d, kIdCancel), Qt::LeftButton); });
    window.Command(kCmdRegSave);
    QVERIFY(!window.Busy());
    QCOMPARE(window.Status()->Message(), QStringLiteral("before"));
    QCOMPARE(ctx.HiveKeyName, std::string());

    WhenModal(this, [](RegSaveDialog& d) {
      QTest::mouseClick(Button(d, kIdRadioSoftware), Qt::LeftButton);
      QTest::mouseClick(Button(d, kIdOk), Qt::LeftButton);
    });
    window.Command(kCmdRegSave);
    QCOMPARE(ctx.HiveKeyName, std::string("SOFTWARE"));
    QCOMPARE(ctx.CommandId, int{kCmdRegSave});
    QTRY_VERIFY_WITH_TIMEOUT(!window.Busy(), 60000);
    window.WaitForWorker();
    QVERIFY(window.Status()->Message().startsWith(U("Ｒｅｇ保存")));
  }
};

QTEST_MAIN(RegSaveDialogTest)
#include "reg_save_dialog_test.moc"
