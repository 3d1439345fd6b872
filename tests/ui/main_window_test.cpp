// The main window on the offscreen platform: the rows at a client width of
// 1000, the status bar, the enabled states, the recent-file lists, dropped
// files, the regf refusal, the folder buttons, the Version box, closing
// while a command runs, the worker's calls from another thread, and Read and
// Search run from the window (pane colours, status texts, done flags), with
// a picture of the window after a Search of a shared hive.
#include <QAbstractButton>
#include <QClipboard>
#include <QDir>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QStyleOptionButton>
#include <QToolTip>
#include <QTreeWidget>
#include <QtTest>
#include <filesystem>
#include <thread>

#include "app/run_command.h"
#include "core/report_log.h"
#include "platform/text.h"
#include "support/hive_builder.h"
#include "support/hive_fixture.h"
#include "support/log_builder.h"
#include "registry/hive_reader.h"
#include "support/windows_delete.h"
#include "ui/deleted_view.h"
#include "support/shared_hives.h"
#include "ui/controls.h"
#include "ui/layout.h"
#include "ui/main_window.h"
#include "ui/status_bar.h"

using namespace quelbrix;
using namespace quelbrix::ui;
namespace fs = std::filesystem;

namespace {

struct PaneEntry {
  QString text;
  QColor colour;
};

// What the pane shows: each row's text and colour, as the view asks for them.
std::vector<PaneEntry> PaneLines(OutputPane* pane) {
  std::vector<PaneEntry> lines;
  QAbstractItemModel* model = pane->model();
  for (int row = 0; row < model->rowCount(); ++row) {
    QModelIndex index = model->index(row, 0);
    lines.push_back({index.data(Qt::DisplayRole).toString(), index.data(Qt::ForegroundRole).value<QColor>()});
  }
  return lines;
}

QString U(const char* utf8) { return QString::fromUtf8(utf8); }

}  // namespace

class MainWindowTest : public QObject {
  Q_OBJECT

 private:
  fs::path dir_;
  std::unique_ptr<HiveContext> ctx_;
  std::unique_ptr<MainWindow> window_;
  std::vector<QString> opened_;
  std::string chosen_;

  std::string SmallHive(const std::string& name, bool breakChecksum) {
    testing::HiveBuilder b;
    testing::Key software = b.AddKey(b.Root(), "Software");
    testing::Key vendor = b.AddKey(software, "Vendor");
    b.AddValue(vendor, "Name", 1, {'Q', 0, 'b', 0, 0, 0});
    b.AddValue(vendor, "Count", 4, {7, 0, 0, 0});
    b.AddKey(b.Root(), "System");
    b.Build();
    if (breakChecksum) b.SetFileU32(0x1FC, b.FileU32(0x1FC) ^ 0x5A5A);
    std::string path = (dir_ / name).string();
    if (!b.WriteTo(path)) return std::string();
    return path;
  }

  // Waits until no command runs and everything it sent has reached the window.
  void Settle() {
    QTRY_VERIFY_WITH_TIMEOUT(!window_->Busy(), 60000);
    window_->WaitForWorker();
    QCoreApplication::processEvents();
  }

  void RunFromWindow(int id) {
    window_->Command(id);
    Settle();
  }

  void ReadFile(const std::string& path) {
    chosen_ = path;
    RunFromWindow(kCmdRead);
  }

 private slots:
  void initTestCase() {
    QVERIFY(platform::SetAnsiCodePage(932));
    dir_ = fs::path(QUELBRIX_UI_TEST_DIR) / "main_window";
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "out");
    fs::create_directories(dir_ / "registry");
    fs::create_directories(QUELBRIX_UI_RENDERS);
  }

  void init() {
    ctx_ = std::make_unique<HiveContext>();
    ctx_->OutputFolder = (dir_ / "out").string();
    ctx_->RegistryRoot = (dir_ / "registry").string();
    window_ = std::make_unique<MainWindow>(*ctx_);
    opened_.clear();
    window_->OpenFolder = [this](const QString& folder) { opened_.push_back(folder); };
    window_->ChooseHiveFile = [this](const QString&, std::string& path) {
      if (chosen_.empty()) return false;
      path = chosen_;
      return true;
    };
    window_->resize(1000, 600);
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
  }

  void cleanup() {
    window_.reset();
    quelbrix::SetLanguage(Language::kJapanese);  // whatever a failed check left
    ctx_.reset();
  }

  // The rows fill the client area below the menu bar; the widths follow the
  // weights where the captions fit (see captionsFitAtTheDefaultSize).
  void rowsAtClientWidth1000() {
    QCOMPARE(window_->width(), 1000);
    int menu = window_->MenuBar()->height();
    QVERIFY(menu > 0);
    QCOMPARE(window_->MenuBar()->geometry(), QRect(0, 0, 1000, menu));
    QCOMPARE(window_->Control(1088)->mapTo(window_.get(), QPoint(0, 0)), QPoint(0, menu));
    auto* box = qobject_cast<RecentFileBox*>(window_->Control(1136));
    QVERIFY(box != nullptr);
    QCOMPARE(box->geometry().top(), 0);
    QCOMPARE(box->height(), 26);
    QCOMPARE(box->DropExtent(), 156);
    QCOMPARE(window_->Control(1089)->geometry().topLeft(), QPoint(0, 26));
    int status = window_->StatusHeight();
    int output = 600 - menu - status - 78;
    QCOMPARE(window_->OutputPane()->geometry(), QRect(0, 52, 1000, output));
    const int buttons[] = {1024, 1025, 1026, 1027, 1028, 1029, 1030, 1031, 1032, 1033, 1034, 3, 2, 9};
    int x = 0;
    for (int id : buttons) {
      QRect r = window_->Control(id)->geometry();
      QCOMPARE(r.topLeft(), QPoint(x, 52 + output));
      QCOMPARE(r.height(), 26);
      x += r.width();
    }
    QVERIFY(x <= 1000);
    QCOMPARE(window_->Status()->geometry(), QRect(0, 600 - status, 1000, status));
    QCOMPARE(window_->minimumHeight(), menu + status + 104);

    // With room for every caption of a row the weights alone decide.
    window_->resize(1400, 700);
    QCOMPARE(window_->Control(1136)->width(), 1400 * 21 / 28);
    QCOMPARE(window_->Control(9)->geometry().top(), 52 + 700 - menu - status - 78);
  }

  // Every caption of a button or label is drawn whole, in the font the
  // control uses, in both languages, at the window's first size on the
  // 1280 x 800 screen of a small laptop and on a large one.
  void captionsFitAtTheDefaultSize() {
    auto room = [](QWidget* w) {
      if (auto* push = qobject_cast<QPushButton*>(w)) {
        QStyleOptionButton option;
        option.initFrom(push);
        option.text = push->text();
        if (push->isDefault()) option.features |= QStyleOptionButton::DefaultButton;
        return push->style()->subElementRect(QStyle::SE_PushButtonContents, &option, push).width();
      }
      auto* label = qobject_cast<QLabel*>(w);
      int indent = label->indent() >= 0 ? label->indent()
                                        : (label->frameWidth() > 0 ? label->fontMetrics().horizontalAdvance('x') / 2 : 0);
      return label->contentsRect().width() - 2 * label->margin() - indent;
    };
    for (Language language : {Language::kJapanese, Language::kEnglish}) {
      QVERIFY(window_->SetLanguage(language));
      for (QSize screen : {QSize(1280, 800), QSize(1920, 1080)}) {
        ControlRect size = DefaultWindowSize(screen.width(), screen.height());
        window_->resize(size.Width, size.Height);
        int checked = 0;
        for (QWidget* w : window_->findChildren<QWidget*>()) {
          QString text;
          if (auto* push = qobject_cast<QPushButton*>(w)) text = push->text();
          if (auto* label = qobject_cast<QLabel*>(w)) text = label->text();
          if (text.isEmpty() || !w->isVisibleTo(window_.get())) continue;
          int advance = w->fontMetrics().horizontalAdvance(text);
          QVERIFY2(advance <= room(w), qPrintable(QStringLiteral("%1 at %2 px: needs %3, has %4")
                                                      .arg(text).arg(size.Width).arg(advance).arg(room(w))));
          ++checked;
        }
        QCOMPARE(checked, 14 + 2 + 4);  // the buttons of both rows and the two labels
      }
    }
  }

  // The menu bar: its commands are the buttons' (same captions, enabled
  // states and effect), View holds the language, Help the Version box.
  void menuBarRunsTheCommands() {
    QList<QAction*> menus = window_->MenuBar()->actions();
    QCOMPARE(menus.size(), 4);
    QCOMPARE(menus[0]->text(), U("ファイル(&F)"));
    QAction* language = window_->findChild<QAction*>(QStringLiteral("languageSetting"));
    QVERIFY(menus[2]->menu()->actions().contains(language));
    auto statesAgree = [&] {
      for (int id : {1024, 1025, 1026, 1027, 1028, 1029, 1030, 1031, 1032, 1033, 1034, 3, 2, 9, 1036, 1037, 1038, 1039}) {
        QAction* action = window_->MenuAction(id);
        QVERIFY2(action != nullptr, qPrintable(QString::number(id)));
        QVERIFY2(action->isEnabled() == window_->Control(id)->isEnabled(), qPrintable(QString::number(id)));
      }
    };
    statesAgree();
    QVERIFY(!window_->MenuAction(kCmdSearchDates)->isEnabled());
    ReadFile(SmallHive("menu", true));
    statesAgree();
    window_->MenuAction(kCmdSearchDates)->trigger();
    Settle();
    QVERIFY2(window_->Status()->Message().endsWith(U("検索(日付有)完了")), qPrintable(window_->Status()->Message()));

    language->setChecked(true);
    QStringList titles;
    for (QAction* m : window_->MenuBar()->actions()) titles << m->text();
    QCOMPARE(titles, (QStringList{"&File", "&Commands", "&View", "&Help"}));
    QCOMPARE(window_->MenuAction(kCmdRepair)->text(), QStringLiteral("Repair"));
    QCOMPARE(window_->MenuAction(kCmdRead)->text(), QStringLiteral("Read..."));
    QString title;
    QTimer::singleShot(0, this, [&] {
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        title = box->windowTitle();
        box->accept();
      }
    });
    window_->MenuAction(kCmdVersion)->trigger();
    QCOMPARE(title, U("Version情報"));
  }

  // Each status cell says what it shows, in the window's language; the
  // tooltip starts with the cell's own label, so it explains that cell.
  void statusCellsExplainThemselves() {
    StatusBar* bar = window_->Status();
    std::map<Language, QStringList> tips;
    for (Language language : {Language::kJapanese, Language::kEnglish}) {
      QVERIFY(window_->SetLanguage(language));
      for (int part = 1; part <= 8; ++part) {
        QString tip = bar->PartToolTip(part);
        QString label = part == 8 ? QStringLiteral("thread=") : bar->PartText(part) + QLatin1Char(':');
        QVERIFY2(tip.startsWith(label) && tip.size() > label.size() + 10, qPrintable(tip));
        tips[language] << tip;
      }
      QCOMPARE(QSet<QString>(tips[language].begin(), tips[language].end()).size(), 8);
      // The tooltip shows where the cell is.
      QRect rebuild = bar->PartRect(7);
      QHelpEvent help(QEvent::ToolTip, rebuild.center(), bar->mapToGlobal(rebuild.center()));
      QCoreApplication::sendEvent(bar, &help);
      QTRY_COMPARE(QToolTip::text(), tips[language][6]);
      QToolTip::hideText();
    }
    for (int part = 1; part <= 8; ++part) QVERIFY(tips[Language::kJapanese][part - 1] != tips[Language::kEnglish][part - 1]);
    bar->SetMessage(QStringLiteral("a message longer than its part"));
    QCOMPARE(bar->PartToolTip(0), QStringLiteral("a message longer than its part"));
    bar->SetStatusLayout(StatusLayout::kBusy);
    QVERIFY(bar->PartToolTip(1).startsWith(QStringLiteral("thread=")));
    QVERIFY(bar->PartToolTip(2).isEmpty());
    bar->SetStatusLayout(StatusLayout::kIdle);
  }

  void controlsAsTheTablesMakeThem() {
    QCOMPARE(window_->windowTitle(), QStringLiteral("Quelbrix"));
    auto* read = qobject_cast<QAbstractButton*>(window_->Control(1024));
    QCOMPARE(read->text(), U("読込"));
    QCOMPARE(read->toolTip(), U("読込"));
    QCOMPARE(window_->Control(1034)->toolTip(), U("ハイブアンロード"));
    QCOMPARE(qobject_cast<QLabel*>(window_->Control(1089))->text(), U("ロードファイル"));
    QCOMPARE(window_->OutputPane()->editTriggers(), QAbstractItemView::NoEditTriggers);
    // Before any Read: the hive commands and 1036 are disabled, 1037 is not.
    for (int id : {1025, 1026, 1027, 1028, 1029, 1032, 1033, 1034, 1036, 1038, 3})
      QVERIFY2(!window_->Control(id)->isEnabled(), qPrintable(QString::number(id)));
    for (int id : {1024, 1030, 1031, 1037, 1039, 1136, 1143, 2, 9})
      QVERIFY2(window_->Control(id)->isEnabled(), qPrintable(QString::number(id)));
  }

  void fixedFontIsAJapaneseMonospaceFace() {
    QFontInfo info(window_->OutputPane()->font());
    QCOMPARE(info.pixelSize(), 15);
    // A dual-width face (half-width Latin, full-width kana and kanji): report
    // columns line up whatever fontconfig calls its spacing.
    QFontMetrics m(window_->OutputPane()->font());
    QCOMPARE(m.horizontalAdvance(QLatin1Char('i')), m.horizontalAdvance(QLatin1Char('W')));
    // Full width is twice half width, within a pixel of rounding at 15 pixels.
    QVERIFY(std::abs(m.horizontalAdvance(U("検")) - 2 * m.horizontalAdvance(QLatin1Char('W'))) <= 1);
    QCOMPARE(m.horizontalAdvance(U("検索完了")), 4 * m.horizontalAdvance(U("検")));
    QVERIFY2(QFontDatabase::writingSystems(info.family()).contains(QFontDatabase::Japanese), qPrintable(info.family()));
  }

  void statusBarIdle() {
    StatusBar* bar = window_->Status();
    QCOMPARE(bar->Layout(), StatusLayout::kIdle);
    QCOMPARE(bar->PartCount(), 9);
    QCOMPARE(bar->PartRect(0).width(), 1000 - 420);
    for (int part = 1; part <= 7; ++part) QCOMPARE(bar->PartRect(part).width(), 50);
    QCOMPARE(bar->PartRect(8).width(), 70);
    QCOMPARE(bar->PartText(1), QStringLiteral("read"));
    QCOMPARE(bar->PartText(7), QStringLiteral("rebuild"));
    QVERIFY(!bar->PartIsRed(1));
    // Texts for parts outside the layout are refused and change nothing.
    QVERIFY(!bar->SetPartText(9, "thread=1"));
    QVERIFY(bar->SetPartText(8, "thread=1234567"));
    QCOMPARE(bar->PartText(8), QStringLiteral("thread=12"));
  }

  void aHiveLeftMountedAtStart() {
    // As start-up finds HKLM\Rebuild still mounted by an earlier run.
    cleanup();
    ctx_ = std::make_unique<HiveContext>();
    ctx_->OutputFolder = (dir_ / "out").string();
    ctx_->RegistryRoot = (dir_ / "registry").string();
    ctx_->SetDone(kHiveLoaded, true);
    window_ = std::make_unique<MainWindow>(*ctx_);
    QVERIFY(window_->Status()->PartIsRed(5));
    QCOMPARE(window_->Status()->PartText(5), QStringLiteral("load"));
    QVERIFY(!window_->Status()->PartIsRed(1));
    for (int id : {1032, 1034}) QVERIFY(window_->Control(id)->isEnabled());
    for (int id : {1031, 1143, 1033}) QVERIFY(!window_->Control(id)->isEnabled());
  }

  // The context menu's setting decides whether Read applies the logs beside a
  // dirty hive: with it, the image is the logged state; without, the file.
  void logSettingDecidesWhatReadSees() {
    testing::HiveOptions o;
    o.primarySequence = 6;
    o.secondarySequence = 5;
    testing::HiveBuilder before(o), after(o);
    before.AddKey(before.Root(), "Old");
    after.AddKey(after.Root(), "Old");
    for (int i = 0; i < 200; ++i) after.AddValue(after.AddKey(after.Root(), "New" + std::to_string(i)), "V", 3, std::vector<uint8_t>(100, 1));
    std::vector<uint8_t> h0 = before.Build(), h1 = after.Build();
    testing::NewLogBuilder log(h0, 5);
    log.AddEntry(5, h0, h1);
    fs::create_directories(dir_ / "logged");
    std::string hive = (dir_ / "logged" / "dirty").string();
    QVERIFY(before.WriteTo(hive));
    QVERIFY(testing::WriteBytes(hive + ".LOG1", log.Bytes()));

    QAction* setting = nullptr;
    for (QAction* a : window_->actions())
      if (a->isCheckable() && a->text().contains(QStringLiteral("transaction logs"))) setting = a;
    QVERIFY(setting != nullptr);
    QVERIFY(setting->isChecked());
    ReadFile(hive);
    QCOMPARE(uint64_t{ctx_->FileSize}, uint64_t{h1.size()});
    QVERIFY(window_->Status()->Message().contains(QStringLiteral("TransactionLogs applied=dirty.LOG1")));

    setting->setChecked(false);
    QVERIFY(ctx_->NoLogs);
    ReadFile(hive);
    QCOMPARE(uint64_t{ctx_->FileSize}, uint64_t{h0.size()});
    QCOMPARE(window_->Status()->Message(), U("読込完了 FileSize=%1").arg(h0.size()));
    setting->setChecked(true);
    QVERIFY(!ctx_->NoLogs);
  }

  // The Deleted view lists the key the hive lost; Undelete puts it back in
  // the image, the window's Repair runs, and Write saves a hive that the
  // hive reader reads with the key and its subtree, and that searches clean.
  void deletedViewUndeletesThroughWrite() {
    testing::HiveBuilder b;
    b.AddKey(b.Root(), "Kept");
    testing::Key gone = b.AddKey(b.Root(), "Gone");
    b.AddValue(gone, "Start", 4, {3, 0, 0, 0});
    b.AddKey(gone, "Sub");
    b.Build();
    testing::DeleteKeyAsWindows(b, gone);
    fs::create_directories(dir_ / "deleted");
    std::string hive = (dir_ / "deleted" / "hive").string();
    QVERIFY(b.WriteTo(hive));
    ReadFile(hive);
    window_->OpenDeletedView();
    DeletedView* view = window_->Deleted();
    QVERIFY(view != nullptr && view->isVisible());
    QCOMPARE(view->Tree()->topLevelItemCount(), 1);
    QTreeWidgetItem* item = view->Tree()->topLevelItem(0);
    QCOMPARE(item->text(0), QStringLiteral("Gone"));
    QCOMPARE(item->childCount(), 2);  // its value and Sub
    QVERIFY(!view->UndeleteButton()->isEnabled());
    view->Tree()->setCurrentItem(item);
    QVERIFY(view->UndeleteButton()->isEnabled());
    view->UndeleteButton()->click();
    window_->WaitForWorker();
    Settle();
    QVERIFY(ctx_->Done(kRepairDone));
    QVERIFY(view->Note()->text().startsWith(QStringLiteral("Back as Gone (2 keys, 1 values)")));
    RunFromWindow(kCmdWrite);
    QVERIFY(ctx_->Done(kWriteDone));
    registry::RegistryTree tree;
    QVERIFY(registry::ReadHiveFile(hive, &tree));
    registry::RegistryKey* back = tree.Root->Subkey(u"Gone");
    QVERIFY(back != nullptr);
    QVERIFY(back->Subkey(u"Sub") != nullptr);
    QCOMPARE(back->Values.size(), size_t{1});
    QCOMPARE(back->Values[0].Data, (std::vector<uint8_t>{3, 0, 0, 0}));
    ReadFile(hive);
    ctx_->FaultLines = 0;
    RunFromWindow(kCmdSearchDates);
    QCOMPARE(ctx_->FaultLines, 0u);
  }

  void readAndSearchFromTheWindow() {
    std::string hive = SmallHive("damaged", true);
    QVERIFY(!hive.empty());
    ReadFile(hive);
    QCOMPARE(ctx_->CurrentFile, hive);
    QCOMPARE(window_->Status()->Message(), U("読込完了 FileSize=%1").arg(fs::file_size(hive)));
    auto* box = qobject_cast<RecentFileBox*>(window_->Control(1136));
    QCOMPARE(box->count(), 1);
    QCOMPARE(box->currentText(), QString::fromStdString(hive));
    for (int id : {1025, 1026, 1027, 1028, 1029, 1036}) QVERIFY(window_->Control(id)->isEnabled());
    QVERIFY(window_->Status()->PartIsRed(1));  // read
    QVERIFY(!window_->Status()->PartIsRed(2));

    RunFromWindow(kCmdSearchDates);
    QString message = window_->Status()->Message();
    QVERIFY2(message.endsWith(U("検索(日付有)完了")), qPrintable(message));
    std::vector<PaneEntry> lines = PaneLines(window_->OutputPane());
    QVERIFY(lines.size() >= 4);
    QVERIFY2(lines.front().text.startsWith(U("[検索(日付有)開始] ")), qPrintable(lines.front().text));
    QCOMPARE(lines.front().colour, QColor(0, 0x80, 0));
    QVERIFY(lines[1].text.startsWith(QStringLiteral("TextFileName=")));
    QCOMPARE(lines[1].colour, QColor(0, 0, 0));
    QVERIFY2(lines.back().text.startsWith(U("[検索(日付有)完了] ")), qPrintable(lines.back().text));
    QCOMPARE(lines.back().colour, QColor(0, 0x80, 0));
    bool red = false;
    for (const PaneEntry& e : lines)
      if (e.text.startsWith(QStringLiteral("regfChecksum Error"))) red = e.colour == QColor(255, 0, 0);
    QVERIFY2(red, "the checksum error is a red line");
    // The pane holds what the report file holds.
    std::string report = (dir_ / "out" / ReportFileName(*ctx_)).string();
    QVERIFY(fs::exists(report));
    QCOMPARE(window_->Status()->Layout(), StatusLayout::kIdle);
    QCOMPARE(window_->Status()->PartText(8), QStringLiteral("thread=0"));
    QVERIFY(window_->Control(1025)->isEnabled());
    QVERIFY(!window_->Control(3)->isEnabled());
    // The picture shows the start of the report, where the red line is.
    window_->OutputPane()->verticalScrollBar()->setValue(0);
    QVERIFY(window_->grab().save(QStringLiteral(QUELBRIX_UI_RENDERS "/main_window_search_damaged.png")));
  }

  // The pane shows, line for line and colour for colour, what the engine sends
  // any front end: the same Read and Search run again on a recording one.
  // Copy takes the selected lines top to bottom, whatever order they were
  // chosen in; the line limit keeps the newest lines.
  void paneHoldsWhatTheEngineSentAndCopiesIt() {
    testing::HiveBuilder b;
    for (int i = 0; i < 400; ++i) {
      testing::Key key = b.AddKey(b.Root(), "Key" + std::to_string(i));
      b.AddValue(key, "V", 3, std::vector<uint8_t>(40, static_cast<uint8_t>(i)));
    }
    b.Build();
    b.SetFileU32(0x1FC, b.FileU32(0x1FC) ^ 0x5A5A);
    testing::HiveRun run;
    QVERIFY(run.Load(b.Image(), "many"));
    run.Run(kCmdSearchDates);
    ctx_->OutputFolder = run.ctx.OutputFolder;  // the same report name in both
    ReadFile(run.HivePath());
    RunFromWindow(kCmdSearchDates);

    const QRegularExpression clock(QStringLiteral(R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2})"));
    auto same = [&](const std::vector<PaneEntry>& shown, const std::vector<testing::PaneLine>& sent, size_t from) {
      if (shown.size() != sent.size() - from) return false;
      for (size_t i = 0; i < shown.size(); ++i) {
        uint32_t c = sent[from + i].colour;
        QString text = QString::fromStdString(platform::AnsiToUtf8(sent[from + i].text));
        if (QString(shown[i].text).replace(clock, QString()) != text.replace(clock, QString()) ||
            shown[i].colour != QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF))
          return false;
      }
      return true;
    };
    std::vector<testing::PaneLine> sent = run.ui.Pane();
    std::vector<PaneEntry> shown = PaneLines(window_->OutputPane());
    QVERIFY2(shown.size() > 100, qPrintable(QString::number(shown.size())));
    QVERIFY(same(shown, sent, 0));

    OutputPane* pane = window_->OutputPane();
    QItemSelectionModel* selection = pane->selectionModel();
    auto row = [&](int r) { return pane->model()->index(r, 0); };
    selection->select(QItemSelection(row(5), row(7)), QItemSelectionModel::Select);
    selection->select(row(2), QItemSelectionModel::Select);
    selection->setCurrentIndex(row(2), QItemSelectionModel::NoUpdate);
    QTest::keyClick(pane, Qt::Key_C, Qt::ControlModifier);
    QStringList picked{shown[2].text, shown[5].text, shown[6].text, shown[7].text};
    QCOMPARE(QGuiApplication::clipboard()->text(), picked.join(QLatin1Char('\n')));
    QTest::keyClick(pane, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(pane, Qt::Key_C, Qt::ControlModifier);
    QStringList all;
    for (const PaneEntry& e : shown) all << e.text;
    QCOMPARE(QGuiApplication::clipboard()->text(), all.join(QLatin1Char('\n')));

    pane->Model()->SetLineLimit(50);
    run.ui.Clear();
    run.Run(kCmdSearchDates);
    RunFromWindow(kCmdSearchDates);
    sent = run.ui.Pane();
    QVERIFY(sent.size() > 50);
    QVERIFY(same(PaneLines(pane), sent, sent.size() - 50));
    // A later batch pushes the oldest lines out.
    ctx_->UI->AppendPane("tail 1", kRed);
    ctx_->UI->AppendPane(Ansi("末尾 2"), kBlack);
    Settle();
    sent.push_back({"tail 1", kRed});
    sent.push_back({Ansi("末尾 2"), kBlack});
    QVERIFY(same(PaneLines(pane), sent, sent.size() - 50));
    // Lines are not wrapped: the pane scrolls sideways to the end of the longest.
    std::string wide = "wide " + std::string(300, 'w') + Ansi("検索");
    ctx_->UI->AppendPane(wide, kBlack);
    Settle();
    int textWidth = QFontMetrics(pane->font()).horizontalAdvance(QString::fromStdString(platform::AnsiToUtf8(wide)));
    QVERIFY2(pane->horizontalScrollBar()->maximum() + pane->viewport()->width() >= textWidth,
             qPrintable(QStringLiteral("%1 + %2 < %3").arg(pane->horizontalScrollBar()->maximum()).arg(pane->viewport()->width()).arg(textWidth)));
    // While a command runs its lines are held back briefly, never until its end.
    struct Idle {
      HiveContext& ctx;
      ~Idle() { ctx.Busy.store(0); }
    } idle{*ctx_};
    ctx_->Busy.store(1);
    ctx_->UI->AppendPane("while busy", kBlack);
    QTRY_COMPARE(PaneLines(pane).back().text, QStringLiteral("while busy"));
  }

  // The context menu's "English" switches captions and status texts; the
  // report of a search keeps its bytes, and switching back restores both.
  void englishSettingChangesCaptionsAndStatusTexts() {
    std::string hive = SmallHive("english", true);
    QVERIFY(!hive.empty());
    ReadFile(hive);
    RunFromWindow(kCmdSearchDates);
    std::string report = (dir_ / "out" / ReportFileName(*ctx_)).string();
    std::vector<uint8_t> japaneseReport = testing::ReadBytes(report);

    QAction* setting = window_->findChild<QAction*>(QStringLiteral("languageSetting"));
    QVERIFY(setting != nullptr);
    QVERIFY(!setting->isChecked());
    auto* search = qobject_cast<QAbstractButton*>(window_->Control(kCmdSearchDates));
    QCOMPARE(search->text(), U("検索(日付有)"));
    setting->setChecked(true);
    QCOMPARE(search->text(), QStringLiteral("Search (dates)"));
    QCOMPARE(qobject_cast<QLabel*>(window_->Control(1088))->text(), QStringLiteral("Read file"));
    ReadFile(hive);
    QCOMPARE(window_->Status()->Message(), QStringLiteral("Read done FileSize=%1").arg(fs::file_size(hive)));
    RunFromWindow(kCmdSearchDates);
    QCOMPARE(window_->Status()->Message(), QStringLiteral("Search (dates) done"));
    std::vector<PaneEntry> lines = PaneLines(window_->OutputPane());
    QVERIFY(!lines.empty());
    QVERIFY2(lines.front().text.startsWith(U("[検索(日付有)開始] ")), qPrintable(lines.front().text));
    std::vector<uint8_t> englishReport = testing::ReadBytes(report);
    // Only the clock of the opening and closing lines may differ.
    QCOMPARE(englishReport.size(), japaneseReport.size());
    size_t differing = 0;
    for (size_t i = 0; i < englishReport.size(); ++i) differing += englishReport[i] != japaneseReport[i];
    QVERIFY(differing <= 2 * 19);

    setting->setChecked(false);
    QCOMPARE(search->text(), U("検索(日付有)"));
    RunFromWindow(kCmdSearchDates);
    QCOMPARE(window_->Status()->Message(), U("検索(日付有)完了"));
  }

  void searchOfASharedHiveRendered() {
    if (testing::SharedHivesFolder().empty()) QSKIP(testing::NoSharedHivesNote().c_str());
    // SECURITY: a small hive whose sequence numbers differ, so the first
    // screen holds a red line among the green headings.
    testing::SharedHive security{"SECURITY", testing::SharedHivesFolder() + "/SECURITY.xz", false};
    std::string error;
    std::string path = testing::DecompressedPath(security, &error);
    QVERIFY2(!path.empty(), error.c_str());
    window_->resize(1280, 720);
    ReadFile(path);
    RunFromWindow(kCmdSearchDates);
    QVERIFY(window_->Status()->Message().startsWith(U("検索(日付有)完了")));
    std::vector<PaneEntry> lines = PaneLines(window_->OutputPane());
    QVERIFY(lines.size() > 20);
    int firstRed = -1;
    for (int i = 0; i < static_cast<int>(lines.size()) && firstRed < 0; ++i)
      if (lines[i].colour == QColor(255, 0, 0)) firstRed = i;
    QVERIFY2(firstRed >= 0 && firstRed < 20, "a red line on the first screen");
    QVERIFY(lines[firstRed].text.startsWith(QStringLiteral("regfSequence Error=")));
    QVERIFY(window_->Status()->PartIsRed(1));
    window_->OutputPane()->verticalScrollBar()->setValue(0);
    QString png = QStringLiteral(QUELBRIX_UI_RENDERS "/main_window_search.png");
    QVERIFY(window_->grab().save(png));
    QVERIFY(QImage(png).width() == 1280);
  }

  void recentFilesMostRecentFirst() {
    std::string a = SmallHive("a", false), b = SmallHive("b", false);
    ReadFile(a);
    ReadFile(b);
    ReadFile(a);
    auto* box = qobject_cast<RecentFileBox*>(window_->Control(1136));
    QCOMPARE(box->count(), 2);
    QCOMPARE(box->itemText(0), QString::fromStdString(a));
    QCOMPARE(box->itemText(1), QString::fromStdString(b));
    // The same path in other letters is the same entry.
    box->AddRecent(QString::fromStdString(b).toUpper());
    QCOMPARE(box->count(), 2);
    QCOMPARE(box->itemText(0), QString::fromStdString(b).toUpper());

    // Choosing an entry reads it.
    box->AddRecent(QString::fromStdString(b));
    window_->RecentFileChosen(1136, 1);
    Settle();
    QCOMPARE(ctx_->CurrentFile, a);
    QCOMPARE(box->itemText(0), QString::fromStdString(a));
    // Not while a command runs.
    ctx_->Busy.store(1);
    window_->RecentFileChosen(1136, 1);
    QCOMPARE(ctx_->InputPath, a);
    ctx_->Busy.store(0);
  }

  void droppedFiles() {
    std::string first = SmallHive("first", false), second = SmallHive("second", false);
    QWidget* loadBox = window_->Control(1143);
    QPoint onLoadBox = loadBox->mapToGlobal(QPoint(5, 5));
    QPoint onPane = window_->OutputPane()->mapToGlobal(QPoint(20, 20));

    // On the load-file box, with no hive loaded: Hive load of the first file.
    window_->DropFiles({first, second}, onLoadBox);
    QCOMPARE(ctx_->CommandId, int{kCmdHiveLoad});
    Settle();
    QCOMPARE(ctx_->InputPath, first);
    QVERIFY(window_->Status()->Message().startsWith(U("ハイブロード")));

    // Anywhere else: Read of the first file only.
    window_->DropFiles({second, first}, onPane);
    Settle();
    QCOMPARE(ctx_->CommandId, int{kCmdRead});
    QCOMPARE(ctx_->CurrentFile, second);

    // A file that is no hive starts nothing and says why.
    std::string text = (dir_ / "text").string();
    FILE* f = std::fopen(text.c_str(), "wb");
    std::fputs("not a hive", f);
    std::fclose(f);
    ctx_->CommandId = 0;
    window_->DropFiles({text}, onPane);
    QCOMPARE(window_->Status()->Message(), QStringLiteral("FileSize Error"));
    QCOMPARE(ctx_->CommandId, 0);

    // With a hive loaded the load-file box takes no drop; while busy nothing does.
    ctx_->SetDone(kHiveLoaded, true);
    window_->DropFiles({first}, onLoadBox);
    QCOMPARE(ctx_->CommandId, 0);
    ctx_->SetDone(kHiveLoaded, false);
    ctx_->Busy.store(1);
    window_->Status()->SetMessage(QStringLiteral("unchanged"));
    window_->DropFiles({text}, onPane);
    QCOMPARE(window_->Status()->Message(), QStringLiteral("unchanged"));
    ctx_->Busy.store(0);
  }

  void hiveCommandsNeedRegfInMemory() {
    ReadFile(SmallHive("regf", false));
    ctx_->Image[0] = 'X';
    ctx_->CommandId = 0;
    window_->Command(kCmdRepair);
    QCOMPARE(window_->Status()->Message(), QStringLiteral("regf Signature Error"));
    QVERIFY(!window_->Busy());
    QCOMPARE(ctx_->CommandId, 0);
  }

  void cancelledOpenDialogStartsNothing() {
    chosen_.clear();
    window_->Status()->SetMessage(QStringLiteral("before"));
    window_->Command(kCmdRead);
    QVERIFY(!window_->Busy());
    QCOMPARE(window_->Status()->Message(), QStringLiteral("before"));
  }

  void folderButtons() {
    window_->Command(kCmdOpenInputFolder);
    QVERIFY(opened_.empty());
    window_->Command(kCmdOpenOutputFolder);
    QCOMPARE(opened_, std::vector<QString>{QString::fromStdString((dir_ / "out").string())});
    ReadFile(SmallHive("where", false));
    window_->Command(kCmdOpenInputFolder);
    QCOMPARE(opened_.back(), QString::fromStdString(dir_.string()));
    window_->Command(kCmdOpenLoadFolder);
    QCOMPARE(opened_.size(), size_t{2});
  }

  void versionBox() {
    QString title, text;
    QTimer::singleShot(0, this, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (box == nullptr) return;
      title = box->windowTitle();
      text = box->text();
      box->accept();
    });
    window_->Command(kCmdVersion);
    QCOMPARE(title, U("Version情報"));
    QCOMPARE(text, U("クエルブリクス\nVer 2,1,2012,1002\nRelease"));
  }

  void abortAndCloseWhileACommandRuns() {
    window_->Command(kCmdAbort);
    QCOMPARE(ctx_->AbortRequested.load(), uint8_t{1});
    ctx_->AbortRequested.store(0);

    ReadFile(SmallHive("kept", false));
    QVERIFY(ctx_->Image != nullptr);
    // A command that has not ended keeps the window and the image.
    ctx_->Busy.store(1);
    window_->close();
    QCoreApplication::processEvents();
    QVERIFY(window_->isVisible());
    QCOMPARE(ctx_->AbortRequested.load(), uint8_t{1});
    QVERIFY(ctx_->Image != nullptr);
    // Its end (the last calls of the worker) closes the window and frees the image.
    ctx_->Busy.store(0);
    ctx_->AbortRequested.store(0);
    ctx_->UI->RepaintDoneFlags();
    QTRY_VERIFY(!window_->isVisible());
    QVERIFY(ctx_->Image == nullptr);
  }

  void exitClosesAndFreesTheImage() {
    ReadFile(SmallHive("exit", false));
    window_->Command(kCmdExit);
    QVERIFY(!window_->isVisible());
    QVERIFY(ctx_->Image == nullptr);
  }

  void callsFromAnotherThreadArriveInOrder() {
    // More lines than the queue holds: the caller waits for the window, and
    // the caption is answered while lines are pending.
    constexpr int kLines = 3 * static_cast<int>(QtFrontend::kQueueLimit) + 17;
    std::string caption;
    std::atomic<bool> done{false};
    std::thread worker([&] {
      ctx_->UI->ClearPane();
      for (int i = 0; i < kLines; ++i) ctx_->UI->AppendPane("line " + std::to_string(i), i % 3 == 0 ? kRed : kBlack);
      caption = ctx_->UI->ControlCaption(kCmdRepair);
      ctx_->UI->SetStatusText(0, Ansi("修正完了"));
      done = true;
    });
    QTRY_VERIFY_WITH_TIMEOUT(done.load(), 60000);
    worker.join();
    window_->WaitForWorker();
    QCOMPARE(caption, std::string("修正"));
    std::vector<PaneEntry> lines = PaneLines(window_->OutputPane());
    QCOMPARE(lines.size(), size_t{kLines});
    for (int i : {0, 1, kLines / 2, kLines - 1}) {
      QCOMPARE(lines[i].text, QStringLiteral("line %1").arg(i));
      QCOMPARE(lines[i].colour, i % 3 == 0 ? QColor(255, 0, 0) : QColor(0, 0, 0));
    }
    QCOMPARE(window_->Status()->Message(), U("修正完了"));
  }

  // While a step runs its share leads the message, as on the terminal; the
  // text that ends the step has none.
  void progressShareLeadsTheMessage() {
    // Texts sent before the window takes any: the last one, with its share.
    ctx_->UI->ShowProgress(12, 100);
    ctx_->UI->ShowStatus(0, Ansi("検索(日付有) ROOT\\Earlier\\Key"), "検索(日付有)", Ansi(" ROOT\\Earlier\\Key"));
    ctx_->UI->ShowProgress(59, 100);
    ctx_->UI->ShowStatus(0, Ansi("検索(日付有) ROOT\\Key"), "検索(日付有)", Ansi(" ROOT\\Key"));
    Settle();
    QCOMPARE(window_->Status()->Message(), U("59% 検索(日付有) ROOT\\Key"));
    ctx_->UI->ShowProgress(0, 0);
    ctx_->UI->ShowStatus(0, Ansi("検索(日付有)完了"), "検索(日付有)完了", "");
    Settle();
    QCOMPARE(window_->Status()->Message(), U("検索(日付有)完了"));
  }

  void statusTextsOfAScanDoNotPileUp() {
    // A scan sends a text per key: while the window is busy only the latest
    // of each part waits, the pane lines keep their order, and a layout
    // change keeps the texts before it apart from those after it.
    constexpr int kKeys = 80000;
    auto* frontend = dynamic_cast<QtFrontend*>(ctx_->UI);
    QVERIFY(frontend != nullptr);
    static_assert(kKeys / 4 > 2 * QtFrontend::kApplyLimit && kKeys / 4 + 6 < QtFrontend::kQueueLimit);
    QTest::qWait(2 * QtFrontend::kDrainInterval.count());  // the first batch is taken at once
    std::atomic<bool> done{false};
    std::thread worker([&] {
      ctx_->UI->SetStatusLayout(StatusLayout::kBusy);
      for (int i = 0; i < kKeys; ++i) {
        ctx_->UI->SetStatusText(0, Ansi("検索(日付有) Key") + std::to_string(i));
        ctx_->UI->SetStatusText(1, "thread=" + std::to_string(i % 7));
        if (i % 4 == 0) ctx_->UI->AppendPane("line " + std::to_string(i / 4), i % 8 == 0 ? kRed : kBlack);
      }
      ctx_->UI->SetStatusLayout(StatusLayout::kIdle);
      ctx_->UI->SetStatusText(8, "thread=0");
      ctx_->UI->SetStatusText(0, Ansi("検索(日付有)完了"));
      done = true;
    });
    // This thread runs no events meanwhile, so nothing is shown yet.
    for (int waited = 0; !done.load() && waited < 20000; waited += 10)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    bool alone = done.load();
    size_t pending = frontend->Pending();
    QTRY_VERIFY_WITH_TIMEOUT(done.load(), 60000);  // a worker waiting for the window goes on now
    worker.join();
    QVERIFY2(alone, "the worker had to wait for the window: its texts filled the queue");
    // The pane lines, both layouts, the two busy texts and the two idle ones.
    QCOMPARE(pending, size_t{kKeys / 4 + 6});

    // The window is still answering between slices of the queue.
    bool served = false;
    QTimer::singleShot(0, this, [&] { served = frontend->Pending() > 0; });
    QTRY_COMPARE(frontend->Pending(), size_t{0});
    QVERIFY2(served, "the window ran its own events before the queue was empty");

    QCOMPARE(window_->Status()->Layout(), StatusLayout::kIdle);
    QCOMPARE(window_->Status()->Message(), U("検索(日付有)完了"));
    QCOMPARE(window_->Status()->PartText(8), QStringLiteral("thread=0"));
    std::vector<PaneEntry> lines = PaneLines(window_->OutputPane());
    QCOMPARE(lines.size(), size_t{kKeys / 4});
    for (int i : {0, 1, 2, kKeys / 8 + 1, kKeys / 4 - 1}) {
      QCOMPARE(lines[i].text, QStringLiteral("line %1").arg(i));
      QCOMPARE(lines[i].colour, i % 2 == 0 ? QColor(255, 0, 0) : QColor(0, 0, 0));
    }
  }
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
