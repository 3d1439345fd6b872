// quelbrix-gui: the window.  Takes the options of the `quelbrix` command
// that concern a run (also when started as `quelbrix gui`), fills the
// HiveContext and runs the window until Exit.
#include <QApplication>
#include <QCommandLineParser>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "app/startup.h"
#include "app/context.h"
#include "core/texts.h"
#include "platform/files.h"
#include "platform/text.h"
#include "registry/hive_reader.h"
#include "ui/main_window.h"

namespace {

// --help and --version print text only: they must work without a display.
bool TextOnly(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    for (const char* flag : {"-h", "--help", "-?", "--help-all", "-v", "--version"})
      if (std::strcmp(argv[i], flag) == 0) return true;
  return false;
}

// Without a display Qt aborts with a hint to reinstall; say what is missing instead.
bool DisplayAvailable(int argc, char** argv) {
  auto set = [](const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0';
  };
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "-platform") == 0 || std::strncmp(argv[i], "-platform=", 10) == 0) return true;
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  std::string name = platform != nullptr ? platform : "";
  if (!name.empty() && name.rfind("xcb", 0) != 0 && name.rfind("wayland", 0) != 0) return true;
  return set("DISPLAY") || set("WAYLAND_DISPLAY");
}

}  // namespace

int main(int argc, char** argv) {
  using namespace quelbrix;
  const bool textOnly = TextOnly(argc, argv);
  if (!textOnly && !DisplayAvailable(argc, argv)) {
    std::fputs("quelbrix-gui: no display (DISPLAY and WAYLAND_DISPLAY are not set); use the quelbrix command\n", stderr);
    return 1;
  }
  std::unique_ptr<QCoreApplication> application;
  if (textOnly)
    application = std::make_unique<QCoreApplication>(argc, argv);
  else
    application = std::make_unique<QApplication>(argc, argv);
  QCoreApplication& app = *application;
  // --version says "quelbrix-gui 2.1", as the command says "quelbrix 2.1";
  // its manual page takes its name from that line.
  QCoreApplication::setApplicationName(QStringLiteral("quelbrix-gui"));
  QCoreApplication::setApplicationVersion(QStringLiteral(QUELBRIX_VERSION));

  QCommandLineParser parser;
  parser.setApplicationDescription(QStringLiteral("Quelbrix: the window of the hive file tool."));
  parser.addHelpOption();
  parser.addVersionOption();
  QCommandLineOption outputDir(QStringLiteral("output-dir"),
                               QStringLiteral("Folder for report files and saved hives (default: the program's folder)"),
                               QStringLiteral("DIR"));
  QCommandLineOption registryRoot(QStringLiteral("registry-root"),
                                  QStringLiteral("Machine registry folder that stands for HKEY_LOCAL_MACHINE"),
                                  QStringLiteral("DIR"));
  QCommandLineOption codePage(QStringLiteral("codepage"),
                              QStringLiteral("ANSI code page of names and reports (default 932; 65001 is UTF-8)"),
                              QStringLiteral("N"), QStringLiteral("932"));
  QCommandLineOption language(QStringLiteral("lang"),
                              QStringLiteral("Language of captions and status texts: ja or en (default: from "
                                             "LC_ALL, LC_MESSAGES or LANG, Japanese when none is set); reports stay "
                                             "as they are"),
                              QStringLiteral("LANG"));
  QCommandLineOption diagnostic(QStringLiteral("diagnostic"), QStringLiteral("Extra detail lines and extended repairs"));
  QCommandLineOption noDiagnostic(QStringLiteral("no-diagnostic"),
                                  QStringLiteral("Never diagnostic mode, whatever the program's path"));
  QCommandLineOption noLogs(QStringLiteral("no-logs"),
                            QStringLiteral("Examine hive files as stored: never apply the transaction logs beside them"));
  QCommandLineOption quitAfter(QStringLiteral("quit-after"),
                               QStringLiteral("Press Exit MS milliseconds after the window is shown (for checks)"),
                               QStringLiteral("MS"));
  parser.addOptions({outputDir, registryRoot, codePage, language, diagnostic, noDiagnostic, noLogs, quitAfter});
  parser.addPositionalArgument(QStringLiteral("gui"), QStringLiteral("(as given to `quelbrix gui`)"), QStringLiteral("[gui]"));
  parser.process(app);
  if (textOnly) return 0;

  const QStringList positional = parser.positionalArguments();
  if (positional.size() > 1 || (positional.size() == 1 && positional.front() != QStringLiteral("gui"))) {
    std::fprintf(stderr, "quelbrix-gui: unexpected argument %s\n", positional.back().toLocal8Bit().constData());
    return 2;
  }
  bool numberOk = false;
  int cp = parser.value(codePage).toInt(&numberOk);
  if (!numberOk || !platform::SetAnsiCodePage(cp)) {
    std::fprintf(stderr, "--codepage: code page %s is not available\n", parser.value(codePage).toLocal8Bit().constData());
    return 2;
  }
  Language chosen = LocaleLanguage();
  if (parser.isSet(language) && !LanguageFromName(parser.value(language).toStdString(), &chosen)) {
    std::fprintf(stderr, "--lang: %s is not ja or en\n", parser.value(language).toLocal8Bit().constData());
    return 2;
  }
  if (parser.isSet(diagnostic) && parser.isSet(noDiagnostic)) {
    std::fprintf(stderr, "--diagnostic and --no-diagnostic exclude each other\n");
    return 2;
  }

  // One context for the life of the process; the window and the worker use it.
  static HiveContext ctx;
  InitContext(ctx);
  if (parser.isSet(diagnostic)) ctx.DiagnosticMode = 1;
  if (parser.isSet(noDiagnostic)) ctx.DiagnosticMode = 0;
  ctx.NoLogs = parser.isSet(noLogs);
  registry::SetApplyTransactionLogs(!ctx.NoLogs);
  if (parser.isSet(outputDir)) {
    ctx.OutputFolder = platform::AbsolutePath(parser.value(outputDir).toStdString());
    if (!platform::MakeDirectories(ctx.OutputFolder)) {
      std::fprintf(stderr, "--output-dir: cannot create %s\n", ctx.OutputFolder.c_str());
      return 2;
    }
    if (!InstalledUnderPrefix(platform::ExecutableFolder())) ctx.RegistryRoot = ctx.OutputFolder + "/registry";
  }
  if (parser.isSet(registryRoot)) ctx.RegistryRoot = platform::AbsolutePath(parser.value(registryRoot).toStdString());

  ui::MainWindow window(ctx);
  if (chosen != Language::kJapanese) window.SetLanguage(chosen);
  window.show();
  if (parser.isSet(quitAfter)) {
    int ms = parser.value(quitAfter).toInt();
    QTimer::singleShot(ms < 0 ? 0 : ms, &window, [&window] { window.Command(kCmdExit); });
  }
  return app.exec();
}
