// quelbrix: the commands of the window from the shell.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>

#include "app/run_command.h"
#include "app/startup.h"
#include "cli/batch.h"
#include "cli/cli_frontend.h"
#include "cli/command_line.h"
#include "cli/export_command.h"
#include "cli/recover_command.h"
#include "cli/interrupt.h"
#include "cli/messages.h"
#include "cli/outcome.h"
#include "app/context.h"
#include "core/report_log.h"
#include "core/texts.h"
#include "deleted/deleted.h"
#include "live/live_commands.h"
#include "platform/files.h"
#include "platform/text.h"
#include "platform/worker.h"
#include "registry/hive_reader.h"
#include "undelete/undelete.h"

namespace quelbrix {
namespace {

// A folder named on the command line whose links someone else may have
// planted is refused before anything is written into it.
bool FollowsNamedLinks(const std::string& path) {
  std::string target;
  platform::Status followed = platform::FollowNamedPath(path, &target);
  if (!followed) std::fprintf(stderr, "quelbrix: %s\n", followed.Text().c_str());
  return followed.Ok();
}

// "%sに失敗しました" of a command, as people see it.
std::string FailedText(int32_t id) { return FormatShown(ShownText(TextId::kFailed), ShownCaption(id).c_str()); }
std::string AbortedText(int32_t id) { return FormatShown(ShownText(TextId::kAborted), ShownCaption(id).c_str()); }

class Runner {
 public:
  Runner(HiveContext& ctx, CliFrontend& ui, CliSession& session) : ctx_(ctx), ui_(ui), session_(session) {}

  // Runs one command on the worker and waits for it.  Returns the exit status
  // of its outcome; the outcome itself, when asked for, in *outcome.
  int Run(int32_t id, CommandOutcome* outcome = nullptr) {
    // After a Ctrl-C no step starts, whatever the step before made of it.
    if (Interrupted()) {
      Refuse(AbortedText(id));
      if (outcome != nullptr) *outcome = CommandOutcome::kAborted;
      return kExitAborted;
    }
    platform::WorkerThread worker;
    CommandOutcome result = CommandOutcome::kFailed;
    if (!StartCommand(ctx_, id, worker, &result)) {
      Refuse("worker thread could not be started");
      if (outcome != nullptr) *outcome = CommandOutcome::kFailed;
      return kExitFailed;
    }
    worker.Join();
    ui_.FinishStatus();
    session_.statusShown = ui_.LastStatus();
    if (outcome != nullptr) *outcome = result;
    int status = ExitStatusOf(result);
    if (status != kExitOk) ShowFailureDetail();
    return status;
  }

  // The file and the system's reason behind a failure, when the command knows them.
  void ShowFailureDetail() {
    if (!ctx_.Failure.Ok()) std::fprintf(stderr, "quelbrix: %s\n", ctx_.Failure.Text().c_str());
  }

  // --write keeps the file as it was beside it before the Write replaces it.
  int BackupThenWrite() {
    if (Interrupted()) return Run(kCmdWrite);
    // A file the Write would refuse gets no copy either: a failed step leaves nothing behind.
    std::string backup;
    ctx_.Failure = platform::MayReplaceFile(ctx_.CurrentFile);
    if (ctx_.Failure) ctx_.Failure = BackupCopy(ctx_.CurrentFile, &backup);
    if (!ctx_.Failure) {
      Refuse(FailedText(kCmdWrite));
      NoteFileFailure(ctx_);
      ShowFailureDetail();
      return kExitFailed;
    }
    int rc = HiveCommand(kCmdWrite);
    // An aborted Write left the hive as it was: its copy is not wanted either.
    if (rc == kExitAborted) std::remove(backup.c_str());
    return rc;
  }

  // `message` is UTF-8, in the run's language.
  void Refuse(const std::string& message) {
    ui_.ShowStatus(0, message, message, "");
    ui_.FinishStatus();
    session_.statusShown = message;
  }

  // A hive file that fails the checks before Read: the system's text, then
  // the path and the reason.
  int RefuseFile(const std::string& path, const std::string& problem) {
    Refuse(ShownHiveFileProblem(problem));
    std::string reason = HiveFileReason(path);
    SayFileProblem(path, reason.empty() ? "changed while it was checked" : reason);
    return kExitFailed;
  }

  // The scan ended at damage it could not walk past: the report says where,
  // nothing was changed, and nothing is written.
  int Stopped() {
    std::fputs("quelbrix: the scan stopped at damage it cannot pass (see the report); nothing written\n", stderr);
    return kExitFailed;
  }

  // The command ran but could not finish soundly (the report says why):
  // what it left in memory is not written.
  int Failed() {
    std::fputs("quelbrix: the command did not finish soundly (see the report); nothing written\n", stderr);
    return kExitFailed;
  }

  // CheckHiveFile, then Read.
  int ReadHive(const std::string& path) {
    std::string absolute = platform::AbsolutePath(path);
    session_.hive = absolute;
    std::string problem = CheckHiveFile(absolute);
    if (!problem.empty()) return RefuseFile(path.empty() ? path : absolute, problem);
    ctx_.InputPath = absolute;
    int rc = Run(kCmdRead);
    if (rc == kExitFailed) SayFileProblem(absolute, "could not be read into memory");
    return rc;
  }

  int HiveCommand(int32_t id) {
    if (!ImageHasRegf(ctx_)) {
      Refuse("regf Signature Error");
      return kExitFailed;
    }
    if (id == kCmdWrite) {
      int rc = Run(id);
      if (rc == kExitOk) {
        session_.output = ctx_.CurrentFile;
      } else if (rc != kExitAborted) {
        std::string reason = CreateFileReason(ctx_.CurrentFile);
        SayFileProblem(ctx_.CurrentFile, reason.empty() ? "the hive could not be written" : reason);
      }
      return rc;
    }
    // A scan writes its report; say where, or why it could not.
    std::string report = ReportPathOf(ctx_, id);
    CommandOutcome outcome = CommandOutcome::kFailed;
    int rc = Run(id, &outcome);
    // The one failure of a scan that leaves no report of its own.
    if (outcome == CommandOutcome::kFailed && ctx_.ReportPath != report) {
      std::string reason = CreateFileReason(report);
      SayFileProblem(report, reason.empty() ? "the report file could not be written (none is left under its name)" : reason);
    } else if (ctx_.ReportPath == report) {
      session_.reportPath = report;
      std::fprintf(stderr, "report: %s\n", report.c_str());
    }
    return rc;
  }

  // Read, put the key back in memory, Repair, then Write to `output`.
  int Undelete(const std::string& hive, const std::string& target, const std::string& output) {
    std::string out = platform::AbsolutePath(output);
    std::error_code same;
    if (out == platform::AbsolutePath(hive) || std::filesystem::equivalent(out, hive, same)) {
      Refuse(FailedText(kCmdWrite));
      SayFileProblem(out, "undelete never writes over the hive it reads; give another file");
      return kExitFailed;
    }
    if (out.size() >= kMaxPath) {
      Refuse(FailedText(kCmdWrite));
      SayFileProblem(out, "path longer than 259 characters");
      return kExitFailed;
    }
    int rc = ReadHive(hive);
    if (rc != kExitOk) return rc;
    size_t size = static_cast<size_t>(std::min<uint64_t>(ctx_.FileSize, ctx_.ImageSize));
    deleted::DeletedScan scan = deleted::FindDeleted(ctx_.Image, size);
    int key = FindUndeleteTarget(scan, target);
    if (key < 0) {
      Refuse(FailedText(kCmdWrite));
      SayFileProblem(hive, "no deleted key " + target + " (quelbrix recover lists them)");
      return kExitFailed;
    }
    undelete::UndeleteResult result = undelete::UndeleteKey(ctx_, scan, key);
    if (!result.Done) {
      ctx_.ImageUnfit = true;  // the writer may have left part of its work
      Refuse(FailedText(kCmdWrite));
      SayFileProblem(hive, result.Problem + "; nothing written");
      return kExitFailed;
    }
    const deleted::RecoveredKey& k = scan.Keys[key];
    std::fprintf(stderr, "quelbrix: %s back as %s: %zu key%s, %zu value%s\n", platform::Utf16ToUtf8(k.Path).c_str(),
                 platform::Utf16ToUtf8(result.Path).c_str(), result.Keys, result.Keys == 1 ? "" : "s", result.Values,
                 result.Values == 1 ? "" : "s");
    if (result.UnderRecovered)
      std::fprintf(stderr, "quelbrix: its parent is not in the hive any more: restored under Recovered at the root\n");
    for (const undelete::Renamed& r : result.Renames)
      std::fprintf(stderr, "quelbrix: %s: a live key has that name; restored as \"%s\"\n",
                   platform::Utf16ToUtf8(r.Path).c_str(), platform::Utf16ToUtf8(r.NewName).c_str());
    if (result.LeftOut > 0)
      std::fprintf(stderr, "quelbrix: %zu value%s left out: the free space no longer holds %s data whole\n",
                   result.LeftOut, result.LeftOut == 1 ? "" : "s", result.LeftOut == 1 ? "its" : "their");
    rc = HiveCommand(kCmdRepair);
    if (ctx_.CommandFailed) return Failed();
    if (rc == kExitOk && ctx_.ScanStopped) return Stopped();
    if (rc != kExitOk) return rc;
    ctx_.CurrentFile = out;
    return HiveCommand(kCmdWrite);
  }

 private:
  HiveContext& ctx_;
  CliFrontend& ui_;
  CliSession& session_;
};

}  // namespace
}  // namespace quelbrix

namespace quelbrix {

int RunQuelbrix(int argc, char** argv, CliSession& session) {
  InstallInterruptHandler();

  CLI::App app{
      "Quelbrix: examines Windows registry hive files offline, byte by byte; reports on them, repairs them,\n"
      "defragments them and rebuilds them into a mounted hive.\n\n"
      "Exit status: 0 when the command completed and found no damage, 3 when it completed and found damage\n"
      "(a fault line in its report, or a scan stopped at damage it cannot pass), 1 for a failure or a refused\n"
      "precondition, 2 for a usage error, 130 after an abort (Ctrl-C; a second Ctrl-C ends the process at once).\n"
      "repair and defrag judge the hive they were given by the same rules as search.\n\n"
      "Reports: HIVENAME_PRIMARY_SECONDARY.COMMAND.txt in the output folder (COMMAND: search, search-nodates,\n"
      "repair, defrag or rebuild; -nologs added under --no-logs), so no command replaces another's report.\n"
      "search, repair and defrag end with one summary line on stderr: the faults found, what was written and\n"
      "the next step.",
      "quelbrix"};
  app.require_subcommand(0, 1);
  app.fallthrough();
  app.set_version_flag("--version", VersionText());

  std::string outputDir, registryRoot;
  int codePage = 932;
  bool diagnostic = false, noDiagnostic = false, quiet = false, noColor = false, noLogs = false;
  app.add_option("--output-dir", outputDir, "Folder for report files and saved hives (default: the program's folder; the current folder when installed)");
  app.add_option("--registry-root", registryRoot,
                 "Machine registry folder that stands for HKEY_LOCAL_MACHINE (default: registry/ in the output folder; "
                 "$XDG_DATA_HOME/quelbrix/registry when installed)");
  app.add_option("--codepage", codePage,
                 "ANSI code page of names and reports (default 932; 65001 is UTF-8); the terminal is always UTF-8");
  std::string language;
  app.add_option("--lang", language,
                 "Language of captions, status texts and messages: ja or en (default: from LC_ALL, LC_MESSAGES or "
                 "LANG, Japanese when it starts with ja, English otherwise; Japanese when none is set); "
                 "reports stay as they are")
      ->check(CLI::IsMember({"ja", "en"}));
  auto* diagOpt = app.add_flag("--diagnostic", diagnostic, "Extra detail lines and extended repairs");
  app.add_flag("--no-diagnostic", noDiagnostic, "Never diagnostic mode, whatever the program's path")->excludes(diagOpt);
  app.add_flag("-q,--quiet", quiet, "No report lines on stdout (the final status still goes to stderr)");
  app.add_flag("--no-color", noColor, "No ANSI colours on stdout");
  app.add_flag("--no-logs", noLogs,
               "Examine the hive file as stored: never apply the transaction logs (HIVE.LOG, .LOG1, .LOG2) beside it");
  app.add_flag("--json", session.json,
               "Print one JSON object at the end on stdout (command, files, exit status, status text, report, "
               "counts); report lines are then not printed");

  std::string hive, output, keyName, loadFile;
  bool noDates = false, write = false, noBackup = false;

  auto* search = app.add_subcommand("search", "Read HIVE, then Search with dates (or without: --no-dates)");
  search->add_option("HIVE", hive, "Hive file (several: a batch, see below)")->required();
  search->add_flag("--no-dates", noDates, "Search without dates (descriptors in hex)");
  AddBatchHelp(search);

  auto* repair = app.add_subcommand("repair", "Read HIVE, Repair it in memory; --write or -o OUT writes the result");
  auto* defrag = app.add_subcommand("defrag", "Read HIVE, Defrag it in memory; --write or -o OUT writes the result");
  for (auto* sub : {repair, defrag}) {
    sub->add_option("HIVE", hive, "Hive file (several: a batch, see below)")->required();
    auto* w = sub->add_flag("--write", write, "Write the result over HIVE (atomically)");
    sub->add_option("-o,--output", output, "Write the result to OUT (a file: ./- for one named -)")->excludes(w);
    sub->add_flag("--no-backup", noBackup, "With --write: keep no copy HIVE.YYYYMMDDhhmmss of the file as it was")
        ->needs(w);
    AddBatchHelp(sub);
  }
  auto* rebuild = app.add_subcommand("rebuild", "Read HIVE and re-create its keys and values under HKLM\\Rebuild");
  rebuild->add_option("HIVE", hive, "Hive file")->required();
  auto* regsave = app.add_subcommand("regsave", "Save HKLM\\NAME to NAME.tmp in the output folder");
  regsave->add_option("NAME", keyName, "SYSTEM, SOFTWARE, SAM or SECURITY")
      ->required()
      ->check(CLI::IsMember({"SYSTEM", "SOFTWARE", "SAM", "SECURITY"}, CLI::ignore_case));
  auto* load = app.add_subcommand("load", "Mount FILE under HKLM\\Rebuild after keeping a time-stamped copy");
  load->add_option("FILE", loadFile, "Hive file")->required();
  auto* unload = app.add_subcommand("unload", "Dismount HKLM\\Rebuild");
  auto* deleteSubkeys = app.add_subcommand("delete-subkeys", "Empty the hive mounted under HKLM\\Rebuild");
  ExportRequest exportRequest;
  exportRequest.format = "reg";
  auto* exportCmd = app.add_subcommand("export", "Write the keys and values under KEY (default: the root) of HIVE as a "
                                                 ".reg file or as JSON");
  exportCmd->add_option("HIVE", exportRequest.hive, "Hive file")->required();
  exportCmd->add_option("KEY", exportRequest.key, "Key path from the root, with backslashes, any letter case");
  exportCmd->add_option("--format", exportRequest.format,
                        "reg: a registry editor file (UTF-16LE, CR LF; the default); json: UTF-8 JSON")
      ->check(CLI::IsMember({"reg", "json"}));
  exportCmd->add_option("-o,--output", exportRequest.output,
                        "Write to FILE (atomically) instead of stdout; - is stdout. The .reg format is not written "
                        "to a terminal");
  auto* prefixOpt = exportCmd->add_option("--prefix", exportRequest.prefix,
                                          "What the export calls the root key (default: the root key's own name), "
                                          "e.g. HKEY_LOCAL_MACHINE\\SYSTEM");
  AddBatchHelp(exportCmd);
  RecoverRequest recoverRequest;
  recoverRequest.format = "text";
  auto* recoverCmd = app.add_subcommand("recover", "List the deleted and superseded keys and values that the free "
                                                   "space of HIVE still holds (under KEY, when given)");
  recoverCmd->add_option("HIVE", recoverRequest.hive, "Hive file")->required();
  recoverCmd->add_option("KEY", recoverRequest.key, "Key path from the root, with backslashes, any letter case");
  recoverCmd->add_option("--format", recoverRequest.format, "text: keys as a tree (the default); json: UTF-8 JSON")
      ->check(CLI::IsMember({"text", "json"}));
  std::string undeleteTarget;
  auto* undeleteCmd = app.add_subcommand("undelete", "Write a copy of HIVE to OUT with the deleted key PATH back in "
                                                     "its place (then repaired); HIVE is not changed");
  undeleteCmd->add_option("HIVE", hive, "Hive file")->required();
  undeleteCmd->add_option("PATH", undeleteTarget, "The key's path as recover prints it, or @OFFSET of its nk cell")
      ->required();
  undeleteCmd->add_option("-o,--output", output, "The hive to write (a file: ./- for one named -)")->required();
  AddBatchHelp(recoverCmd);
  auto* gui = app.add_subcommand("gui", "Start the window");
  auto* version = app.add_subcommand("version", "Print the version");
  auto* help = app.add_subcommand("help", "List the commands and options");
  auto* findings = app.add_subcommand("findings", "List every kind of finding: its id (as --json gives it), severity "
                                                  "and meaning");
  AddCommonHelp(app);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return UsageExit(app, e);
  }
  if (version->parsed()) {
    std::printf("%s\n", VersionText().c_str());
    return kExitOk;
  }
  if (findings->parsed()) {
    std::fputs(FindingKindsTable().c_str(), stdout);
    return kExitOk;
  }
  if (help->parsed()) {
    // App::help() would describe the help command itself once it is selected.
    std::fputs(app.get_formatter()->make_help(&app, "quelbrix", CLI::AppFormatMode::Normal).c_str(), stdout);
    return kExitOk;
  }
  if (app.get_subcommands().empty()) {
    std::fprintf(stderr, "quelbrix: a command is required (search, repair, defrag, ...); see quelbrix --help\n");
    return kExitUsage;
  }
  session.command = app.get_subcommands().front()->get_name();
  // A hive is written to a temporary file beside its target and renamed over
  // it, which a pipe cannot be; a file named "-" is never what was meant.
  if ((repair->parsed() || defrag->parsed() || undeleteCmd->parsed()) && output == "-") {
    std::fprintf(stderr, "quelbrix: %s: -o - : the hive is written to a file, not to stdout; give a file name "
                 "(./- for a file named -)\n", session.command.c_str());
    return kExitUsage;
  }
  Language chosen = LocaleLanguage();
  LanguageFromName(language, &chosen);
  SetLanguage(chosen);

  if (!platform::SetAnsiCodePage(codePage)) {
    std::fprintf(stderr, "--codepage: code page %d is not available\n", codePage);
    return kExitUsage;
  }

  if (gui->parsed()) {
    std::string window = platform::ExecutableFolder() + "/quelbrix-gui";
    if (!platform::FileExists(window)) {
      std::fprintf(stderr, "quelbrix-gui is not built (Qt 6 Widgets was not found at build time)\n");
      return kExitFailed;
    }
    execv(window.c_str(), argv);
    std::perror("quelbrix-gui");
    return kExitFailed;
  }

  HiveContext& ctx = session.context;
  InitContext(ctx);
  if (diagnostic) ctx.DiagnosticMode = 1;
  if (noDiagnostic) ctx.DiagnosticMode = 0;
  ctx.NoLogs = noLogs;
  registry::SetApplyTransactionLogs(!noLogs);
  if (exportCmd->parsed()) {
    // The export is the command's output; a summary object after it would spoil it.
    if (session.json) {
      std::fprintf(stderr, "quelbrix: export writes its own output; use --format json instead of --json\n");
      return kExitUsage;
    }
    exportRequest.prefixGiven = prefixOpt->count() > 0;
    return RunExport(exportRequest);
  }
  if (recoverCmd->parsed()) {
    if (session.json) {
      std::fprintf(stderr, "quelbrix: recover writes its own output; use --format json instead of --json\n");
      return kExitUsage;
    }
    recoverRequest.noLogs = noLogs;
    return RunRecover(recoverRequest);
  }
  if (!outputDir.empty()) {
    ctx.OutputFolder = platform::AbsolutePath(outputDir);
    // "." and "dir/" come back with their slash; the files inside are named
    // with one of their own.
    while (ctx.OutputFolder.size() > 1 && ctx.OutputFolder.back() == '/') ctx.OutputFolder.pop_back();
    if (!FollowsNamedLinks(ctx.OutputFolder)) return kExitFailed;
    if (!platform::MakeDirectories(ctx.OutputFolder)) {
      std::fprintf(stderr, "--output-dir: cannot create %s\n", ctx.OutputFolder.c_str());
      return kExitUsage;
    }
    if (!InstalledUnderPrefix(platform::ExecutableFolder())) ctx.RegistryRoot = ctx.OutputFolder + "/registry";
  }
  if (!registryRoot.empty()) {
    ctx.RegistryRoot = platform::AbsolutePath(registryRoot);
    if (!FollowsNamedLinks(ctx.RegistryRoot)) return kExitFailed;
  }

  CliFrontend ui(quiet || session.json, !noColor);
  ctx.UI = &ui;
  if (session.json) ctx.Findings = &session.findings;
  session.ctx = &ctx;
  InterruptContext(&ctx);
  Runner runner(ctx, ui, session);
  ctx.SetDone(kHiveLoaded, RebuildMounted(ctx));

  if (search->parsed()) {
    session.scanCommand = noDates ? kCmdSearchNoDates : kCmdSearchDates;
    ctx.MapInput = true;  // nothing after the Read writes the hive
    int rc = runner.ReadHive(hive);
    if (rc != kExitOk) return rc;
    return runner.HiveCommand(noDates ? kCmdSearchNoDates : kCmdSearchDates);
  }
  if (repair->parsed() || defrag->parsed()) {
    int32_t id = repair->parsed() ? kCmdRepair : kCmdDefrag;
    session.scanCommand = id;
    int rc = runner.ReadHive(hive);
    if (rc != kExitOk) return rc;
    if (id == kCmdDefrag && !(ctx.HiveMajorVersion > 1 || (ctx.HiveMajorVersion == 1 && ctx.HiveMinorVersion >= 3))) {
      runner.Refuse(ShownCaption(kCmdDefrag) + ": hive version 1.3 or later only");
      return kExitFailed;
    }
    rc = runner.HiveCommand(id);
    if (ctx.CommandFailed) return runner.Failed();
    if (rc == kExitOk && ctx.ScanStopped) return runner.Stopped();
    if (rc == kExitOk && !write && output.empty()) std::fputs("quelbrix: nothing written; use --write or -o\n", stderr);
    if (rc != kExitOk || (!write && output.empty())) return rc;
    if (!output.empty()) {
      std::string target = platform::AbsolutePath(output);
      if (target.size() >= kMaxPath) {
        runner.Refuse(FailedText(kCmdWrite));
        SayFileProblem(target, "path longer than 259 characters");
        return kExitFailed;
      }
      ctx.CurrentFile = target;
      return runner.HiveCommand(kCmdWrite);
    }
    return noBackup ? runner.HiveCommand(kCmdWrite) : runner.BackupThenWrite();
  }
  if (undeleteCmd->parsed()) return runner.Undelete(hive, undeleteTarget, output);
  if (rebuild->parsed()) {
    // The mount first: a 200 MB hive is not read for a command that cannot run.
    if (!ctx.Done(kHiveLoaded)) {
      runner.Refuse("HKLM\\Rebuild: no hive is loaded");
      return kExitFailed;
    }
    int rc = runner.ReadHive(hive);
    if (rc != kExitOk) return rc;
    rc = runner.HiveCommand(kCmdRebuild);
    if (rc == kExitOk && ctx.ScanStopped) return runner.Stopped();
    return rc;
  }
  if (regsave->parsed()) {
    for (auto& c : keyName) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    ctx.HiveKeyName = keyName;
    // Saving a hive the folder does not hold would create it empty and save that.
    std::string missing = MissingMachineHive(ctx.RegistryRoot, keyName);
    if (!missing.empty()) {
      runner.Refuse(FailedText(kCmdRegSave));
      SayFileProblem(missing, "no such hive in the machine registry folder (see --registry-root)");
      return kExitFailed;
    }
    return runner.Run(kCmdRegSave);
  }
  if (load->parsed()) {
    if (ctx.Done(kHiveLoaded)) {
      runner.Refuse("HKLM\\Rebuild: a hive is already loaded");
      return kExitFailed;
    }
    std::string absolute = platform::AbsolutePath(loadFile);
    std::string problem = CheckHiveFile(absolute);
    if (!problem.empty()) return runner.RefuseFile(absolute, problem);
    ctx.InputPath = absolute;
    return runner.Run(kCmdHiveLoad);
  }
  if (unload->parsed() || deleteSubkeys->parsed()) {
    if (!ctx.Done(kHiveLoaded)) {
      runner.Refuse("HKLM\\Rebuild: no hive is loaded");
      return kExitFailed;
    }
    return runner.Run(unload->parsed() ? kCmdHiveUnload : kCmdDeleteSubkeys);
  }
  return kExitUsage;
}

}  // namespace quelbrix

int main(int argc, char** argv) {
  if (quelbrix::IsBatchRun(argc, argv)) return quelbrix::RunBatch(argc, argv);
  quelbrix::CliSession session;
  int status = quelbrix::RunQuelbrix(argc, argv, session);
  return quelbrix::FinishRun(status, session);
}
