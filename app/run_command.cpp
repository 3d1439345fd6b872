#include "app/run_command.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <stop_token>
#include <system_error>
#include <thread>

#include "app/frontend.h"
#include "app/recover_image.h"
#include "app/registry_rebuild.h"
#include "core/report_log.h"
#include "hive/report_finding.h"
#include "core/texts.h"
#include "hive/base_block.h"
#include "live/live_commands.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "platform/streamed_file.h"
#include "platform/text.h"
#include "platform/worker.h"
#include "scan/scan_hive.h"
#include "txlog/txlog.h"

namespace quelbrix {
namespace {

constexpr size_t kReportBuffer = 1u << 20;
constexpr size_t kReadPiece = 32u << 20;
constexpr size_t kTouchPiece = 8u << 20;

// The pool fills from its front as the scan makes blocks; its pages are
// made present a few huge pages ahead of the last block, so that the scan
// meets no fresh page and the pool holds little it will not use.  In steps
// of one huge page: a long call would keep the thread that maps memory
// (a new thread's stack, a large buffer) waiting.
constexpr size_t kPoolStep = 2u << 20;
constexpr size_t kPoolLead = 8u << 20;
// With nothing to do it looks again this often, and gives up once the
// blocks have not grown for a while (a Read with no scan after it).
constexpr auto kPoolLook = std::chrono::microseconds(250);
constexpr int kPoolPatience = 4000;

void TouchAhead(const std::stop_token& stop, const uint8_t* image, size_t want, const ShadowStore& shadow) {
  uint8_t* const pool = shadow.Pool();
  const size_t poolSize = shadow.PoolSize();
  size_t pooled = 0;
  auto keepAhead = [&] {
    bool touched = false;
    while (pooled < poolSize && pooled < shadow.BlockBytes() + kPoolLead && !stop.stop_requested()) {
      const size_t n = std::min(kPoolStep, poolSize - pooled);
      platform::TouchZeroed(pool + pooled, n);
      pooled += n;
      touched = true;
    }
    return touched;
  };
  // The mapped file's pages first: the scan's bin walk reads all of them
  // before it writes much of the map.
  for (size_t at = 0; image != nullptr && at < want && !stop.stop_requested(); at += kTouchPiece) {
    keepAhead();
    platform::ReadMapped(image, at, std::min(want - at, kTouchPiece));
  }
  uint8_t* const index = shadow.IndexBytes();
  const size_t indexSize = shadow.IndexSize();
  for (size_t at = 0; at < indexSize && !stop.stop_requested(); at += kPoolStep) {
    keepAhead();
    platform::TouchZeroed(index + at, std::min(kPoolStep, indexSize - at));
  }
  for (int idle = 0; pooled < poolSize && idle < kPoolPatience && !stop.stop_requested();) {
    if (keepAhead()) {
      idle = 0;
    } else {
      ++idle;
      std::this_thread::sleep_for(kPoolLook);
    }
  }
}

// [from, to) of the file into the image at the same offsets, in pieces for
// Ctrl-C; the bytes read, and the error that stopped it early (EIO at an end
// of file the size promised to be further).
size_t ReadRange(HiveContext& ctx, int fd, size_t from, size_t to, int* error) {
  size_t at = from;
  while (at < to && !ctx.Aborted()) {
    const ssize_t n = pread(fd, ctx.Image + at, std::min(to - at, kReadPiece), static_cast<off_t>(at));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = n < 0 ? errno : EIO;
      break;
    }
    at += static_cast<size_t>(n);
  }
  return at - from;
}

// A large regular file read into fresh memory: the kernel's clearing of each
// new page costs as much as the copy, and both halves of the file are read at
// once, one on each core.  The whole length, or what a failure left.
size_t ReadInHalves(HiveContext& ctx, int fd, size_t want, int* error) {
  const size_t half = want / 2 / kReadPiece * kReadPiece;
  size_t upper = 0;
  int upperError = 0;
  std::thread second;
  try {
    second = std::thread([&] { upper = ReadRange(ctx, fd, half, want, &upperError); });
  } catch (const std::system_error&) {
    return ReadRange(ctx, fd, 0, want, error);
  }
  const size_t lower = ReadRange(ctx, fd, 0, half, error);
  second.join();
  if (*error == 0) *error = upperError;
  return lower == half ? half + upper : lower;
}

void SetStatus(HiveContext& ctx, int part, const std::string& ansi) {
  if (ctx.UI != nullptr) ctx.UI->SetStatusText(part, ansi);
}

// A command's status: the Japanese text in the code page, as the front ends
// were always handed it, and the text in the run's language for people.
// `suffix` (counts, log file names) is the same in both.
template <typename... Numbers>
void CommandStatus(HiveContext& ctx, const std::string& caption, TextId text, const std::string& suffix,
                   Numbers... numbers) {
  if (ctx.UI == nullptr) return;
  char line[kLineBuffer + 64];
  FormatText(line, sizeof line, Ansi(JapaneseText(text)).c_str(), caption.c_str(), numbers...);
  std::string shown = FormatShown(ShownText(text), ShownCaption(ctx.CommandId).c_str(), numbers...);
  ctx.UI->ShowStatus(0, line + suffix, shown + suffix, "");
}

// "%s完了", and after a log replay its note: the code-page text keeps the
// words it always had, the shown one is all in the run's language.
void DoneStatus(HiveContext& ctx, const std::string& caption) {
  if (ctx.UI == nullptr) return;
  std::string suffix = txlog::AppliedSuffix(ctx);
  if (suffix.empty()) return CommandStatus(ctx, caption, TextId::kDone, "");
  char line[kLineBuffer + 64];
  FormatText(line, sizeof line, Ansi(JapaneseText(TextId::kDone)).c_str(), caption.c_str());
  std::string shown = FormatShown(ShownText(TextId::kDone), ShownCaption(ctx.CommandId).c_str());
  ctx.UI->ShowStatus(0, line + suffix, shown + ShownText(TextId::kLogsApplied), "");
}

// Adds a line to the report of the image's last scan, which is closed by now.
void AppendToReport(const std::string& path, const std::string& line) {
  // The failure it adds is said on the pane and the error output already.
  (void)platform::AppendToFile(path, line + "\r\n");
}

}  // namespace

void NoteFileFailure(HiveContext& ctx) {
  std::string line = ctx.Failure.Text();
  if (line.empty()) return;
  // The line names a file: its bytes are shown as they are.
  if (ctx.ReportOpen()) {
    EmitFindingShown(ctx, FindingKind::kFileFailure, kNoOffset, line, line);
    return;
  }
  LogPaneShown(kRed, ctx, line, line);
  if (ctx.CommandId == kCmdWrite && !ctx.ReportPath.empty()) AppendToReport(ctx.ReportPath, line);
}

void FailCommand(HiveContext& ctx, const std::string& caption) {
  CommandStatus(ctx, caption, TextId::kFailed, "");
  NoteFileFailure(ctx);
}

namespace {

CommandOutcome Fail(HiveContext& ctx, const std::string& caption,
                    CommandOutcome outcome = CommandOutcome::kFailed) {
  FailCommand(ctx, caption);
  return outcome;
}

// Ctrl-C before the command had anything to show: nothing of it is kept.
CommandOutcome Aborted(HiveContext& ctx, const std::string& caption) {
  if (ctx.CommandId == kCmdRead) FreeImage(ctx);
  CommandStatus(ctx, caption, TextId::kAborted, "");
  return CommandOutcome::kAborted;
}

void DoneWithSize(HiveContext& ctx, const std::string& caption, uint64_t size, const std::string& suffix = "") {
  CommandStatus(ctx, caption, TextId::kDoneWithSize, suffix, static_cast<int>(static_cast<uint32_t>(size)));
}

void ThreadCountText(HiveContext& ctx, int part, int32_t count) {
  char text[32];
  FormatText(text, sizeof text, "thread=%d", count);
  SetStatus(ctx, part, text);
}

CommandOutcome ReadHive(HiveContext& ctx, const std::string& caption) {
  FreeImage(ctx);
  ctx.ImageUnfit = false;
  ctx.SetDone(kReadDone, false);
  if (ctx.InputPath.empty() || ctx.InputPath.size() >= kMaxPath) return Fail(ctx, caption, CommandOutcome::kRefused);
  uint64_t fileSize = platform::FileSizeOf(ctx.InputPath);
  if (!AllocateImage(ctx, fileSize)) return Fail(ctx, caption);
  FILE* f = std::fopen(ctx.InputPath.c_str(), "rb");
  if (f == nullptr) {
    ctx.Failure = platform::Status::Failed("read", ctx.InputPath, errno);
    return Fail(ctx, caption);
  }
  size_t want = static_cast<size_t>(ctx.FileSize & 0xFFFFFFFFu);
  // A run that only reads maps the file where the others copy it in: no
  // fresh memory to clear and fill, and the file's pages are shared with
  // the page cache until something writes one.  Only a regular file of the
  // size measured: anything else is read as before, short reads and all.
  struct stat st;
  const bool regular =
      fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) == fileSize;
  const bool mapped = ctx.MapInput && regular && platform::MapFileInto(ctx.Image, fileno(f), want);
  // The first touches of the AccessMap's pages, and of the mapped file's,
  // cost more than the scan's own work on them: they are made on the second
  // core, ahead of the scan rather than one by one in it, and the scan need
  // not wait for them.
  try {
    ctx.MapToucher = std::jthread([image = mapped ? ctx.Image : nullptr, &shadow = ctx.Shadow, want](
                                      std::stop_token stop) { TouchAhead(stop, image, want, shadow); });
  } catch (const std::system_error&) {
    // No thread: the scan touches the pages as it goes.
  }
  // In pieces, so that Ctrl-C during the read of a large hive on a slow
  // disk is seen before the whole file is in.
  size_t got = 0;
  int readError = 0;
  if (!mapped && regular && want >= 2 * kReadPiece) {
    got = ReadInHalves(ctx, fileno(f), want, &readError);
  } else {
    while (got < want && !ctx.Aborted()) {
      size_t piece = std::min(want - got, kReadPiece);
      size_t n = piece;
      if (mapped)
        platform::PopulateMapped(ctx.Image, got, piece);
      else
        n = std::fread(ctx.Image + got, 1, piece, f);
      got += n;
      if (n != piece) break;
    }
    if (std::ferror(f)) readError = errno;
  }
  bool aborted = ctx.Aborted();
  if (mapped && platform::MappedFileShrank() && !aborted) {
    got = 0;
    ctx.Failure = platform::Status::Failed("read", ctx.InputPath, EIO, "the file shrank while it was read");
  } else if (got != want && !aborted) {
    ctx.Failure = platform::Status::Failed("read", ctx.InputPath, readError != 0 ? readError : EIO);
  }
  std::fclose(f);
  if (aborted) return Aborted(ctx, caption);
  if (got != want) return Fail(ctx, caption);
  std::string logs;
  if (!txlog::RecoverAfterRead(ctx, &logs)) return Fail(ctx, caption);
  if (ctx.Aborted()) return Aborted(ctx, caption);
  ctx.CurrentFile = ctx.InputPath;
  ctx.ReportPath.clear();
  if (ctx.UI != nullptr) ctx.UI->AddRecentFile(kCtlReadFileCombo, ctx.CurrentFile);
  DoneWithSize(ctx, caption, ctx.FileSize, logs);
  TakeHiveVersion(ctx);
  ctx.SetDone(kReadDone, true);
  ctx.SetDone(kRepairDone, false);
  ctx.SetDone(kDefragDone, false);
  ctx.SetDone(kWriteDone, false);
  return CommandOutcome::kCompleted;
}

CommandOutcome WriteHive(HiveContext& ctx, const std::string& caption) {
  size_t size = static_cast<size_t>(ctx.FileSize & 0xFFFFFFFFu);
  if (ctx.Image == nullptr || ctx.ImageUnfit || ctx.CurrentFile.empty() || size > ctx.ImageSize)
    return Fail(ctx, caption, CommandOutcome::kRefused);
  if (ctx.Aborted()) return Aborted(ctx, caption);
  // Ctrl-C until the last moment before the rename leaves the old file.
  platform::WriteOptions options;
  options.proceed = [&ctx] { return !ctx.Aborted(); };
  options.privateFile = !platform::OthersMayRead(ctx.InputPath);
  if (platform::Status written = platform::WriteFileAtomic(ctx.CurrentFile, ctx.Image, size, options); !written) {
    if (ctx.Aborted()) return Aborted(ctx, caption);
    ctx.Failure = written;
    return Fail(ctx, caption);
  }
  DoneWithSize(ctx, caption, ctx.FileSize);
  if (ctx.Done(kRepairDone) || ctx.Done(kDefragDone)) ctx.SetDone(kWriteDone, true);
  return CommandOutcome::kCompleted;
}

CommandOutcome RunScan(HiveContext& ctx, const std::string& caption) {
  if (!ScanCommandAvailable(ctx.CommandId) || ctx.Image == nullptr)
    return Fail(ctx, caption, CommandOutcome::kRefused);
  if (ctx.UI != nullptr) ctx.UI->ClearPane();
  std::string reportPath = ReportPathOf(ctx, ctx.CommandId);
  // Written under a name of its own and renamed at the end, so that a report
  // that could not be finished never stands under its name; whoever may not
  // read the hive may not read its report either.
  std::string reportTemp;
  // A folder under the report's name would refuse only the last step.
  bool blocked = platform::IsDirectory(reportPath);
  platform::Status opened;
  int reportFd = reportPath.size() < kMaxPath && !blocked
                     ? platform::CreateBeside(reportPath, !platform::OthersMayRead(ctx.InputPath), &reportTemp, &opened)
                     : -1;
  std::unique_ptr<platform::StreamedWriter> sink = reportFd >= 0 ? platform::StreamedWriter::Over(reportFd) : nullptr;
  // No thread or memory for it: a stream does the same work.
  FILE* report = reportFd >= 0 && !sink ? platform::OpenStreamedFile(reportFd) : nullptr;
  if (!sink && report == nullptr) {
    int error = blocked ? EISDIR : reportFd >= 0 ? errno : opened.Code;
    if (reportFd >= 0) std::remove(reportTemp.c_str());
    ctx.Failure = platform::Status::Failed("write", reportPath, reportPath.size() < kMaxPath ? error : ENAMETOOLONG);
    if (ctx.UI != nullptr)
      ctx.UI->ShowStatus(0, Ansi(JapaneseText(TextId::kCannotOpenOutput)), ShownText(TextId::kCannotOpenOutput), "");
    NoteFileFailure(ctx);
    return CommandOutcome::kFailed;
  }
  ctx.ReportPath = reportPath;
  ctx.RegistryFailed = false;
  // A buffer of our own: given none, glibc keeps its 4 KiB one whatever size is asked.
  std::unique_ptr<char[]> reportBuffer(report != nullptr ? new (std::nothrow) char[kReportBuffer] : nullptr);
  if (reportBuffer) std::setvbuf(report, reportBuffer.get(), _IOFBF, kReportBuffer);
  ctx.ReportFile = report;
  ctx.ReportSink = sink.get();
  ctx.CommandFailed = false;
  ctx.ReportBytes = 0;
  ctx.ReportFull = false;
  ctx.ReportLimit = ReportLimitFor(ctx.FileSize);

  std::string now = NowText();
  char line[kLineBuffer + 64];
  // The report's own lines stay Japanese; the pane shows them in UTF-8
  // whatever the code page makes of them in the report.
  const std::string reportCaption = ControlCaptionUtf8(ctx.CommandId);
  FormatText(line, sizeof line, Ansi("[%s開始] %s").c_str(), caption.c_str(), now.c_str());
  LogLineShown(ctx, line, FormatShown("[%s開始] %s", reportCaption.c_str(), now.c_str()), kGreen);
  LogPaneShown(kBlack, ctx, "TextFileName=" + reportPath, "TextFileName=" + reportPath);
  txlog::LogRecoveryPhase(ctx);

  if (!ctx.AccessMapZero) ctx.Shadow.Clear();
  ctx.AccessMapZero = false;
  ctx.Rules = MakePassRules(ctx.CommandId, ctx.DiagnosticMode != 0);
  RegistryRebuild rebuild(ctx);
  ctx.Rebuild = ctx.Rules.RebuildCalls ? &rebuild : nullptr;
  ScanHive(ctx);
  ctx.Rebuild = nullptr;
  // The mapped file lost pages under the scan: what it reported of them is
  // not the file's.
  const bool shrank = platform::MappedFileShrank();
  if (shrank) {
    ctx.CommandFailed = true;
    ctx.Failure = platform::Status::Failed("read", ctx.CurrentFile, EIO, "the file shrank while it was examined");
  }
  FreeDescriptorList(ctx);

  now = NowText();
  bool aborted = ctx.Aborted();
  // A rebuild whose mount could not be opened or written back changed nothing.
  bool failed = (!aborted && ctx.CommandFailed) || ctx.RegistryFailed;
  if (ctx.RegistryFailed || shrank) NoteFileFailure(ctx);
  // The closing line is written even past the report limit, so that every
  // report says how its command ended.
  ctx.ReportFull = false;
  ctx.ReportLimit = 0;
  if (failed) {
    FormatText(line, sizeof line, Ansi("[%sに失敗しました] %s").c_str(), caption.c_str(), now.c_str());
    EmitFindingShown(ctx, FindingKind::kCommandFailed, kNoOffset, line,
                     FormatShown("[%sに失敗しました] %s", reportCaption.c_str(), now.c_str()));
  } else {
    const char* format = aborted ? "[%s中止] %s" : "[%s完了] %s";
    FormatText(line, sizeof line, Ansi(format).c_str(), caption.c_str(), now.c_str());
    LogLineShown(ctx, line, FormatShown(format, reportCaption.c_str(), now.c_str()), kGreen);
  }
  ctx.ReportFile = nullptr;
  ctx.ReportSink = nullptr;
  // The report is a result too: one that did not reach the disk is a failure,
  // and is removed rather than left half written.
  platform::Status kept =
      sink ? platform::CloseWrittenFile(*sink, reportPath) : platform::CloseWrittenFile(report, reportPath);
  if (!kept)
    std::remove(reportTemp.c_str());
  else
    kept = platform::RenameIntoPlace(reportTemp, reportPath);
  if (!kept) {
    ctx.Failure = kept;
    ctx.ReportPath.clear();
    failed = true;
    Fail(ctx, caption);
  } else if (failed) {
    CommandStatus(ctx, caption, TextId::kFailed, "");
  } else {
    if (aborted)
      CommandStatus(ctx, caption, TextId::kAborted, "");
    else
      DoneStatus(ctx, caption);
  }
  if (failed) {
    // Whatever a failed Repair or Defrag left in the image is not offered
    // for writing; a Search changed nothing.
    if (ctx.CommandId == kCmdRepair || ctx.CommandId == kCmdDefrag) {
      ctx.ImageUnfit = true;
      ctx.SetDone(kWriteDone, false);
    }
    return CommandOutcome::kFailed;
  }

  switch (ctx.CommandId) {
    case kCmdRebuild: ctx.SetDone(kRebuildDone, true); break;
    case kCmdDefrag:
      ctx.SetDone(kDefragDone, true);
      ctx.SetDone(kWriteDone, false);
      break;
    case kCmdRepair:
      ctx.SetDone(kRepairDone, true);
      ctx.SetDone(kWriteDone, false);
      break;
    default: break;
  }
  if (aborted) return CommandOutcome::kAborted;
  return ctx.ScanStopped ? CommandOutcome::kStoppedAtDamage : CommandOutcome::kCompleted;
}

CommandOutcome RunLive(HiveContext& ctx, const std::string& caption) {
  switch (ctx.CommandId) {
    case kCmdRegSave: {
      uint64_t size = 0;
      if (!RegSaveHive(ctx, &size)) return Fail(ctx, caption);
      DoneWithSize(ctx, caption, size);
      return CommandOutcome::kCompleted;
    }
    case kCmdHiveLoad: {
      if (!LoadHive(ctx)) return Fail(ctx, caption);
      DoneWithSize(ctx, caption, platform::FileSizeOf(ctx.InputPath));
      ctx.LoadedHivePath = ctx.InputPath;
      if (ctx.UI != nullptr) ctx.UI->AddRecentFile(kCtlLoadFileCombo, ctx.LoadedHivePath);
      ctx.SetDone(kHiveLoaded, true);
      ctx.SetDone(kDeleteDone, false);
      ctx.SetDone(kRebuildDone, false);
      return CommandOutcome::kCompleted;
    }
    case kCmdHiveUnload: {
      uint64_t size = 0;
      if (!UnloadHive(ctx, &size)) return Fail(ctx, caption);
      DoneWithSize(ctx, caption, size);
      ctx.SetDone(kHiveLoaded, false);
      ctx.SetDone(kDeleteDone, false);
      ctx.SetDone(kRebuildDone, false);
      ctx.LoadedHivePath.clear();
      if (ctx.UI != nullptr) ctx.UI->SetControlText(kCtlLoadFileCombo, ctx.LoadedHivePath);
      return CommandOutcome::kCompleted;
    }
    case kCmdDeleteSubkeys: {
      DeleteCounts counts;
      if (!DeleteSubkeys(ctx, ctx, &counts)) return Fail(ctx, caption);
      bool aborted = ctx.Aborted();
      if (aborted) {
        CommandStatus(ctx, caption, TextId::kAborted, "");
      } else {
        CommandStatus(ctx, caption, TextId::kDeleteDone, "", counts.RemainingKeys, counts.AccessedKeys,
                      counts.AccessedValues);
      }
      ctx.SetDone(kDeleteDone, true);
      return aborted ? CommandOutcome::kAborted : CommandOutcome::kCompleted;
    }
    default: return CommandOutcome::kRefused;
  }
}

}  // namespace

bool AllocateImage(HiveContext& ctx, uint64_t fileSize) {
  FreeImage(ctx);
  ctx.FileSize = fileSize;
  ctx.ReservePages = ReservePagesFor(fileSize);
  uint64_t imageSize = (fileSize & 0xFFFFFFFFu) + static_cast<uint64_t>(ctx.ReservePages) * kPageSize;
  // The AccessMap keeps 32-bit positions, so the image and its shadow must
  // stay addressable with them; a larger file is refused, never cut.
  if (fileSize > 0x7FFFFFFFu || imageSize > 0x7FFFFFFFu) return false;
  const size_t bytes = static_cast<size_t>(imageSize);
  uint8_t* image = platform::AllocateZeroed(bytes);
  if (image == nullptr) return false;
  if (!ctx.Shadow.Reset(static_cast<uint32_t>(imageSize))) {
    platform::FreeZeroed(image, bytes);
    return false;
  }
  ctx.ImageSize = static_cast<uint32_t>(imageSize);
  ctx.ImageOwner = std::unique_ptr<uint8_t, ImageFree>(image, ImageFree{bytes});
  ctx.Image = image;
  ctx.AccessMapZero = true;
  return true;
}

void TakeHiveVersion(HiveContext& ctx) {
  const BaseBlock bb{HiveImage(ctx)};
  ctx.HiveMajorVersion = bb.MajorVersion();
  ctx.HiveMinorVersion = bb.MinorVersion();
}

uint32_t ReservePagesFor(uint64_t fileSize) {
  uint64_t pages = (fileSize / kPageSize) / 5;
  return pages < 128 ? 128u : static_cast<uint32_t>(pages > 0xFFFFFFFFu ? 0xFFFFFFFFu : pages);
}

namespace {

const char* CommandWord(int32_t commandId) {
  switch (commandId) {
    case kCmdSearchDates: return "search";
    case kCmdSearchNoDates: return "search-nodates";
    case kCmdRepair: return "repair";
    case kCmdDefrag: return "defrag";
    case kCmdRebuild: return "rebuild";
    default: return nullptr;
  }
}

}  // namespace

std::string ReportFileName(const HiveContext& ctx) { return ReportFileName(ctx, ctx.CommandId); }

std::string ReportPathOf(const HiveContext& ctx, int32_t commandId) {
  const std::string& folder = ctx.OutputFolder;
  bool slash = !folder.empty() && folder.back() == '/';
  return folder + (slash ? "" : "/") + ReportFileName(ctx, commandId);
}

std::string ReportFileName(const HiveContext& ctx, int32_t commandId) {
  int32_t primary = 0, secondary = 0;
  if (ctx.Image != nullptr && ctx.ImageSize >= 12) {
    const BaseBlock bb{HiveImage(ctx.Image, ctx.ImageSize)};
    primary = static_cast<int32_t>(bb.PrimarySequence());
    secondary = static_cast<int32_t>(bb.SecondarySequence());
  }
  // A recovered hive keeps the name of the file as it was read.
  if (ctx.LogOutcome && ctx.LogOutcome->Applied) {
    primary = static_cast<int32_t>(ctx.LogOutcome->ReadPrimary);
    secondary = static_cast<int32_t>(ctx.LogOutcome->ReadSecondary);
  }
  std::string ending = ".txt";
  if (const char* word = CommandWord(commandId))
    ending = std::string(".") + word + (ctx.NoLogs ? "-nologs" : "") + ending;
  char name[kMaxPath + 64];
  FormatText(name, sizeof name, "%s_%d_%d%s", platform::FileNameOf(ctx.CurrentFile).c_str(), primary, secondary,
             ending.c_str());
  return name;
}

void FreeImage(HiveContext& ctx) {
  if (ctx.MapToucher.joinable()) {
    ctx.MapToucher.request_stop();
    ctx.MapToucher.join();
  }
  ctx.ImageOwner.reset();
  ctx.Shadow.Release();
  ctx.Image = nullptr;
  ctx.ImageSize = 0;
}

CommandOutcome RunCommand(HiveContext& ctx) {
  if (ctx.UI != nullptr) ctx.UI->SetStatusLayout(StatusLayout::kBusy);
  ThreadCountText(ctx, 1, platform::IncrementThreadCount());
  if (ctx.UI != nullptr) ctx.UI->UpdateButtonStates(ctx);
  std::string caption = CommandCaption(ctx, ctx.CommandId);
  // The passes and the live commands name the command in their status texts.
  ctx.CaptionAnsi = caption;
  ctx.CaptionShown = ShownCaption(ctx.CommandId);
  if (ctx.UI != nullptr) ctx.UI->ShowStatus(0, caption, ShownCaption(ctx.CommandId), "");
  ctx.Failure = platform::Status();

  CommandOutcome outcome = CommandOutcome::kRefused;
  switch (ctx.CommandId) {
    case kCmdRead: outcome = ReadHive(ctx, caption); break;
    case kCmdWrite: outcome = WriteHive(ctx, caption); break;
    case kCmdSearchDates:
    case kCmdSearchNoDates:
    case kCmdRepair:
    case kCmdDefrag:
    case kCmdRebuild: outcome = RunScan(ctx, caption); break;
    case kCmdRegSave:
    case kCmdHiveLoad:
    case kCmdDeleteSubkeys:
    case kCmdHiveUnload: outcome = RunLive(ctx, caption); break;
    default: break;
  }
  // The pool's pages are followed only while a scan makes blocks.
  if (ctx.CommandId != kCmdRead) ctx.MapToucher.request_stop();

  int32_t left = platform::DecrementThreadCount();
  ThreadCountText(ctx, 1, left);
  ctx.Busy.store(0);
  ctx.AbortRequested.store(0);
  if (ctx.UI != nullptr) {
    ctx.UI->SetStatusLayout(StatusLayout::kIdle);
    ThreadCountText(ctx, 8, left);
    ctx.UI->UpdateButtonStates(ctx);
    ctx.UI->RepaintDoneFlags();
  }
  return outcome;
}

bool StartCommand(HiveContext& ctx, int32_t id, platform::WorkerThread& worker, CommandOutcome* outcome) {
  uint8_t idle = 0;
  if (!ctx.Busy.compare_exchange_strong(idle, 1)) return false;
  worker.Join();
  ctx.CommandId = id;
  if (!worker.Start([&ctx, outcome] {
        CommandOutcome result = RunCommand(ctx);
        if (outcome != nullptr) *outcome = result;
      })) {
    ctx.Busy.store(0);
    return false;
  }
  return true;
}

}  // namespace quelbrix
