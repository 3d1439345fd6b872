// The main window: the four rows built from the layout tables, the status
// bar, and the commands of buttons, recent-file boxes and dropped files, run
// on one worker that reaches the window only through the QtFrontend.  Closing
// while it runs asks it to stop and closes once it has ended.
#pragma once

#include <QPointer>
#include <QTranslator>
#include <QWidget>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/context.h"
#include "core/texts.h"
#include "platform/worker.h"
#include "ui/button_states.h"
#include "ui/controls.h"
#include "ui/output_pane.h"
#include "ui/qt_frontend.h"
#include "ui/deleted_view.h"
#include "ui/registry_browser.h"

class QAction;
class QMenu;
class QMenuBar;

namespace quelbrix::ui {

class StatusBar;

class MainWindow : public QWidget {
  Q_OBJECT

 public:
  explicit MainWindow(HiveContext& ctx, QWidget* parent = nullptr);
  ~MainWindow() override;

  // The open-file dialog and the desktop's file manager, replaceable so that
  // the commands can run without a person.
  std::function<bool(const QString& title, std::string& path)> ChooseHiveFile;
  std::function<void(const QString& folder)> OpenFolder;

  QWidget* Control(int id) const;
  StatusBar* Status() const { return status_; }
  quelbrix::ui::OutputPane* OutputPane() const { return pane_; }
  QString CaptionOf(int id) const;
  QMenuBar* MenuBar() const { return menuBar_; }
  // The menu action that runs command `id`, or null.
  QAction* MenuAction(int id) const;
  int StatusHeight() const { return statusHeight_; }
  RegistryBrowser* Browser() const { return browser_; }
  DeletedView* Deleted() const { return deleted_; }
  // The context menu's Deleted view: what the read hive's free space holds.
  void OpenDeletedView();

  // The language of captions and status texts (also the context menu's
  // "English" setting): the window's translator and the engine's texts.
  // Refused (false) while a command runs.
  bool SetLanguage(Language language);

  // WM_COMMAND of a button.
  void Command(int id);
  // A person chose entry `index` of a recent-file box.
  void RecentFileChosen(int comboId, int index);
  // Files dropped at a point in global coordinates; only the first counts.
  void DropFiles(const std::vector<std::string>& paths, const QPoint& globalPos);
  // Whether a command runs (the worker may not have been joined yet).
  bool Busy() const;
  // Waits, serving the worker's calls, until no command runs.
  void WaitForWorker();

  // GUI thread: the operations the worker queued (their texts are taken).
  void Apply(std::vector<UiOperation>& batch);
  void ApplyButtonStates(const ButtonStates& states);

 protected:
  void resizeEvent(QResizeEvent*) override;
  void closeEvent(QCloseEvent*) override;
  void dragEnterEvent(QDragEnterEvent*) override;
  void dropEvent(QDropEvent*) override;

 private:
  void AddLogSetting();
  void AddLanguageSetting();
  void AddDeletedAction();
  void AddMenus();
  void RetranslateMenus();
  void LayoutAll();
  bool StartCommandNow(int id);
  bool ChooseAndCheck(int id);
  bool CheckFile(const std::string& path);
  void OpenRegSaveDialog();
  void OpenRegistryBrowser();
  void ShowVersion();
  RecentFileBox* Box(int id) const;

  HiveContext& ctx_;
  std::unique_ptr<QtFrontend> frontend_;
  platform::WorkerThread worker_;
  std::map<int, QWidget*> controls_;
  // The client area below the menu bar: the four rows live in it.
  QWidget* client_ = nullptr;
  QMenuBar* menuBar_ = nullptr;
  std::vector<QMenu*> menus_;
  std::map<int, QAction*> menuActions_;
  quelbrix::ui::OutputPane* pane_ = nullptr;
  QAction* logSetting_ = nullptr;
  QAction* languageSetting_ = nullptr;
  QTranslator translator_;
  bool translatorInstalled_ = false;
  StatusBar* status_ = nullptr;
  QFont fixedFont_;
  QPointer<RegistryBrowser> browser_;
  QPointer<DeletedView> deleted_;
  int statusHeight_ = 0;
  bool closePending_ = false;
};

// The fixed font of the output pane: "ＭＳ ゴシック" where it exists, else a
// Japanese gothic monospace face, 15 pixels high.
QFont MakeFixedFont();

// The program's icon, drawn at run time.
QIcon ProgramIcon();

}  // namespace quelbrix::ui
