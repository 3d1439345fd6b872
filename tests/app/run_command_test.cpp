// RunCommand: Read (reserve pages, done flags, status texts), Write (back
// unchanged, atomic on failure), the report file of the scan commands (its
// name, its CR LF lines in code page 932) and the status bar around a command.
#include "app/run_command.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "app/frontend.h"
#include "core/report_log.h"
#include "platform/files.h"
#include "support/hive_builder.h"
#include "support/hive_fixture.h"
#include "support/large_hive.h"

namespace quelbrix {
namespace {

using testing::HiveBuilder;
using testing::HiveOptions;
using testing::HiveRun;
using testing::ReadBytes;

std::vector<uint8_t> SoundHive(uint32_t primary = 1, uint32_t secondary = 1) {
  HiveOptions o;
  o.primarySequence = primary;
  o.secondarySequence = secondary;
  HiveBuilder b(o);
  testing::Key k = b.AddKey(b.Root(), "Key");
  b.AddValue(k, "Value", 4, {1, 0, 0, 0});
  return b.Build();
}

size_t FilesIn(const std::string& folder) {
  size_t n = 0;
  for (auto it = std::filesystem::directory_iterator(folder); it != std::filesystem::directory_iterator(); ++it) ++n;
  return n;
}

TEST(ReservePages, AFifthOfTheFilePagesButAtLeast128) {
  EXPECT_EQ(ReservePagesFor(0), 128u);
  EXPECT_EQ(ReservePagesFor(4096), 128u);
  EXPECT_EQ(ReservePagesFor(10u * 1024 * 1024), 512u);
  EXPECT_EQ(ReservePagesFor(644ull * 4096), 128u);
  EXPECT_EQ(ReservePagesFor(645ull * 4096), 129u);
  EXPECT_EQ(ReservePagesFor(645ull * 4096 + 4095), 129u);
}

TEST(Read, SizesTheImageWithItsReservePages) {
  HiveRun small;
  ASSERT_TRUE(small.Load(std::vector<uint8_t>(4096, 0x41), "four_k"));
  EXPECT_EQ(small.ctx.FileSize, 4096u);
  EXPECT_EQ(small.ctx.ReservePages, 128u);
  EXPECT_EQ(small.ctx.ImageSize, 4096u + 524288u);
  // File bytes, then zero reserve pages, and a zero AccessMap of the same length.
  const uint8_t* image = small.ctx.Image;
  EXPECT_EQ(image[4095], 0x41);
  bool zero = true;
  for (size_t i = 4096; i < small.ctx.ImageSize; ++i) zero = zero && image[i] == 0;
  EXPECT_TRUE(zero);
  EXPECT_EQ(small.ctx.Shadow.Size(), small.ctx.ImageSize);
  EXPECT_EQ(small.ctx.Shadow.BlockBytes(), 0u);

  HiveRun big;
  ASSERT_TRUE(big.Load(std::vector<uint8_t>(10u * 1024 * 1024, 0), "ten_mb"));
  EXPECT_EQ(big.ctx.ReservePages, 512u);
  EXPECT_EQ(big.ctx.ImageSize, 10u * 1024 * 1024 + 512u * 4096);
}

TEST(Read, ALargeFileComesInWholeWhereverItsPiecesAreRead) {
  // Large enough to be read in two halves at once, and not a whole number of
  // pieces or pages: every byte at its offset, the reserve after it zero.
  std::vector<uint8_t> bytes((65u << 20) + 4096 * 3 + 100);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>((i * 2654435761u) >> 13);
  HiveRun run;
  ASSERT_TRUE(run.Load(bytes, "large"));
  ASSERT_EQ(run.ctx.FileSize, bytes.size());
  const uint8_t* image = run.ctx.Image;
  size_t firstWrong = bytes.size();
  for (size_t i = 0; i < bytes.size() && firstWrong == bytes.size(); ++i)
    if (image[i] != bytes[i]) firstWrong = i;
  EXPECT_EQ(firstWrong, bytes.size());
  bool zero = true;
  for (size_t i = bytes.size(); i < run.ctx.ImageSize; ++i) zero = zero && image[i] == 0;
  EXPECT_TRUE(zero);
  // Ctrl-C stops both halves and keeps nothing of them.
  run.ctx.AbortRequested.store(1);
  EXPECT_EQ(run.Run(kCmdRead), CommandOutcome::kAborted);
  EXPECT_FALSE(run.ctx.Done(kReadDone));
  EXPECT_EQ(run.ctx.Image, nullptr);
}

TEST(Read, SetsTheDoneFlagsStatusAndRecentFiles) {
  HiveRun run;
  for (DoneFlag f : {kRepairDone, kDefragDone, kWriteDone, kHiveLoaded}) run.ctx.SetDone(f, true);
  ASSERT_TRUE(run.Load(SoundHive()));
  EXPECT_TRUE(run.ctx.Done(kReadDone));
  EXPECT_FALSE(run.ctx.Done(kRepairDone));
  EXPECT_FALSE(run.ctx.Done(kDefragDone));
  EXPECT_FALSE(run.ctx.Done(kWriteDone));
  EXPECT_TRUE(run.ctx.Done(kHiveLoaded));  // not Read's business
  EXPECT_EQ(run.ctx.CurrentFile, run.HivePath());
  EXPECT_EQ(run.ctx.HiveMajorVersion, 1u);
  EXPECT_EQ(run.ctx.HiveMinorVersion, 5u);
  EXPECT_EQ(run.ui.RecentFiles(kCtlReadFileCombo), std::vector<std::string>{run.HivePath()});
  EXPECT_EQ(run.StatusUtf8(), "読込完了 FileSize=8192");
  EXPECT_EQ(run.ImageBytes(), ReadBytes(run.HivePath()));

  // The status bar around the command: busy, then idle with the thread count.
  std::vector<std::string> part0 = run.ui.StatusTexts(0);
  ASSERT_EQ(part0.size(), 2u);
  EXPECT_EQ(part0[0], Ansi("読込"));
  EXPECT_EQ(run.ui.StatusTexts(1), (std::vector<std::string>{"thread=1", "thread=0"}));
  EXPECT_EQ(run.ui.StatusTexts(8), std::vector<std::string>{"thread=0"});
  EXPECT_EQ(run.ui.Layouts(), (std::vector<StatusLayout>{StatusLayout::kBusy, StatusLayout::kIdle}));
  EXPECT_EQ(run.ctx.Busy.load(), 0);
  EXPECT_EQ(run.ctx.AbortRequested.load(), 0);
}

TEST(Read, MissingFileFails) {
  HiveRun run;
  run.ctx.InputPath = run.dir.File("absent");
  EXPECT_EQ(run.Run(kCmdRead), CommandOutcome::kFailed);
  EXPECT_EQ(run.StatusUtf8(), "読込に失敗しました");
  EXPECT_FALSE(run.ctx.Done(kReadDone));
  EXPECT_TRUE(run.ui.RecentFiles(kCtlReadFileCombo).empty());
}

TEST(Write, RightAfterReadWritesTheFileBackUnchanged) {
  HiveRun run;
  std::vector<uint8_t> bytes = SoundHive();
  ASSERT_TRUE(run.Load(bytes));
  EXPECT_EQ(run.Run(kCmdWrite), CommandOutcome::kCompleted);
  EXPECT_EQ(run.StatusUtf8(), "書込完了 FileSize=8192");
  EXPECT_EQ(ReadBytes(run.HivePath()), bytes);
  EXPECT_FALSE(run.ctx.Done(kWriteDone));
  EXPECT_EQ(FilesIn(run.dir.Path()), 1u);  // no temporary file left behind
}

TEST(Write, AfterARepairWritesFileSizeBytesAndSetsWriteDone) {
  HiveRun run;
  std::vector<uint8_t> bytes = SoundHive();
  bytes.resize(bytes.size() + 4096, 0);
  ASSERT_TRUE(run.Load(bytes));
  run.ctx.SetDone(kRepairDone, true);
  run.ctx.Image[4096 + 0x20 + 8] ^= 0xFF;  // as a repair would change a byte
  run.ctx.FileSize = 8192;                 // and drop the excess page
  run.Run(kCmdWrite);
  std::vector<uint8_t> written = ReadBytes(run.HivePath());
  ASSERT_EQ(written.size(), 8192u);
  EXPECT_EQ(written[4096 + 0x20 + 8], static_cast<uint8_t>(bytes[4096 + 0x20 + 8] ^ 0xFF));
  EXPECT_TRUE(run.ctx.Done(kWriteDone));
}

// A Write that fails part way leaves the old file as it was.
void ExpectFailedWriteKeepsTheOldFile(HiveRun& run, const std::vector<uint8_t>& old) {
  EXPECT_EQ(run.StatusUtf8(), "書込に失敗しました");
  EXPECT_EQ(ReadBytes(run.HivePath()), old);
  EXPECT_FALSE(run.ctx.Done(kWriteDone));
  EXPECT_EQ(FilesIn(run.dir.Path()), 1u);
}

TEST(Write, FailingWriteKeepsTheOldFile) {
  HiveRun run;
  std::vector<uint8_t> old = SoundHive();
  ASSERT_TRUE(run.Load(old));
  run.ctx.SetDone(kRepairDone, true);
  run.ctx.Image[4096 + 0x20 + 8] ^= 0xFF;
  // A file-size limit below the hive's size makes the write itself fail,
  // whatever the permissions of the user running the test.
  struct rlimit saved {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  struct rlimit low = saved;
  low.rlim_cur = 4096;
  auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &low), 0);
  EXPECT_EQ(run.Run(kCmdWrite), CommandOutcome::kFailed);
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, oldHandler);
  ExpectFailedWriteKeepsTheOldFile(run, old);
}

TEST(Write, IntoAReadOnlyFolderKeepsTheOldFile) {
  HiveRun run;
  std::vector<uint8_t> old = SoundHive();
  ASSERT_TRUE(run.Load(old));
  ASSERT_EQ(chmod(run.dir.Path().c_str(), 0555), 0);
  if (geteuid() != 0) {
    run.Run(kCmdWrite);
    chmod(run.dir.Path().c_str(), 0755);
    ExpectFailedWriteKeepsTheOldFile(run, old);
    return;
  }
  // Folder permissions do not stop root: the Write runs as nobody in a child,
  // which may write the file itself, as its owner could.
  ASSERT_EQ(chmod(run.HivePath().c_str(), 0666), 0);
  // The child holds this thread alone: the Read's toucher must be over, and a
  // child that hangs all the same dies in a minute rather than stall the run.
  if (run.ctx.MapToucher.joinable()) run.ctx.MapToucher.join();
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    alarm(60);
    if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0)
      _exit(3);
    run.Run(kCmdWrite);
    _exit(run.StatusUtf8() == "書込に失敗しました" && !run.ctx.Done(kWriteDone) ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  chmod(run.dir.Path().c_str(), 0755);
  ASSERT_TRUE(WIFEXITED(status)) << "the child died of signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  EXPECT_EQ(WEXITSTATUS(status), 0) << "3: could not become nobody; 1: the Write did not fail as it should";
  EXPECT_EQ(ReadBytes(run.HivePath()), old);
  EXPECT_EQ(FilesIn(run.dir.Path()), 1u);
}

TEST(ReportFile, NameCarriesBothSequenceNumbers) {
  HiveRun run;
  ASSERT_TRUE(run.Load(SoundHive(5, 7)));
  EXPECT_EQ(ReportFileName(run.ctx), "hive_5_7.txt");
  EXPECT_EQ(ReportFileName(run.ctx, kCmdSearchNoDates), "hive_5_7.search-nodates.txt");
  HiveRun system;
  ASSERT_TRUE(system.Load(SoundHive(1234, 1234), "SYSTEM"));
  system.ctx.NoLogs = true;
  EXPECT_EQ(ReportFileName(system.ctx, kCmdRepair), "SYSTEM_1234_1234.repair-nologs.txt");
}

TEST(ReportFile, SearchWritesCrLfLinesInCodePage932) {
  testing::CodePageScope cp(932);
  HiveRun run;
  ASSERT_TRUE(run.Load(SoundHive(5, 7)));
  run.Run(kCmdSearchDates);
  EXPECT_EQ(run.ReportPath(), run.dir.File("hive_5_7.search.txt"));
  std::vector<uint8_t> bytes = ReadBytes(run.ReportPath());
  ASSERT_FALSE(bytes.empty());
  size_t bareLf = 0;
  for (size_t i = 0; i < bytes.size(); ++i) bareLf += bytes[i] == '\n' && (i == 0 || bytes[i - 1] != '\r');
  EXPECT_EQ(bareLf, 0u);
  EXPECT_EQ(bytes[bytes.size() - 2], '\r');
  // "[検索(日付有)開始] " in code page 932.
  const std::string start = "[\x8C\x9F\x8D\xF5(\x93\xFA\x95t\x97L)\x8AJ\x8En] ";
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + start.size()), start);
  std::vector<std::string> lines = run.ReportLinesUtf8();
  EXPECT_EQ(lines.back().rfind("[検索(日付有)完了] ", 0), 0u);
  EXPECT_NE(std::find(lines.begin(), lines.end(), "regfSequence Error=5.7"), lines.end());
  // The pane names the report; Search leaves the sequence numbers unequal.
  EXPECT_GE(run.ui.FindPane("TextFileName=" + run.ReportPath()), 0);
  EXPECT_EQ(run.StatusUtf8(), "検索(日付有)完了");
  EXPECT_EQ(ReportFileName(run.ctx), "hive_5_7.search.txt");
}

TEST(ReportFile, RepairReportIsNamedBeforeTheNumbersAreEqualised) {
  HiveRun run;
  ASSERT_TRUE(run.Load(SoundHive(5, 7)));
  run.Run(kCmdRepair);
  EXPECT_TRUE(std::filesystem::exists(run.dir.File("hive_5_7.repair.txt")));
  EXPECT_EQ(ReportFileName(run.ctx), "hive_5_5.repair.txt");
  EXPECT_TRUE(run.ctx.Done(kRepairDone));
  EXPECT_FALSE(run.ctx.Done(kWriteDone));
}

TEST(ReportFile, UnwritableOutputFolderEndsTheCommand) {
  HiveRun run;
  ASSERT_TRUE(run.Load(SoundHive()));
  run.ctx.OutputFolder = run.dir.File("missing");
  EXPECT_EQ(run.Run(kCmdSearchNoDates), CommandOutcome::kFailed);
  EXPECT_EQ(run.StatusUtf8(), "出力ファイルを開けません");
  EXPECT_EQ(run.ctx.ReportFile, nullptr);
  // Only the reason, in red: the file and what the system said.
  std::string reason = "write failed: " + run.ctx.OutputFolder + "/" + ReportFileName(run.ctx) +
                       ": No such file or directory";
  ASSERT_EQ(run.ui.Pane().size(), 1u);
  EXPECT_EQ(run.ui.Pane()[0].text, reason);
  EXPECT_EQ(run.ui.Pane()[0].colour, kRed);
  EXPECT_EQ(run.ctx.Failure.Text(), reason);
}

// Ctrl-C that reaches Read keeps no image to scan or write; one that comes
// while a write's bytes go to disk leaves the old file and no temporary file.
// A Search of the mapped file writes the report a Search of the copy writes,
// on a sound large hive, on one large enough that the copy comes in by two
// threads, and on a damaged one, and leaves the file as it was.
TEST(ReportFile, SearchOfTheMappedFileReportsAsOfTheCopy) {
  HiveBuilder damaged;
  damaged.AddValue(damaged.AddKey(damaged.Root(), "K"), "V", 1, {'a', 0, 'b', 0});
  std::vector<uint8_t> broken = damaged.Build();
  broken[0x1000 + 0x20 + 4 + 0x48] ^= 0x40;  // the root's name length: a fault in the walk
  const std::regex clock(R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2})");
  for (uint64_t size : {uint64_t{3} << 20, uint64_t{66} << 20, uint64_t{0}}) {
    const bool damage = size == 0;
    const std::vector<uint8_t> hive = damage ? broken : testing::MakeLargeHive(size, 5, 7);
    ASSERT_GE(hive.size(), size);
    std::vector<std::string> reports[2];
    uint32_t faults[2] = {};
    for (int mapped = 0; mapped < 2; ++mapped) {
      HiveRun run;
      run.ctx.MapInput = mapped != 0;
      ASSERT_TRUE(run.Load(hive));
      run.Run(kCmdSearchDates);
      faults[mapped] = run.ctx.FaultLines;
      // Every byte the report was given, and nothing of the room reserved past them.
      EXPECT_EQ(platform::FileSizeOf(run.ctx.ReportPath), run.ctx.ReportBytes);
      for (const std::string& line : run.ReportLines())
        if (line.rfind("FileName=", 0) != 0 && line.rfind("TextFileName=", 0) != 0)
          reports[mapped].push_back(std::regex_replace(line, clock, "T"));
      EXPECT_EQ(ReadBytes(run.ctx.InputPath), hive);
    }
    ASSERT_GT(reports[0].size(), 10u);
    EXPECT_EQ(reports[1], reports[0]);
    EXPECT_EQ(faults[1], faults[0]);
    EXPECT_EQ(faults[0] > 0, damage);
  }
}

TEST(Abort, ReadAndWriteKeepNothing) {
  HiveRun run;
  std::vector<uint8_t> bytes = SoundHive();
  ASSERT_TRUE(run.Load(bytes));
  run.ctx.AbortRequested.store(1);
  EXPECT_EQ(run.Run(kCmdRead), CommandOutcome::kAborted);
  EXPECT_EQ(run.StatusUtf8(), "読込中止");
  EXPECT_FALSE(run.ctx.Done(kReadDone));
  EXPECT_EQ(run.ctx.Image, nullptr);

  std::string path = run.dir.File("target");
  ASSERT_TRUE(testing::WriteBytes(path, bytes));
  size_t before = FilesIn(run.dir.Path());
  platform::WriteOptions stop;
  stop.proceed = [] { return false; };
  EXPECT_EQ(platform::WriteFileAtomic(path, "new", 3, stop).Code, ECANCELED);
  EXPECT_EQ(ReadBytes(path), bytes);
  EXPECT_EQ(FilesIn(run.dir.Path()), before);
}

// The outcome says what happened without reading the status text back.
TEST(Outcome, TellsCompletedStoppedAbortedAndRefused) {
  HiveRun sound;
  ASSERT_TRUE(sound.Load(SoundHive()));
  EXPECT_EQ(sound.Run(kCmdSearchDates), CommandOutcome::kCompleted);
  sound.ctx.AbortRequested.store(1);
  EXPECT_EQ(sound.Run(kCmdSearchNoDates), CommandOutcome::kAborted);
  EXPECT_EQ(sound.StatusUtf8(), "検索(日付無)中止");
  EXPECT_EQ(sound.Run(kCmdExit), CommandOutcome::kRefused);

  std::vector<uint8_t> broken = SoundHive();
  broken[4096] = 'x';  // the first bin's signature
  HiveRun damaged;
  ASSERT_TRUE(damaged.Load(broken));
  EXPECT_EQ(damaged.Run(kCmdRepair), CommandOutcome::kStoppedAtDamage);
  EXPECT_EQ(damaged.StatusUtf8(), "修正完了");

  HiveRun empty;
  EXPECT_EQ(empty.Run(kCmdSearchDates), CommandOutcome::kRefused);
}

TEST(CommandCaption, IsTheButtonTextInTheAnsiCodePage) {
  testing::CodePageScope cp(932);
  HiveContext ctx;
  EXPECT_EQ(CommandCaption(ctx, kCmdRepair), "\x8F\x43\x90\xB3");  // "修正"
  EXPECT_EQ(CommandCaption(ctx, 4711), "");
}

}  // namespace
}  // namespace quelbrix
