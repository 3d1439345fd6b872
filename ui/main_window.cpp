#include "ui/main_window.h"

#include <QAbstractButton>
#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QPainter>
#include <QScreen>
#include <QSignalBlocker>
#include <QThread>
#include <algorithm>
#include <QUrl>

#include "app/run_command.h"
#include "app/startup.h"
#include "live/live_commands.h"
#include "platform/text.h"
#include "registry/hive_reader.h"
#include "ui/command_rules.h"
#include "ui/layout.h"
#include "ui/reg_save_dialog.h"
#include "ui/registry_browser.h"
#include "ui/status_bar.h"

namespace quelbrix::ui {
namespace {

// The pane keeps the latest lines of a very large report; the report file
// keeps them all.
constexpr int kPaneLineLimit = 1000000;

QString FromPathBytes(const std::string& path) { return QFile::decodeName(QByteArray::fromStdString(path)); }
std::string ToPathBytes(const QString& path) { return QFile::encodeName(path).toStdString(); }

bool DefaultChooser(QWidget* owner, const QString& title, std::string& path) {
  // The filter keeps every file: hive files seldom have an extension.
  QString chosen = QFileDialog::getOpenFileName(owner, title, FromPathBytes(path),
                                                QStringLiteral("all file(*.*) (*)"));
  if (chosen.isEmpty()) return false;
  path = ToPathBytes(chosen);
  return true;
}

}  // namespace

QFont MakeFixedFont() {
  QFont font;
  font.setFamilies({QStringLiteral("ＭＳ ゴシック"), QStringLiteral("MS Gothic"), QStringLiteral("IPAGothic"),
                    QStringLiteral("IPAゴシック"), QStringLiteral("Noto Sans Mono CJK JP"),
                    QStringLiteral("VL Gothic"), QStringLiteral("monospace")});
  font.setStyleHint(QFont::TypeWriter);
  font.setFixedPitch(true);
  font.setPixelSize(15);
  return font;
}

QIcon ProgramIcon() {
  QPixmap pixmap(32, 32);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.setBrush(QColor(0x20, 0x50, 0x90));
  p.setPen(Qt::NoPen);
  p.drawRoundedRect(QRectF(1, 1, 30, 30), 6, 6);
  p.setPen(Qt::white);
  QFont f;
  f.setBold(true);
  f.setPixelSize(22);
  p.setFont(f);
  p.drawText(QRect(0, 0, 32, 32), Qt::AlignCenter, QStringLiteral("Q"));
  return QIcon(pixmap);
}

MainWindow::MainWindow(HiveContext& ctx, QWidget* parent)
    : QWidget(parent), ctx_(ctx), frontend_(std::make_unique<QtFrontend>(*this, ctx)) {
  ChooseHiveFile = [this](const QString& title, std::string& path) { return DefaultChooser(this, title, path); };
  OpenFolder = [](const QString& folder) { QDesktopServices::openUrl(QUrl::fromLocalFile(folder)); };

  setWindowTitle(QStringLiteral("Quelbrix"));
  setWindowIcon(ProgramIcon());
  setAcceptDrops(true);
  fixedFont_ = MakeFixedFont();

  menuBar_ = new QMenuBar(this);
  // In the window, not in a desktop's global menu: the rows start below it.
  menuBar_->setNativeMenuBar(false);
  client_ = new QWidget(this);
  // Made after the client area, so it lies on top of the area's last pixels.
  status_ = new StatusBar(this);
  statusHeight_ = status_->sizeHint().height();
  LayoutAll();
  AddLogSetting();
  AddLanguageSetting();
  AddDeletedAction();
  AddMenus();
  setMinimumSize(0, menuBar_->sizeHint().height() + MinimumClientHeight(statusHeight_));

  ControlRect size{0, 0, 1400, 760};
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    QRect avail = screen->availableGeometry();
    size = DefaultWindowSize(avail.width(), avail.height());
  }
  resize(QSize(size.Width, size.Height).expandedTo(minimumSize()));
  LayoutAll();

  pane_ = static_cast<quelbrix::ui::OutputPane*>(controls_[kIdOutputPane]);
  pane_->Model()->SetLineLimit(kPaneLineLimit);
  for (int id : {kCtlReadFileCombo, kCtlLoadFileCombo}) {
    connect(Box(id), &QComboBox::activated, this, [this, id](int index) { RecentFileChosen(id, index); });
  }
  for (auto& [id, w] : controls_) {
    if (auto* button = qobject_cast<QAbstractButton*>(w)) {
      int commandId = id;
      connect(button, &QAbstractButton::clicked, this, [this, commandId] { Command(commandId); });
    }
  }

  ctx_.UI = frontend_.get();
  // A hive left mounted by an earlier run is still mounted.
  if (RebuildMounted(ctx_)) ctx_.SetDone(kHiveLoaded, true);
  ApplyButtonStates(ComputeButtonStates(ctx_));
  std::array<uint8_t, 8> flags{};
  for (size_t i = 0; i < flags.size(); ++i) flags[i] = ctx_.DoneFlags[i];
  status_->SetDoneFlags(flags);
  pane_->setFocus();
}

// The window's context menu holds the one setting without a button: whether
// Read applies the transaction logs beside a dirty hive.  It changes only
// between commands, never under a running Read.
void MainWindow::AddDeletedAction() {
  auto* action = new QAction(QStringLiteral("Deleted keys and values..."), this);
  action->setObjectName(QStringLiteral("deletedAction"));
  connect(action, &QAction::triggered, this, [this] { OpenDeletedView(); });
  addAction(action);
}

void MainWindow::AddLogSetting() {
  logSetting_ = new QAction(QStringLiteral("Apply transaction logs (HIVE.LOG, .LOG1, .LOG2) on Read"), this);
  logSetting_->setCheckable(true);
  logSetting_->setChecked(!ctx_.NoLogs);
  connect(logSetting_, &QAction::toggled, this, [this](bool on) {
    if (Busy()) {
      QSignalBlocker block(logSetting_);
      logSetting_->setChecked(!on);
      return;
    }
    ctx_.NoLogs = !on;
    registry::SetApplyTransactionLogs(on);
  });
  addAction(logSetting_);
  setContextMenuPolicy(Qt::ActionsContextMenu);
}

// The other setting of the context menu: English captions and status texts.
// Japanese is the default whatever LANG says: they are the program's own.
void MainWindow::AddLanguageSetting() {
  languageSetting_ = new QAction(QStringLiteral("English"), this);
  languageSetting_->setObjectName(QStringLiteral("languageSetting"));
  languageSetting_->setCheckable(true);
  languageSetting_->setChecked(CurrentLanguage() == Language::kEnglish);
  connect(languageSetting_, &QAction::toggled, this, [this](bool on) {
    if (!SetLanguage(on ? Language::kEnglish : Language::kJapanese)) {
      QSignalBlocker block(languageSetting_);
      languageSetting_->setChecked(!on);
    }
  });
  addAction(languageSetting_);
}

bool MainWindow::SetLanguage(Language language) {
  // A running command names itself in the language it started with.
  if (Busy()) return false;
  bool english = language == Language::kEnglish;
  if (english && !translatorInstalled_) {
    if (translator_.isEmpty() && !translator_.load(QStringLiteral(":/i18n/quelbrix_en.qm"))) return false;
    translatorInstalled_ = QCoreApplication::installTranslator(&translator_);
  } else if (!english && translatorInstalled_) {
    QCoreApplication::removeTranslator(&translator_);
    translatorInstalled_ = false;
  }
  quelbrix::SetLanguage(language);
  for (auto table : {ReadFileRowTable(), LoadFileRowTable(), ButtonRowTable()}) RetranslateControls(table, controls_);
  RetranslateMenus();
  // Captions of the other language need other widths.
  LayoutAll();
  if (languageSetting_ != nullptr) {
    QSignalBlocker block(languageSetting_);
    languageSetting_->setChecked(english);
  }
  return true;
}

MainWindow::~MainWindow() {
  if (Busy()) ctx_.AbortRequested.store(1);
  WaitForWorker();
  frontend_->Detach();
  if (ctx_.UI == frontend_.get()) ctx_.UI = nullptr;
}

// The menu bar on top, the client area below it and the status bar over the
// client area's bottom, as the row bands expect.  LayoutControls creates what
// is missing and moves the rest, widening a control whose caption would be cut.
void MainWindow::LayoutAll() {
  int menuHeight = menuBar_->sizeHint().height();
  menuBar_->setGeometry(0, 0, width(), menuHeight);
  client_->setGeometry(0, menuHeight, width(), std::max(0, height() - menuHeight));
  RowBands b = MainRowBands(client_->height(), statusHeight_);
  LayoutControls(client_, ReadFileRowTable(), b.ReadTop, b.ReadBottom, controls_, fixedFont_, RowFit::kCaptions);
  LayoutControls(client_, LoadFileRowTable(), b.LoadTop, b.LoadBottom, controls_, fixedFont_, RowFit::kCaptions);
  LayoutControls(client_, OutputRowTable(), b.OutputTop, b.OutputBottom, controls_, fixedFont_);
  LayoutControls(client_, ButtonRowTable(), b.ButtonTop, b.ButtonBottom, controls_, fixedFont_, RowFit::kCaptions);
  status_->setGeometry(0, height() - statusHeight_, width(), statusHeight_);
}

namespace {

const ControlRow* RowOf(int id) {
  for (auto table : {ReadFileRowTable(), LoadFileRowTable(), ButtonRowTable()})
    for (const ControlRow& row : table)
      if (row.ControlId == id) return &row;
  return nullptr;
}

// The menus: each command under the caption of its button, so that both
// follow the language; 0 is a separator.  View holds the two settings of
// the context menu.
struct MenuPlan {
  const char* Title;
  std::vector<int> Ids;
};

const std::vector<MenuPlan>& MenuPlans() {
  static const std::vector<MenuPlan> plans = {
      {QT_TRANSLATE_NOOP("Menus", "ファイル(&F)"),
       {kCmdRead, 0, kCmdOpenInputFolder, kCmdOpenOutputFolder, kCmdOpenLoadFolder, kCmdOpenEditor, 0, kCmdExit}},
      {QT_TRANSLATE_NOOP("Menus", "コマンド(&C)"),
       {kCmdSearchDates, kCmdSearchNoDates, kCmdRepair, kCmdDefrag, kCmdWrite, 0, kCmdRegSave, kCmdHiveLoad,
        kCmdDeleteSubkeys, kCmdRebuild, kCmdHiveUnload, 0, kCmdAbort}},
      {QT_TRANSLATE_NOOP("Menus", "表示(&V)"), {}},
      {QT_TRANSLATE_NOOP("Menus", "ヘルプ(&H)"), {kCmdVersion}},
  };
  return plans;
}

// A command that asks for a file or opens a dialog first says so with "...".
QString MenuText(int id) {
  if (id == kCmdVersion) return QCoreApplication::translate("Menus", "バージョン情報(&A)...");
  const ControlRow* row = RowOf(id);
  QString text = row != nullptr ? TranslatedCaption(*row) : QString();
  if (id == kCmdRead || id == kCmdHiveLoad || id == kCmdRegSave) text += QStringLiteral("...");
  return text;
}

}  // namespace

void MainWindow::AddMenus() {
  for (const MenuPlan& plan : MenuPlans()) {
    QMenu* menu = menuBar_->addMenu(QCoreApplication::translate("Menus", plan.Title));
    menus_.push_back(menu);
    for (int id : plan.Ids) {
      if (id == 0) {
        menu->addSeparator();
        continue;
      }
      QAction* action = menu->addAction(MenuText(id));
      action->setObjectName(QStringLiteral("menu%1").arg(id));
      connect(action, &QAction::triggered, this, [this, id] { Command(id); });
      menuActions_[id] = action;
    }
  }
  menus_[2]->addAction(languageSetting_);
  menus_[2]->addAction(logSetting_);
  // What the free space of the read hive still holds: beside the commands.
  menus_[1]->addSeparator();
  for (QAction* action : actions())
    if (action->objectName() == QStringLiteral("deletedAction")) menus_[1]->addAction(action);
  ApplyButtonStates(ButtonStates());
}

void MainWindow::RetranslateMenus() {
  const std::vector<MenuPlan>& plans = MenuPlans();
  for (size_t i = 0; i < menus_.size() && i < plans.size(); ++i)
    menus_[i]->setTitle(QCoreApplication::translate("Menus", plans[i].Title));
  for (auto& [id, action] : menuActions_) action->setText(MenuText(id));
}

QAction* MainWindow::MenuAction(int id) const {
  auto it = menuActions_.find(id);
  return it == menuActions_.end() ? nullptr : it->second;
}

QWidget* MainWindow::Control(int id) const {
  auto it = controls_.find(id);
  return it == controls_.end() ? nullptr : it->second;
}

RecentFileBox* MainWindow::Box(int id) const { return qobject_cast<RecentFileBox*>(Control(id)); }

QString MainWindow::CaptionOf(int id) const {
  QWidget* w = Control(id);
  if (auto* button = qobject_cast<QAbstractButton*>(w)) return button->text();
  if (auto* label = qobject_cast<QLabel*>(w)) return label->text();
  return QString::fromStdString(ControlCaptionUtf8(id));
}

bool MainWindow::Busy() const { return ctx_.Busy.load() != 0; }

void MainWindow::WaitForWorker() {
  // The worker may wait for this thread (its caption, a full queue), so this
  // thread keeps serving it until the command has ended.
  while (Busy()) {
    QCoreApplication::sendPostedEvents(this);
    QThread::msleep(2);
  }
  worker_.Join();
  QCoreApplication::sendPostedEvents(this);
  // Whatever the worker sent last is shown now, not at the next interval.
  while (frontend_->Drain()) {
  }
}

void MainWindow::resizeEvent(QResizeEvent*) { LayoutAll(); }

void MainWindow::closeEvent(QCloseEvent* e) {
  if (Busy()) {
    // The worker still uses the image: stop it and close once it has ended.
    ctx_.AbortRequested.store(1);
    closePending_ = true;
    e->ignore();
    return;
  }
  worker_.Join();
  FreeImage(ctx_);
  if (ctx_.Done(kHiveLoaded) && UnloadHive(ctx_)) {
    ctx_.SetDone(kHiveLoaded, false);
    ctx_.SetDone(kDeleteDone, false);
    ctx_.SetDone(kRebuildDone, false);
    std::array<uint8_t, 8> flags{};
    for (size_t i = 0; i < flags.size(); ++i) flags[i] = ctx_.DoneFlags[i];
    status_->SetDoneFlags(flags);
  }
  if (browser_) browser_->close();
  e->accept();
}

bool MainWindow::StartCommandNow(int id) { return quelbrix::StartCommand(ctx_, id, worker_); }

bool MainWindow::CheckFile(const std::string& path) {
  std::string problem = CheckHiveFile(path);
  if (problem.empty()) return true;
  status_->SetMessage(QString::fromStdString(ShownHiveFileProblem(problem)));
  return false;
}

bool MainWindow::ChooseAndCheck(int id) {
  std::string path = ctx_.InputPath;
  if (!ChooseHiveFile || !ChooseHiveFile(CaptionOf(id), path)) return false;
  ctx_.InputPath = path;
  return CheckFile(ctx_.InputPath);
}

void MainWindow::Command(int id) {
  if (!CommandAllowed(id, ctx_)) return;
  switch (id) {
    case kCmdRead:
    case kCmdHiveLoad:
      if (ChooseAndCheck(id)) StartCommandNow(id);
      return;
    case kCmdSearchDates:
    case kCmdSearchNoDates:
    case kCmdRepair:
    case kCmdDefrag:
    case kCmdWrite:
    case kCmdRebuild:
      if (ImageHasRegf(ctx_))
        StartCommandNow(id);
      else
        status_->SetMessage(QStringLiteral("regf Signature Error"));
      return;
    case kCmdRegSave: OpenRegSaveDialog(); return;
    case kCmdDeleteSubkeys:
    case kCmdHiveUnload: StartCommandNow(id); return;
    case kCmdOpenInputFolder:
    case kCmdOpenOutputFolder:
    case kCmdOpenLoadFolder: {
      std::string folder = FolderToOpen(id, ctx_);
      if (!folder.empty() && OpenFolder) OpenFolder(FromPathBytes(folder));
      return;
    }
    case kCmdOpenEditor: OpenRegistryBrowser(); return;
    case kCmdAbort: ctx_.AbortRequested.store(1); return;
    case kCmdExit:
      ctx_.AbortRequested.store(1);
      close();
      return;
    case kCmdVersion: ShowVersion(); return;
    default: return;
  }
}

void MainWindow::RecentFileChosen(int comboId, int index) {
  RecentFileBox* box = Box(comboId);
  if (box != nullptr && index >= 0 && CommandAllowed(comboId, ctx_)) {
    std::string path = ToPathBytes(box->itemText(index));
    if (CheckFile(path)) {
      ctx_.InputPath = path;
      StartCommandNow(comboId == kCtlReadFileCombo ? kCmdRead : kCmdHiveLoad);
    }
  }
  pane_->setFocus();
}

void MainWindow::DropFiles(const std::vector<std::string>& paths, const QPoint& globalPos) {
  if (Busy() || paths.empty()) return;
  const std::string& first = paths.front();
  bool ok = CheckFile(first);
  if (ok) ctx_.InputPath = first;
  QWidget* box = Control(kCtlLoadFileCombo);
  bool onLoadBox = box != nullptr && QRect(box->mapToGlobal(QPoint(0, 0)), box->size()).contains(globalPos);
  switch (DropTarget(ctx_, ok, onLoadBox)) {
    case DropAction::kRead: StartCommandNow(kCmdRead); break;
    case DropAction::kHiveLoad: StartCommandNow(kCmdHiveLoad); break;
    case DropAction::kNone: break;
  }
}

void MainWindow::dragEnterEvent(QDragEnterEvent* e) {
  if (e->mimeData()->hasUrls()) e->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent* e) {
  std::vector<std::string> paths;
  for (const QUrl& url : e->mimeData()->urls()) {
    // Only files of this machine have a path the commands can open.
    paths.push_back(url.isLocalFile() ? ToPathBytes(QFileInfo(url.toLocalFile()).absoluteFilePath()) : std::string());
  }
  e->acceptProposedAction();
  DropFiles(paths, mapToGlobal(e->position().toPoint()));
}

void MainWindow::OpenRegSaveDialog() {
  RegSaveDialog dialog(ctx_, this);
  if (dialog.exec() == 1) StartCommandNow(kCmdRegSave);
}

void MainWindow::OpenDeletedView() {
  if (!deleted_) {
    deleted_ = new DeletedView(ctx_, this);
    deleted_->Busy = [this] { return Busy(); };
    deleted_->RunRepair = [this] {
      Command(kCmdRepair);
      return Busy() || ctx_.Done(kRepairDone);
    };
  }
  deleted_->Refresh();
  deleted_->show();
  deleted_->raise();
  deleted_->activateWindow();
}

void MainWindow::OpenRegistryBrowser() {
  if (!browser_) browser_ = new RegistryBrowser(ctx_, this);
  browser_->Refresh();
  browser_->show();
  browser_->raise();
  browser_->activateWindow();
}

void MainWindow::ShowVersion() {
  QMessageBox box(this);
  box.setObjectName(QStringLiteral("versionBox"));
  box.setWindowTitle(QString::fromUtf8(kVersionCaption));
  box.setTextFormat(Qt::PlainText);
  box.setText(QString::fromUtf8(kVersionText));
  box.setIconPixmap(ProgramIcon().pixmap(32, 32));
  box.exec();
}

void MainWindow::ApplyButtonStates(const ButtonStates& states) {
  for (const ButtonState& s : states.Changes())
    if (QWidget* w = Control(s.Id)) w->setEnabled(s.Enabled);
  // A menu entry is enabled as its button is.
  for (auto& [id, action] : menuActions_) {
    QWidget* w = Control(id);
    action->setEnabled(w != nullptr && w->isEnabled());
  }
}

void MainWindow::Apply(std::vector<UiOperation>& batch) {
  std::vector<PaneLine> lines;
  size_t i = 0;
  while (i < batch.size()) {
    UiOperation& op = batch[i];
    if (op.What == UiOperation::kPaneLine) {
      // A run of pane lines is one insertion into the pane.
      for (; i < batch.size() && batch[i].What == UiOperation::kPaneLine; ++i)
        lines.push_back(PaneLine{batch[i].AnsiText ? platform::AnsiToUtf8(batch[i].Text) : std::move(batch[i].Text),
                                 batch[i].Colour});
      pane_->Append(lines, !Busy());
      continue;
    }
    switch (op.What) {
      case UiOperation::kClearPane: pane_->Clear(); break;
      case UiOperation::kStatusText:
        if (op.Number == 0)
          status_->SetMessage(
              QString::fromStdString(ProgressShare(op.Done, op.Total) + op.Shown + platform::AnsiToUtf8(op.Text)));
        else
          status_->SetPartText(op.Number, op.Text);
        break;
      case UiOperation::kStatusLayout:
        status_->SetStatusLayout(static_cast<StatusLayout>(op.Number));
        status_->SetDoneFlags(op.Flags);
        break;
      case UiOperation::kDoneFlags: status_->SetDoneFlags(op.Flags); break;
      case UiOperation::kRecentFile:
        if (RecentFileBox* box = Box(op.Number)) box->AddRecent(FromPathBytes(op.Text));
        break;
      case UiOperation::kControlText:
        if (RecentFileBox* box = Box(op.Number))
          box->SelectText(FromPathBytes(op.Text));
        else if (auto* label = qobject_cast<QLabel*>(Control(op.Number)))
          label->setText(QString::fromStdString(op.Text));
        break;
      case UiOperation::kButtons: ApplyButtonStates(op.States); break;
      case UiOperation::kPaneLine: break;
    }
    ++i;
  }
  // The command's last lines show with its end.
  if (!Busy()) pane_->Flush();
  if (closePending_ && !Busy()) {
    closePending_ = false;
    worker_.Join();
    close();
  }
}

}  // namespace quelbrix::ui
