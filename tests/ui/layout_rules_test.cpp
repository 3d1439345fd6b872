// The window's arithmetic and rules, without widgets: LayoutRow widths and
// heights, the bands of the four rows, the status bar's part edges, the
// cutting and refusal of status texts, UpdateButtonStates, the command
// preconditions, the drop target, the Reg save choice and CheckHiveFile.
#include <QtTest>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "app/context.h"
#include "app/startup.h"
#include "platform/text.h"
#include "ui/button_states.h"
#include "ui/command_rules.h"
#include "ui/control_table.h"
#include "ui/layout.h"
#include "ui/status_texts.h"

using namespace quelbrix;
using namespace quelbrix::ui;

namespace {

std::string Ansi932(const char* utf8) { return platform::Utf8ToAnsi(utf8); }

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  QVERIFY(f != nullptr);
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}

}  // namespace

class LayoutRulesTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { QVERIFY(platform::SetAnsiCodePage(932)); }

  void readFileRowAtWidth1000() {
    std::vector<ControlRect> r = LayoutRow(ReadFileRowTable(), 1000, 0, 26);
    QCOMPARE(r.size(), size_t{4});
    QCOMPARE(r[0].Width, 107);
    QCOMPARE(r[1].Width, 750);
    QCOMPARE(r[2].Width, 71);
    QCOMPARE(r[3].Width, 71);
    QCOMPARE(r[1].X, 107);
    QCOMPARE(r[3].X, 928);  // the row ends short of the right edge: 999 of 1000
    QCOMPARE(r[0].Height, 26);
    QCOMPARE(r[2].Height, 26);
    QCOMPARE(r[1].Height, 156);  // the combo box: six rows for its list
  }

  void buttonRowAtWidth1000() {
    std::vector<ControlRect> r = LayoutRow(ButtonRowTable(), 1000, 300, 326);
    QCOMPARE(r.size(), size_t{14});
    for (size_t i = 0; i < r.size(); ++i) {
      QCOMPARE(r[i].Width, 71);
      QCOMPARE(r[i].X, static_cast<int>(71 * i));
      QCOMPARE(r[i].Y, 300);
      QCOMPARE(r[i].Height, 26);
    }
  }

  void comboHeightFollowsTheRow() {
    QCOMPARE(LayoutRow(LoadFileRowTable(), 640, 26, 52)[1].Height, 156);
    QCOMPARE(LayoutRow(LoadFileRowTable(), 640, 26, 36)[1].Height, 60);
    QCOMPARE(LayoutRow(OutputRowTable(), 640, 52, 400)[0].Height, 348);
    QCOMPARE(LayoutRow(OutputRowTable(), 640, 52, 400)[0].Width, 640);
  }

  // FitRow over many rows, widths and captions: the row never grows, stays
  // contiguous, keeps the weights when every caption fits, and gives each
  // caption its width whenever the row has that much room to spare.
  void fitRowInvariants() {
    uint32_t seed = 12345;
    auto next = [&seed](int limit) {
      seed = seed * 1103515245u + 12345u;
      return static_cast<int>((seed >> 8) % static_cast<uint32_t>(limit));
    };
    int widened = 0, short_ = 0;
    for (auto table : {ReadFileRowTable(), ButtonRowTable()}) {
      for (int round = 0; round < 400; ++round) {
        int width = 300 + next(1500);
        std::vector<ControlRect> plain = LayoutRow(table, width, 10, 36);
        std::vector<int> needed;
        int64_t lacking = 0, spare = 0;
        for (const ControlRect& r : plain) {
          needed.push_back(next(3) == 0 ? 0 : next(160));
          int64_t gap = needed.back() - r.Width;
          (gap > 0 ? lacking : spare) += gap > 0 ? gap : -gap;
        }
        std::vector<ControlRect> fitted = FitRow(table, needed, width, 10, 36);
        QCOMPARE(fitted.size(), plain.size());
        int x = 0;
        for (size_t i = 0; i < fitted.size(); ++i) {
          QCOMPARE(fitted[i].X, x);
          QCOMPARE(fitted[i].Y, 10);
          QCOMPARE(fitted[i].Height, plain[i].Height);
          QVERIFY(fitted[i].Width >= 0);
          x += fitted[i].Width;
          if (lacking <= spare) QVERIFY2(fitted[i].Width >= needed[i], qPrintable(QString::number(round)));
          if (lacking == 0) QCOMPARE(fitted[i].Width, plain[i].Width);
          // A control is only ever widened up to its need, or narrowed to it.
          if (needed[i] > plain[i].Width) QVERIFY(fitted[i].Width >= plain[i].Width && fitted[i].Width <= needed[i]);
          else QVERIFY(fitted[i].Width >= needed[i] && fitted[i].Width <= plain[i].Width);
        }
        QVERIFY(x <= plain.back().X + plain.back().Width);
        widened += lacking > 0 && lacking <= spare;
        short_ += lacking > spare;
      }
    }
    // Both regimes were met.
    QVERIFY(widened > 50 && short_ > 50);
    // The read row at 1000 pixels: the box gives the folder buttons their 90.
    std::vector<ControlRect> r = FitRow(ReadFileRowTable(), std::vector<int>{0, 0, 90, 90}, 1000, 0, 26);
    QCOMPARE(r[2].Width, 90);
    QCOMPARE(r[3].Width, 90);
    // Rounding up what each gives loses at most a pixel per control.
    QVERIFY(r[0].Width + r[1].Width >= 1000 - 1 - 180 - 2);
  }

  void defaultWindowSize() {
    ControlRect laptop = DefaultWindowSize(1280, 800);
    QCOMPARE(laptop.Width, 1152);
    QCOMPARE(laptop.Height, 720);
    ControlRect large = DefaultWindowSize(2560, 1440);
    QCOMPARE(large.Width, 1400);
    QCOMPARE(large.Height, 760);
  }

  void regSaveRows() {
    std::vector<ControlRect> r1 = LayoutRow(RegSaveRow1Table(), 401, 0, 26);
    for (const ControlRect& c : r1) QCOMPARE(c.Width, 100);
    std::vector<ControlRect> r2 = LayoutRow(RegSaveRow2Table(), 401, 26, 52);
    QCOMPARE(r2[0].Width, 200);
    QCOMPARE(r2[1].Width, 100);
    QCOMPARE(r2[2].X, 300);
    QCOMPARE(r2[2].Y, 26);
  }

  void rowBands() {
    RowBands b = MainRowBands(600, 24);
    QCOMPARE(b.OutputHeight, 600 - 24 - 78);
    QCOMPARE(b.LoadTop, 26);
    QCOMPARE(b.OutputTop, 52);
    QCOMPARE(b.ButtonTop, 52 + b.OutputHeight);
    QCOMPARE(b.ButtonBottom, 576);  // the button row ends where the status bar starts
    QCOMPARE(MinimumClientHeight(24), 128);
    QCOMPARE(MainRowBands(MinimumClientHeight(24), 24).OutputHeight, 26);
  }

  void captionsFitTheirRows() {
    for (auto table : {ReadFileRowTable(), LoadFileRowTable(), OutputRowTable(), ButtonRowTable(),
                       RegSaveRow1Table(), RegSaveRow2Table()}) {
      for (const ControlRow& row : table) {
        std::string ansi = Ansi932(row.Caption);
        QVERIFY2(ansi.size() < 32, row.Caption);
        QVERIFY2(ansi.find('?') == std::string::npos, row.Caption);  // representable in 932
      }
    }
  }

  void statusEdgesIdleAndBusy() {
    QCOMPARE(StatusPartEdges(StatusLayout::kIdle, 1000),
             (std::vector<int>{580, 630, 680, 730, 780, 830, 880, 930, 1000}));
    QCOMPARE(StatusPartEdges(StatusLayout::kBusy, 1000), (std::vector<int>{920, 1000}));
    QCOMPARE(StatusPartCount(StatusLayout::kIdle), 9);
    QCOMPARE(StatusPartCount(StatusLayout::kBusy), 2);
    // A bar narrower than the flag parts squeezes the leftmost ones to nothing.
    QCOMPARE(StatusPartEdges(StatusLayout::kIdle, 300),
             (std::vector<int>{0, 0, 0, 30, 80, 130, 180, 230, 300}));
    QCOMPARE(StatusPartEdges(StatusLayout::kBusy, 50), (std::vector<int>{0, 50}));
  }

  void statusTextsStartAsLabels() {
    StatusPartTexts t;
    const char* labels[] = {"", "read", "repair", "defrag", "write", "load", "delete", "rebuild", ""};
    for (int part = 0; part < 9; ++part) QCOMPARE(t.Text(StatusLayout::kIdle, part), std::string(labels[part]));
    QCOMPARE(t.Text(StatusLayout::kBusy, 1), std::string());
  }

  void statusTextsAreCutToTheirRow() {
    StatusPartTexts t;
    QVERIFY(t.Set(StatusLayout::kIdle, 8, "thread=1"));
    QCOMPARE(t.Text(StatusLayout::kIdle, 8), std::string("thread=1"));
    QVERIFY(t.Set(StatusLayout::kIdle, 8, "thread=123456"));
    QCOMPARE(t.Text(StatusLayout::kIdle, 8), std::string("thread=12"));  // 9 bytes and the NUL
    // Four double-byte characters are 8 bytes; a fifth would split at byte 9.
    std::string five = Ansi932("読込完了中");
    QCOMPARE(five.size(), size_t{10});
    QVERIFY(t.Set(StatusLayout::kIdle, 1, five));
    QCOMPARE(t.Text(StatusLayout::kIdle, 1), Ansi932("読込完了"));
    std::string longText(300, 'x');
    QVERIFY(t.Set(StatusLayout::kBusy, 1, longText));
    QCOMPARE(t.Text(StatusLayout::kBusy, 1).size(), size_t{259});
    QCOMPARE(CutToRow("abc", 4), std::string("abc"));
    QCOMPARE(CutToRow("abcd", 4), std::string("abc"));
  }

  void statusPartsOutsideTheTablesAreRefused() {
    StatusPartTexts t;
    QVERIFY(!t.Set(StatusLayout::kBusy, 2, "thread=1"));
    QVERIFY(!t.Set(StatusLayout::kIdle, 9, "thread=1"));
    QVERIFY(!t.Set(StatusLayout::kIdle, -1, "x"));
    QVERIFY(!t.Set(StatusLayout::kBusy, -1, "x"));
    QVERIFY(t.Set(StatusLayout::kBusy, 1, "thread=1"));
    // The idle row 1 keeps its label: busy texts live in their own table.
    QCOMPARE(t.Text(StatusLayout::kIdle, 1), std::string("read"));
    QCOMPARE(t.Text(StatusLayout::kIdle, 8), std::string());
  }

  void buttonStatesWhileBusy() {
    HiveContext ctx;
    ctx.Busy.store(1);
    ctx.SetDone(kReadDone, true);
    ctx.CommandId = kCmdRead;
    ButtonStates st = ComputeButtonStates(ctx);
    for (int id : {1136, 1143, 1024, 1025, 1026, 1027, 1028, 1029, 1030, 1031, 1032, 1033, 1034})
      QCOMPARE(st.Of(id), std::optional<bool>(false));
    // Read runs without Abort; the folder, editor, Exit and Version buttons keep their state.
    QCOMPARE(st.Of(kCmdAbort), std::nullopt);
    for (int id : {1036, 1037, 1038, 1039, 2, 9}) QCOMPARE(st.Of(id), std::nullopt);
    for (int id : {1025, 1026, 1027, 1028, 1032, 1033}) {
      ctx.CommandId = id;
      QCOMPARE(ComputeButtonStates(ctx).Of(kCmdAbort), std::optional<bool>(true));
    }
    for (int id : {1024, 1029, 1030, 1031, 1034}) {
      ctx.CommandId = id;
      QCOMPARE(ComputeButtonStates(ctx).Of(kCmdAbort), std::nullopt);
    }
  }

  void buttonStatesIdleBeforeAnyRead() {
    HiveContext ctx;
    ButtonStates st = ComputeButtonStates(ctx);
    for (int id : {1025, 1026, 1027, 1028, 1029, 1032, 1033, 1034, 1036, 1038, 3})
      QCOMPARE(st.Of(id), std::optional<bool>(false));
    for (int id : {1136, 1143, 1024, 1030, 1031, 1039}) QCOMPARE(st.Of(id), std::optional<bool>(true));
    // 1037, Exit and Version are never touched, so never disabled.
    for (int id : {1037, 2, 9}) QCOMPARE(st.Of(id), std::nullopt);
  }

  void buttonStatesIdleAfterReadOfVersion12() {
    HiveContext ctx;
    ctx.SetDone(kReadDone, true);
    ctx.HiveMajorVersion = 1;
    ctx.HiveMinorVersion = 2;
    ctx.CurrentFile = "/h/SYSTEM";
    ButtonStates st = ComputeButtonStates(ctx);
    for (int id : {1025, 1026, 1027, 1029, 1036}) QCOMPARE(st.Of(id), std::optional<bool>(true));
    QCOMPARE(st.Of(kCmdDefrag), std::optional<bool>(false));
    ctx.HiveMinorVersion = 3;
    QCOMPARE(ComputeButtonStates(ctx).Of(kCmdDefrag), std::optional<bool>(true));
    ctx.HiveMajorVersion = 0;
    ctx.HiveMinorVersion = 9;
    QCOMPARE(ComputeButtonStates(ctx).Of(kCmdDefrag), std::optional<bool>(false));
    ctx.HiveMajorVersion = 2;
    ctx.HiveMinorVersion = 0;
    QCOMPARE(ComputeButtonStates(ctx).Of(kCmdDefrag), std::optional<bool>(true));
  }

  void buttonStatesIdleWithHiveLoaded() {
    HiveContext ctx;
    ctx.SetDone(kHiveLoaded, true);
    ctx.LoadedHivePath = "/m/hive";
    ButtonStates st = ComputeButtonStates(ctx);
    QCOMPARE(st.Of(1143), std::optional<bool>(false));
    QCOMPARE(st.Of(1031), std::optional<bool>(false));
    QCOMPARE(st.Of(1032), std::optional<bool>(true));
    QCOMPARE(st.Of(1034), std::optional<bool>(true));
    QCOMPARE(st.Of(1033), std::optional<bool>(false));  // nothing read yet
    QCOMPARE(st.Of(1038), std::optional<bool>(true));
    ctx.SetDone(kReadDone, true);
    QCOMPARE(ComputeButtonStates(ctx).Of(1033), std::optional<bool>(true));
    // An old system disables only the editor button and leaves the live controls.
    ctx.OsMajorVersion = 4;
    st = ComputeButtonStates(ctx);
    QCOMPARE(st.Of(1039), std::optional<bool>(false));
    for (int id : {1143, 1031, 1032, 1034, 1033, 1030}) QCOMPARE(st.Of(id), std::nullopt);
  }

  void commandPreconditions() {
    HiveContext ctx;
    QVERIFY(CommandAllowed(kCmdRead, ctx));
    QVERIFY(!CommandAllowed(kCmdSearchDates, ctx));
    QVERIFY(!CommandAllowed(kCmdDeleteSubkeys, ctx));
    QVERIFY(!CommandAllowed(kCmdOpenInputFolder, ctx));
    QVERIFY(CommandAllowed(kCmdOpenOutputFolder, ctx));
    QVERIFY(CommandAllowed(kCtlLoadFileCombo, ctx));
    ctx.SetDone(kReadDone, true);
    ctx.SetDone(kHiveLoaded, true);
    QVERIFY(CommandAllowed(kCmdRebuild, ctx));
    QVERIFY(!CommandAllowed(kCmdHiveLoad, ctx));
    QVERIFY(!CommandAllowed(kCtlLoadFileCombo, ctx));
    ctx.Busy.store(1);
    // No second worker from any path while one runs.
    for (int id : {1024, 1025, 1029, 1030, 1032, 1033, 1034, 1136, 1143}) QVERIFY(!CommandAllowed(id, ctx));
    for (int id : {3, 2, 9, 1037, 1039}) QVERIFY(CommandAllowed(id, ctx));
    QVERIFY(!CommandAllowed(4711, ctx));
  }

  void dropTarget() {
    HiveContext ctx;
    QCOMPARE(DropTarget(ctx, true, true), DropAction::kHiveLoad);
    QCOMPARE(DropTarget(ctx, true, false), DropAction::kRead);
    QCOMPARE(DropTarget(ctx, false, false), DropAction::kNone);
    ctx.SetDone(kHiveLoaded, true);
    QCOMPARE(DropTarget(ctx, true, true), DropAction::kNone);
    QCOMPARE(DropTarget(ctx, true, false), DropAction::kRead);
    ctx.Busy.store(1);
    QCOMPARE(DropTarget(ctx, true, false), DropAction::kNone);
  }

  void regSaveChoice() {
    QCOMPARE(ChosenHiveButton(true, false, false, false), kIdRadioSystem);
    QCOMPARE(ChosenHiveButton(false, false, false, false), kIdRadioSystem);
    QCOMPARE(ChosenHiveButton(false, true, false, false), kIdRadioSoftware);
    QCOMPARE(ChosenHiveButton(false, false, true, false), kIdRadioSam);
    // The first checked of SECURITY, SAM, SOFTWARE wins.
    QCOMPARE(ChosenHiveButton(true, true, true, true), kIdRadioSecurity);
    QCOMPARE(ChosenHiveButton(false, true, true, false), kIdRadioSam);
  }

  void foldersToOpen() {
    HiveContext ctx;
    ctx.OutputFolder = "/out";
    QCOMPARE(FolderToOpen(kCmdOpenInputFolder, ctx), std::string());
    QCOMPARE(FolderToOpen(kCmdOpenOutputFolder, ctx), std::string("/out"));
    ctx.CurrentFile = "/h/SYSTEM";
    ctx.LoadedHivePath = "/m/x/hive";
    QCOMPARE(FolderToOpen(kCmdOpenInputFolder, ctx), std::string("/h"));
    QCOMPARE(FolderToOpen(kCmdOpenLoadFolder, ctx), std::string("/m/x"));
  }

  void centring() {
    ControlRect at = CenteredOn({0, 0, 800, 600}, 400, 80);
    QCOMPARE(at.X, 200);
    QCOMPARE(at.Y, 260);
    at = CenteredOn({1920, 0, 1280, 1024}, 300, 100);
    QCOMPARE(at.X, 1920 + 490);
  }

  void checkHiveFile() {
    namespace fs = std::filesystem;
    fs::path dir = fs::path(QDir::tempPath().toStdString()) / ("quelbrix_ui_check_" + std::to_string(getpid()));
    fs::create_directories(dir);
    std::vector<uint8_t> hive(4096, 0);
    hive[0] = 'r', hive[1] = 'e', hive[2] = 'g', hive[3] = 'f';
    WriteFile((dir / "ok").string(), hive);
    std::vector<uint8_t> shortFile(hive.begin(), hive.end() - 1);
    WriteFile((dir / "short").string(), shortFile);
    std::vector<uint8_t> other(4096, 'x');
    WriteFile((dir / "other").string(), other);
    QCOMPARE(CheckHiveFile((dir / "ok").string()), std::string());
    QCOMPARE(CheckHiveFile((dir / "short").string()), std::string("FileSize Error"));
    QCOMPARE(CheckHiveFile((dir / "other").string()), std::string("regf Signature Error"));
    QCOMPARE(CheckHiveFile(dir.string()), std::string("FileSize Error"));
    QCOMPARE(CheckHiveFile((dir / "missing").string()), std::string("FileSize Error"));
    fs::remove_all(dir);
  }
};

QTEST_APPLESS_MAIN(LayoutRulesTest)
#include "layout_rules_test.moc"
