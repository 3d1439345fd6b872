// Ctrl-C while a command runs: the pass stops, the status says so, the exit
// status is 130, and an aborted Repair writes no hive.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "support/hive_fixture.h"
#include "support/large_hive.h"
#include "support/run_process.h"

namespace quelbrix::testing {
namespace {

TEST(CliAbort, InterruptEndsTheCommandWithStatus130AndWritesNothing) {
  TempDir dir;
  std::string hive = dir.File("large.hiv");
  // Large enough that the scan is still running when the interrupt arrives.
  ASSERT_TRUE(WriteBytes(hive, MakeLargeHive(48u << 20, 5, 3)));
  std::string written = dir.File("out.hiv");
  struct Case {
    std::vector<std::string> args;
    const char* status;
  };
  const Case cases[] = {{{"search", hive}, "検索(日付有)中止"}, {{"repair", hive, "-o", written}, "修正中止"}};
  for (const Case& c : cases) {
    std::vector<std::string> argv = {QUELBRIX_CLI};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    argv.insert(argv.end(), {"--output-dir", dir.Path(), "--quiet"});
    bool cueSeen = false;
    // Read ends with its status line; the scan starts after it.
    ProcessResult run = RunProcessAndSignal(argv, "読込完了", SIGINT, &cueSeen);
    ASSERT_TRUE(cueSeen) << run.err;
    // 130 alone could be the signal's own end; the status line shows the
    // command saw the abort and ended in order.
    EXPECT_EQ(run.status, 130) << c.status << "\n" << run.err;
    EXPECT_NE(run.err.find(c.status), std::string::npos) << run.err;
    EXPECT_FALSE(std::filesystem::exists(written));
  }
}

// A Ctrl-C that arrives before the first command (pending when the program
// starts) is not lost: no step runs, nothing is written, the status is 130.
TEST(CliAbort, InterruptAtTheFirstInstantWritesNothing) {
  TempDir dir;
  std::string hive = dir.File("hive.hiv");
  const std::vector<uint8_t> bytes = MakeLargeHive(2u << 20, 5, 1);
  ASSERT_TRUE(WriteBytes(hive, bytes));
  std::string written = dir.File("out.hiv");
  const std::vector<std::vector<std::string>> commands = {
      {"search", hive}, {"defrag", hive, "--write"}, {"repair", hive, "-o", written}, {"export", hive, "-o", written}};
  for (const auto& command : commands) {
    // SIGINT blocked and sent before the exec: both survive it, so the signal
    // is pending at the program's first instant, every run.
    std::vector<std::string> argv = {"python3", "-c",
                                     "import os, signal, sys\n"
                                     "signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGINT])\n"
                                     "os.kill(os.getpid(), signal.SIGINT)\n"
                                     "os.execv(sys.argv[1], sys.argv[1:])",
                                     QUELBRIX_CLI};
    argv.insert(argv.end(), command.begin(), command.end());
    argv.insert(argv.end(), {"--output-dir", dir.Path(), "--quiet"});
    ProcessResult run = RunProcess(argv);
    const std::string what = command[0] + " " + command.back();
    // The program ended itself; the signal's default action would also give 130.
    EXPECT_EQ(run.signal, 0) << what;
    EXPECT_EQ(run.status, 130) << what << "\n" << run.err;
    if (command[0] != "export") {
      EXPECT_NE(run.err.find("読込中止"), std::string::npos) << what << "\n" << run.err;
    }
    EXPECT_EQ(ReadBytes(hive), bytes) << what;
    // No report, backup, output or temporary file.
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) names.push_back(entry.path().filename());
    EXPECT_EQ(names, std::vector<std::string>{"hive.hiv"}) << what;
  }
}

}  // namespace
}  // namespace quelbrix::testing
