// Hive rebuild end to end through the quelbrix command, on every shared hive:
// Reg save of the machine's SYSTEM hive, Hive load of the saved .tmp, Delete
// subkeys, Hive rebuild, Hive unload.  python3-hivex then lists in the
// unloaded file the original's keys and values, whole whatever the ANSI code
// page, each key with its class, descriptor and last-write time; regfinfo and
// reglookup open the file and Search finds no fault in it.  A second round
// mounts the filled file again, empties it with Delete subkeys (every key and
// value counted, none left) and rebuilds it under the UTF-8 code page.
//
// A rebuild killed at any moment leaves the mounted file as it was or as the
// finished rebuild writes it, and the next run still finds the mount.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "app/context.h"
#include "platform/text.h"
#include "registry/hive_reader.h"
#include "registry/mount_table.h"
#include "registry/registry_test_util.h"
#include "support/hive_builder.h"
#include "support/hive_fixture.h"
#include "support/run_process.h"
#include "support/shared_hives.h"

extern char** environ;

namespace quelbrix::testing {
namespace {

namespace fs = std::filesystem;

// Rebuild scans its source: a dirty shared hive completes with 3 (damage found).
bool Completed(int status) { return status == 0 || status == 3; }

// From the source folder's absolute path: ccache may make __FILE__ relative.
std::string ComparerScript() { return std::string(QUELBRIX_TESTS_SOURCE) + "/live/rebuild_compare.py"; }

// The machine registry and output folder of one workflow.
class Workflow {
 public:
  explicit Workflow(const std::string& folder) : folder_(folder) {
    fs::remove_all(folder_);
    fs::create_directories(Registry());
    // Reg save saves only a hive the machine registry holds: an empty SYSTEM
    // stands for the target machine's.
    HiveBuilder empty;
    empty.Build();
    empty.WriteTo(Registry() + "/SYSTEM");
  }
  ~Workflow() { fs::remove_all(folder_); }

  ProcessResult Run(std::vector<std::string> args, int codePage = 932) const {
    args.insert(args.begin(), QUELBRIX_CLI);
    args.insert(args.end(), {"--output-dir", folder_ + "/out", "--registry-root", Registry(), "--codepage",
                             std::to_string(codePage), "--quiet", "--no-color", "--no-diagnostic"});
    return RunProcess(args);
  }
  std::string Tmp() const { return folder_ + "/out/SYSTEM.tmp"; }
  std::string Registry() const { return folder_ + "/reg"; }
  const std::string& Folder() const { return folder_; }

  // Reg save SYSTEM, then Hive load of the saved file.
  void SaveAndLoad() const {
    ProcessResult save = Run({"regsave", "SYSTEM"});
    ASSERT_EQ(save.status, 0) << save.err;
    EXPECT_NE(save.err.find("Ｒｅｇ保存完了 FileSize="), std::string::npos) << save.err;
    Load();
  }
  void Load() const {
    ProcessResult load = Run({"load", Tmp()});
    ASSERT_EQ(load.status, 0) << load.err;
    EXPECT_NE(load.err.find("ハイブロード完了 FileSize="), std::string::npos) << load.err;
  }
  void Unload() const {
    ProcessResult unload = Run({"unload"});
    ASSERT_EQ(unload.status, 0) << unload.err;
    EXPECT_TRUE(registry::ReadMountTable(Registry()).empty());
  }

 private:
  std::string folder_;
};

struct Counts {
  long remaining = -1, keys = -1, values = -1;
};

Counts DeleteCountsOf(const std::string& status) {
  std::smatch m;
  Counts c;
  static const std::regex kDone("サブキー削除完了 残りキー=(\\d+) アクセスキー=(\\d+) アクセスデータ=(\\d+)");
  if (std::regex_search(status, m, kDone)) c = {std::stol(m[1]), std::stol(m[2]), std::stol(m[3])};
  return c;
}

// Runs the comparison script: true with the rebuilt hive's key and value
// counts, else false with the script's findings in *failure.
bool SameAsOriginal(const std::string& original, const std::string& rebuilt, int codePage, long* keys, long* values,
                    std::string* failure) {
  ProcessResult r = RunProcess({"/usr/bin/python3", ComparerScript(), original, rebuilt, std::to_string(codePage)});
  std::smatch m;
  static const std::regex kLine("keys=(\\d+) values=(\\d+)");
  if (r.status != 0 || !std::regex_search(r.out, m, kLine)) {
    *failure = r.out.substr(0, 3000) + r.err.substr(0, 1000);
    return false;
  }
  *keys = std::stol(m[1]);
  *values = std::stol(m[2]);
  return true;
}

class RebuildWorkflow : public ::testing::TestWithParam<SharedHive> {};

TEST_P(RebuildWorkflow, UnloadedHiveHoldsTheOriginalsKeysValuesClassesAndDescriptors) {
  const SharedHive& hive = GetParam();
  std::string error;
  std::string original = DecompressedPath(hive, &error);
  ASSERT_FALSE(original.empty()) << error;
  Workflow w((fs::temp_directory_path() / ("quelbrix-rebuild-" + TestNameOf(hive.name) + "-" +
                                           std::to_string(::getpid())))
                 .string());
  w.SaveAndLoad();
  ProcessResult emptied = w.Run({"delete-subkeys"});
  ASSERT_EQ(emptied.status, 0) << emptied.err;
  Counts none = DeleteCountsOf(emptied.err);
  EXPECT_EQ(none.remaining, 0) << emptied.err;  // a saved empty machine hive
  EXPECT_EQ(none.keys, 0);
  EXPECT_EQ(none.values, 0);

  ProcessResult rebuild = w.Run({"rebuild", original});
  if (hive.corrupted) {
    // The damaged bins stop the scan before the key walk: nothing is written,
    // the run ends without a crash and the mount stays usable.
    EXPECT_EQ(rebuild.status, 1) << rebuild.err;
    EXPECT_NE(rebuild.err.find("the scan stopped at damage"), std::string::npos) << rebuild.err;
    w.Unload();
    ExpectOraclesAccept(w.Tmp());
    registry::RegistryTree tree;
    platform::Status read = registry::ReadHiveFile(w.Tmp(), &tree);
    ASSERT_TRUE(read) << read.Text();
    EXPECT_TRUE(tree.Root->Subkeys.empty());
    EXPECT_TRUE(tree.Root->Values.empty());
    return;
  }
  ASSERT_TRUE(Completed(rebuild.status)) << rebuild.status << rebuild.err;
  EXPECT_NE(rebuild.err.find("ハイブ再構築完了"), std::string::npos) << rebuild.err;
  w.Unload();
  ExpectOraclesAccept(w.Tmp());
  long keys = 0, values = 0;
  std::string failure;
  ASSERT_TRUE(SameAsOriginal(original, w.Tmp(), 932, &keys, &values, &failure)) << failure;
  EXPECT_GT(keys, 1);
  {
    HiveRun search;
    ASSERT_TRUE(search.Load(ReadBytes(w.Tmp()), "SYSTEM.tmp"));
    search.Run(kCmdSearchNoDates);
    // Value types above 11 are the original's content, kept as they were.
    for (const auto& line : search.ui.Pane()) {
      if (line.text == "data type unknown") continue;
      ASSERT_NE(line.colour, 255u) << "Search of the rebuilt hive: " << platform::AnsiToUtf8(line.text);
    }
  }

  w.Load();
  ProcessResult emptiedFull = w.Run({"delete-subkeys"}, 65001);
  ASSERT_EQ(emptiedFull.status, 0) << emptiedFull.err;
  Counts all = DeleteCountsOf(emptiedFull.err);
  EXPECT_EQ(all.remaining, 0) << emptiedFull.err;
  EXPECT_EQ(all.keys, keys - 1);  // the mount's root stays
  EXPECT_EQ(all.values, values);
  rebuild = w.Run({"rebuild", original}, 65001);
  ASSERT_TRUE(Completed(rebuild.status)) << rebuild.status << rebuild.err;
  w.Unload();
  ExpectOraclesAccept(w.Tmp());
  ASSERT_TRUE(SameAsOriginal(original, w.Tmp(), 65001, &keys, &values, &failure)) << failure;
}

INSTANTIATE_TEST_SUITE_P(SharedHives, RebuildWorkflow, ::testing::ValuesIn(ListSharedHives()),
                         [](const ::testing::TestParamInfo<SharedHive>& info) { return TestNameOf(info.param.name); });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(RebuildWorkflow);

// Starts the command and kills it after `delay`.  True when the kill ended it
// (false when it had finished already).
bool KillAfter(const std::vector<std::string>& argv, std::chrono::microseconds delay) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return false;
  std::this_thread::sleep_for(delay);
  kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFSIGNALED(status);
}

size_t KeyCount(const registry::RegistryKey& root) {
  size_t n = 0;
  std::vector<const registry::RegistryKey*> stack{&root};
  while (!stack.empty()) {
    const registry::RegistryKey* k = stack.back();
    stack.pop_back();
    ++n;
    for (const auto& c : k->Subkeys) stack.push_back(c.get());
  }
  return n;
}

TEST(RebuildWorkflowKilled, TheMountedFileIsAsBeforeOrAsCommittedAndTheMountIsFoundAgain) {
  SharedHive source;
  for (const auto& h : ListSharedHives())
    if (h.name == "NTUSER_with_winscp.DAT") source = h;
  if (source.name.empty()) GTEST_SKIP() << NoSharedHivesNote();
  std::string original = DecompressedPath(source);
  ASSERT_FALSE(original.empty());
  Workflow w((fs::temp_directory_path() / ("quelbrix-rebuild-kill-" + std::to_string(::getpid()))).string());
  w.SaveAndLoad();
  std::vector<uint8_t> before = ReadBytes(w.Tmp());

  // One whole rebuild gives the committed state and the time the command takes.
  auto start = std::chrono::steady_clock::now();
  ProcessResult full = w.Run({"rebuild", original});
  auto took = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
  ASSERT_TRUE(Completed(full.status)) << full.status << full.err;
  registry::RegistryTree committed;
  ASSERT_TRUE(registry::ReadHiveFile(w.Tmp(), &committed));
  size_t committedKeys = KeyCount(*committed.Root);
  ASSERT_GT(committedKeys, 1000u);

  std::vector<std::string> argv{QUELBRIX_CLI, "rebuild", original, "--output-dir", w.Folder() + "/out",
                                "--registry-root", w.Registry(), "--quiet"};
  int killed = 0, untouched = 0;
  for (double share : {0.1, 0.3, 0.5, 0.7, 0.8, 0.85, 0.9, 0.93, 0.96, 0.98, 1.0}) {
    ASSERT_TRUE(WriteBytes(w.Tmp(), before));
    bool wasKilled = KillAfter(argv, std::chrono::microseconds(static_cast<long>(share * took.count())));
    killed += wasKilled;
    std::vector<uint8_t> now = ReadBytes(w.Tmp());
    if (now == before) {
      ++untouched;
      continue;
    }
    registry::RegistryTree tree;
    platform::Status read = registry::ReadHiveFile(w.Tmp(), &tree);
    ASSERT_TRUE(read) << "torn at " << share << ": " << read.Text();
    EXPECT_EQ(KeyCount(*tree.Root), committedKeys) << "at " << share;
  }
  RecordProperty("killed", killed);
  RecordProperty("untouched", untouched);
  EXPECT_GT(killed, 0);
  EXPECT_GT(untouched, 0);

  // The next run finds the mount: it rebuilds into it and unloads it.
  ProcessResult again = w.Run({"rebuild", original});
  ASSERT_TRUE(Completed(again.status)) << again.status << again.err;
  w.Unload();
  registry::RegistryTree last;
  ASSERT_TRUE(registry::ReadHiveFile(w.Tmp(), &last));
  EXPECT_EQ(KeyCount(*last.Root), committedKeys);
  ProcessResult none = w.Run({"unload"});
  EXPECT_EQ(none.status, 1) << none.err;
}

}  // namespace
}  // namespace quelbrix::testing
