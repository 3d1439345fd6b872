// gui_search [--output-dir DIR] HIVE: the window's Search (dates) of HIVE,
// timed.  Opens the window (offscreen unless QT_QPA_PLATFORM says otherwise),
// reads HIVE through the Read button's path, then clicks Search and runs the
// window's own event loop until the command has ended and every line it sent
// is in the output pane.  Prints the seconds from the click to that moment;
// the Read is not counted there but told on stderr.  Exit 1 when the read or the search fails.
#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "app/startup.h"
#include "app/context.h"
#include "platform/files.h"
#include "platform/text.h"
#include "registry/hive_reader.h"
#include "ui/main_window.h"
#include "ui/qt_frontend.h"
#include "ui/status_bar.h"

namespace {

using quelbrix::ui::MainWindow;

// Runs the event loop, as a person's window does, until the command has ended
// and the window has taken everything it queued; then joins the worker and
// takes what it sent after it cleared its busy flag.  False after `limitMs`.
bool RunUntilShown(MainWindow& window, quelbrix::ui::QtFrontend& frontend, int limitMs) {
  QElapsedTimer waited;
  waited.start();
  QEventLoop loop;
  QTimer poll;
  bool timedOut = false;
  QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
    if (!window.Busy() && frontend.Pending() == 0) {
      loop.quit();
    } else if (waited.elapsed() > limitMs) {
      timedOut = true;
      loop.quit();
    }
  });
  poll.start(1);
  loop.exec();
  poll.stop();
  if (timedOut) return false;
  window.WaitForWorker();
  return true;
}

QString LastPaneLine(MainWindow& window) {
  const quelbrix::ui::PaneModel& pane = *window.OutputPane()->Model();
  int row = pane.rowCount() - 1;
  while (row >= 0 && pane.Text(row).isEmpty()) --row;
  return pane.Text(row);
}

int Fail(const std::string& line) {
  std::fprintf(stderr, "gui_search: %s\n", line.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace quelbrix;
  std::string outputDir, hive;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--output-dir") == 0 && i + 1 < argc) {
      outputDir = argv[++i];
    } else if (argv[i][0] != '-' && hive.empty()) {
      hive = argv[i];
    } else {
      std::fprintf(stderr, "usage: gui_search [--output-dir DIR] HIVE\n");
      return 2;
    }
  }
  if (hive.empty()) {
    std::fprintf(stderr, "usage: gui_search [--output-dir DIR] HIVE\n");
    return 2;
  }
  // A benchmark needs no screen: offscreen unless a platform was chosen.
  if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);

  // The settings of `quelbrix search HIVE`: code page 932, diagnostic mode by
  // the program's path, transaction logs applied.
  if (!platform::SetAnsiCodePage(932)) return Fail("code page 932 is not available");
  static HiveContext ctx;
  InitContext(ctx);
  registry::SetApplyTransactionLogs(true);
  if (!outputDir.empty()) {
    ctx.OutputFolder = platform::AbsolutePath(outputDir);
    if (!platform::MakeDirectories(ctx.OutputFolder)) return Fail("cannot create " + ctx.OutputFolder);
    ctx.RegistryRoot = ctx.OutputFolder + "/registry";
  }
  hive = platform::AbsolutePath(hive);

  MainWindow window(ctx);
  window.ChooseHiveFile = [&hive](const QString&, std::string& path) {
    path = hive;
    return true;
  };
  window.resize(1000, 600);
  window.show();
  auto* frontend = dynamic_cast<ui::QtFrontend*>(ctx.UI);
  if (frontend == nullptr) return Fail("the window has no Qt front end");
  constexpr int kLimitMs = 30 * 60 * 1000;

  QElapsedTimer reading;
  reading.start();
  window.Command(kCmdRead);
  if (!RunUntilShown(window, *frontend, kLimitMs)) return Fail("the read did not end");
  if (ctx.CurrentFile != hive || ctx.Image == nullptr)
    return Fail("the read failed: " + window.Status()->Message().toStdString());
  double readSeconds = static_cast<double>(reading.nsecsElapsed()) / 1e9;

  // A person clicks well after the read's last lines: the window's drain
  // interval, which starts at its last drain, is over by then.
  QEventLoop pause;
  QTimer::singleShot(2 * ui::QtFrontend::kDrainInterval, &pause, &QEventLoop::quit);
  pause.exec();

  auto* search = qobject_cast<QAbstractButton*>(window.Control(kCmdSearchDates));
  if (search == nullptr || !search->isEnabled()) return Fail("the Search button is missing or disabled after the read");
  QElapsedTimer elapsed;
  elapsed.start();
  search->click();
  if (!RunUntilShown(window, *frontend, kLimitMs)) return Fail("the search did not end");
  double seconds = static_cast<double>(elapsed.nsecsElapsed()) / 1e9;

  // The closing line of a finished Search is "[<caption>完了] ...".
  QString last = LastPaneLine(window);
  if (!last.startsWith(QStringLiteral("[")) || !last.contains(QString::fromUtf8("完了]")))
    return Fail("the search did not finish; its last pane line: " + last.toStdString());
  // The read goes to stderr: the command line's search includes one.
  std::fprintf(stderr, "gui_search: read %.3f s, %d pane lines\n", readSeconds,
               window.OutputPane()->Model()->rowCount());
  std::printf("%.3f\n", seconds);
  return 0;
}
