// Every step of the live workflow and every write, made to fail: for real (a
// folder the process cannot write, run as nobody) and through the file
// layer's test seam (QUELBRIX_FAIL_FILE).  No failing step may end in "完了"
// or exit 0; each names the file and the reason on stderr and leaves the
// files as they were.  Also what a write keeps (mode, owner, the backup copy)
// and a rebuild at code page 932 of names no ANSI code page holds, read back
// with python3-hivex, times and all.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "registry/mount_table.h"
#include "support/as_nobody.h"
#include "support/hive_builder.h"
#include "support/run_process.h"

namespace quelbrix::testing {
namespace {

namespace fs = std::filesystem;

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<uint8_t> Utf16Z(std::u16string_view text) {
  std::vector<uint8_t> out;
  for (char16_t u : text) {
    out.push_back(static_cast<uint8_t>(u));
    out.push_back(static_cast<uint8_t>(u >> 8));
  }
  out.insert(out.end(), {0, 0});
  return out;
}

// A hive with keys, values, a class and times of its own.
std::string SourceHive(const std::string& path) {
  HiveBuilder b;
  Key a = b.AddKey(b.Root(), "Software");
  b.Model(a).timeStamp = 0x01D3C5D0A1B2C3D4ull;  // 2018-03-27
  b.SetClass(a, u"Klass");
  b.AddValue(a, "Text", 1, Utf16Z(u"plain"));
  b.AddValue(a, "Number", 4, {1, 2, 3, 4});
  Key c = b.AddKey(a, "Child");
  b.Model(c).timeStamp = 0x01C0000000000001ull;
  b.AddValue(c, "", 3, {9, 8, 7, 6, 5});
  b.Build();
  EXPECT_TRUE(b.WriteTo(path));
  return path;
}

// An empty hive to mount.
std::string MountHive(const std::string& path) {
  HiveBuilder b;
  b.Build();
  EXPECT_TRUE(b.WriteTo(path));
  return path;
}

// One workflow's folders: the hives, the output folder and the registry.
class Live {
 public:
  // Under /tmp, open to nobody: some steps run as nobody.
  Live() : root_(FolderNobodyCanEnter("quelbrix-writes")) {
    if (root_.empty())
      root_ = fs::temp_directory_path() / ("quelbrix-writes-" + std::to_string(::getpid()) + "-" +
                                           std::to_string(counter_++));
    fs::remove_all(root_);
    fs::create_directories(root_);
    fs::permissions(root_, fs::perms(0755));
    fs::create_directories(root_ / "hives");
    fs::create_directories(root_ / "out");
    fs::create_directories(root_ / "xdg");
  }
  ~Live() {
    std::error_code ec;
    fs::permissions(root_ / "hives", fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(root_, ec);
  }
  std::string Hives() const { return (root_ / "hives").string(); }
  std::string Out() const { return (root_ / "out").string(); }
  std::string Registry() const { return Out() + "/registry"; }
  // Runs the command, as nobody (the copy nobody can run) when `nobody` is
  // given, with the failure plan of the test seam.
  ProcessResult Run(std::vector<std::string> args, const std::string& fail = "",
                    const NobodyRunner* nobody = nullptr) const {
    std::vector<std::string> argv = nobody ? nobody->prefix : std::vector<std::string>{};
    argv.insert(argv.end(), {"env", "QUELBRIX_FAIL_FILE=" + fail, "XDG_DATA_HOME=" + (root_ / "xdg").string(),
                             nobody ? nobody->cli : std::string(QUELBRIX_CLI)});
    argv.insert(argv.end(), args.begin(), args.end());
    argv.insert(argv.end(), {"--output-dir", Out(), "--quiet", "--no-color"});
    return RunProcess(argv);
  }
  bool Mounted() const { return !registry::ReadMountTable(Registry()).empty(); }
  size_t Entries(const std::string& folder) const {
    size_t n = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(folder)) ++n;
    return n;
  }

 private:
  static inline int counter_ = 0;
  fs::path root_;
};

// A failed step: exit 1, its failure text, the reason with a path on stderr,
// and no success text of its own.
::testing::AssertionResult FailedWith(const ProcessResult& r, const std::string& caption, const std::string& reason) {
  if (r.status != 1) return ::testing::AssertionFailure() << "exit " << r.status << ": " << r.err;
  if (r.err.find(caption + "に失敗しました") == std::string::npos)
    return ::testing::AssertionFailure() << "no failure text: " << r.err;
  if (r.err.find(caption + "完了") != std::string::npos) return ::testing::AssertionFailure() << "完了: " << r.err;
  if (!reason.empty() && !std::regex_search(r.err, std::regex("failed: /[^\n]*: " + reason)))
    return ::testing::AssertionFailure() << "no \"failed: PATH: " << reason << "\": " << r.err;
  return ::testing::AssertionSuccess();
}

// The runner of steps as nobody; null when the tests are not root, who is
// the only one folder permissions would not stop.
const NobodyRunner* AsNobody() { return geteuid() == 0 ? &AsNobodyRunner() : nullptr; }

TEST(LiveWrites, WorkflowInAFolderTheUserCannotWriteFailsAtItsFirstWriteAndChangesNothing) {
  const NobodyRunner* nobody = AsNobody();
  if (nobody != nullptr && !nobody->skip.empty()) GTEST_SKIP() << "running as root: " << nobody->skip;
  Live w;
  std::string hive = MountHive(w.Hives() + "/NTUSER.DAT");
  std::string source = SourceHive(w.Out() + "/source.hiv");
  std::string before = Slurp(hive);
  fs::permissions(w.Hives(), fs::perms(0555));
  fs::permissions(w.Out(), fs::perms(0777));
  fs::permissions(source, fs::perms(0644));

  EXPECT_TRUE(FailedWith(w.Run({"load", hive}, "", nobody), "ハイブロード", "Permission denied"));
  EXPECT_FALSE(w.Mounted());
  for (auto args : std::vector<std::vector<std::string>>{{"delete-subkeys"}, {"rebuild", source}, {"unload"}}) {
    ProcessResult r = w.Run(args, "", nobody);
    EXPECT_EQ(r.status, 1) << args[0] << ": " << r.err;
    EXPECT_EQ(r.err.find("完了"), std::string::npos) << args[0] << ": " << r.err;
  }
  EXPECT_EQ(Slurp(hive), before);
  EXPECT_EQ(w.Entries(w.Hives()), 1u);
}

TEST(LiveWrites, AMountWhoseFolderTurnedReadOnlyFailsEveryWriteBackAndUnloadsWithTheRealSize) {
  const NobodyRunner* nobody = AsNobody();
  if (nobody != nullptr && !nobody->skip.empty()) GTEST_SKIP() << "running as root: " << nobody->skip;
  Live w;
  std::string hive = MountHive(w.Hives() + "/NTUSER.DAT");
  std::string source = SourceHive(w.Out() + "/source.hiv");
  fs::permissions(w.Hives(), fs::perms(0777));
  fs::permissions(w.Out(), fs::perms(0777));
  fs::permissions(hive, fs::perms(0666));
  fs::permissions(source, fs::perms(0644));
  ASSERT_EQ(w.Run({"load", hive}, "", nobody).status, 0);
  ASSERT_EQ(w.Run({"rebuild", source}, "", nobody).status, 0);
  std::string before = Slurp(hive);
  fs::permissions(w.Hives(), fs::perms(0555));

  EXPECT_TRUE(FailedWith(w.Run({"rebuild", source}, "", nobody), "ハイブ再構築", "Permission denied"));
  EXPECT_TRUE(FailedWith(w.Run({"delete-subkeys"}, "", nobody), "サブキー削除", "Permission denied"));
  EXPECT_EQ(Slurp(hive), before);
  ProcessResult unload = w.Run({"unload"}, "", nobody);
  EXPECT_EQ(unload.status, 0) << unload.err;
  EXPECT_NE(unload.err.find("ハイブアンロード完了 FileSize=" + std::to_string(before.size())), std::string::npos)
      << unload.err;
}

// One step made to fail by the seam, after the steps that prepare it.
struct Injected {
  const char* name;
  std::vector<std::vector<std::string>> before;  // "HIVE" and "SOURCE" stand for the files
  std::vector<std::string> step;
  const char* fail;
  const char* caption;
};

const Injected kInjected[] = {
    {"LoadBackupWrite", {}, {"load", "HIVE"}, "write:1", "ハイブロード"},
    {"LoadMountTable", {}, {"load", "HIVE"}, "rename:2", "ハイブロード"},
    {"DeleteSubkeysWriteBack", {{"load", "HIVE"}, {"rebuild", "SOURCE"}}, {"delete-subkeys"}, "rename:1", "サブキー削除"},
    {"RebuildWriteBack", {{"load", "HIVE"}}, {"rebuild", "SOURCE"}, "fsync:1", "ハイブ再構築"},
    {"UnloadMountTable", {{"load", "HIVE"}}, {"unload"}, "rename:1", "ハイブアンロード"},
    {"RegSave", {{"regsave", "SYSTEM"}}, {"regsave", "SYSTEM"}, "write:1", "Ｒｅｇ保存"},
    // The report of the repair is the first file renamed into place.
    {"WriteBackupCopy", {}, {"repair", "HIVE", "--write"}, "rename:2", "書込"},
    {"WriteItself", {}, {"repair", "HIVE", "--write"}, "rename:3", "書込"},
    {"WriteNoBackup", {}, {"defrag", "HIVE", "--write", "--no-backup"}, "fsync:1", "書込"},
    {"WriteToOutput", {}, {"repair", "HIVE", "-o", "OUT"}, "write:1", "書込"},
    {"ReportFile", {}, {"search", "HIVE"}, "close:1", "検索(日付有)"},
};

TEST(LiveWrites, EveryStepFailsWithItsTextAndReasonWhenTheFileLayerFails) {
  for (const Injected& c : kInjected) {
    Live w;
    std::string hive = SourceHive(w.Hives() + "/hive");
    std::string source = SourceHive(w.Out() + "/source.hiv");
    std::string out = w.Hives() + "/out.hiv";
    auto fill = [&](std::vector<std::string> args) {
      for (auto& a : args) a = a == "HIVE" ? hive : a == "SOURCE" ? source : a == "OUT" ? out : a;
      return args;
    };
    // Reg save saves only a hive the machine registry holds.
    if (c.step[0] == "regsave") {
      fs::create_directories(w.Registry());
      SourceHive(w.Registry() + "/SYSTEM");
    }
    for (const auto& step : c.before) ASSERT_EQ(w.Run(fill(step)).status, 0) << c.name << " " << step[0];
    std::string before = Slurp(hive);
    bool wasMounted = w.Mounted();
    size_t entries = w.Entries(w.Hives());
    ProcessResult r = w.Run(fill(c.step), c.fail);
    EXPECT_TRUE(FailedWith(r, c.caption, "Input/output error")) << c.name;
    EXPECT_EQ(Slurp(hive), before) << c.name;
    EXPECT_FALSE(fs::exists(out)) << c.name;
    if (c.step[0] == "load" || c.step[0] == "unload") {
      EXPECT_EQ(w.Mounted(), wasMounted) << c.name;
    }
    // A backup copy is the one new file a failed step may leave, and only when
    // the step failed after making it.
    size_t now = w.Entries(w.Hives());
    EXPECT_TRUE(now == entries || (now == entries + 1 && std::string(c.fail) != "write:1" &&
                                   std::string(c.name) != "WriteBackupCopy"))
        << c.name << ": " << now << " entries";
  }
}

TEST(LiveWrites, WriteKeepsModeAndOwnerMakesABackupUnlessToldAndRefusesAReadOnlyFile) {
  Live w;
  std::string hive = SourceHive(w.Hives() + "/hive");
  std::string original = Slurp(hive);
  fs::permissions(hive, fs::perms(0640));
  bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(chown(hive.c_str(), 65534, 65534), 0);
  }
  ProcessResult r = w.Run({"defrag", hive, "--write"});
  ASSERT_EQ(r.status, 0) << r.err;
  struct stat st {};
  ASSERT_EQ(stat(hive.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  if (root) {
    EXPECT_EQ(st.st_uid, 65534u);
  }
  std::vector<std::string> backups;
  for (const auto& e : fs::directory_iterator(w.Hives()))
    if (e.path().string() != hive) backups.push_back(e.path().string());
  ASSERT_EQ(backups.size(), 1u);
  EXPECT_TRUE(std::regex_match(backups[0], std::regex(".*/hive\\.\\d{14}"))) << backups[0];
  EXPECT_EQ(Slurp(backups[0]), original);

  ASSERT_EQ(w.Run({"repair", hive, "--write", "--no-backup"}).status, 0);
  EXPECT_EQ(w.Entries(w.Hives()), 2u);

  fs::permissions(hive, fs::perms(0444));
  std::string before = Slurp(hive);
  EXPECT_TRUE(FailedWith(w.Run({"repair", hive, "--write"}), "書込", "Permission denied"));
  EXPECT_EQ(Slurp(hive), before);
  EXPECT_EQ(w.Entries(w.Hives()), 2u) << "a refused write left a copy";
  ProcessResult unmounted = w.Run({"rebuild", w.Hives() + "/absent"});
  EXPECT_EQ(unmounted.status, 1);
  EXPECT_NE(unmounted.err.find("no hive is loaded"), std::string::npos) << "the hive was read first: " << unmounted.err;
}

TEST(LiveWrites, RebuildAtCodePage932CarriesEveryNameStringAndTimeWhole) {
  Live w;
  HiveBuilder b;
  Key hebrew = b.AddKey(b.Root(), std::u16string(u"עברית"));
  b.Model(hebrew).timeStamp = 0x01D3C5D0A1B2C3D4ull;
  b.SetClass(hebrew, u"Класс");
  b.AddValue(hebrew, std::u16string(u"Имя"), 1, Utf16Z(u"שלום мир \U0001F600"));
  b.AddValue(hebrew, std::u16string(u"\U0001F680"), 2, Utf16Z(u"%ПУТЬ%"));
  Key cyrillic = b.AddKey(hebrew, std::u16string(u"Кириллица \U0001F600"));
  b.Model(cyrillic).timeStamp = 0x01C0000000000001ull;
  b.AddValue(cyrillic, std::u16string(u"Многострочный"), 7, Utf16Z(std::u16string(u"один\0два\0", 9)));
  b.AddKey(b.Root(), "caf\xe9");  // an 8-bit name outside code page 932
  b.Build();
  std::string source = w.Out() + "/source.hiv";
  ASSERT_TRUE(b.WriteTo(source));
  std::string hive = MountHive(w.Hives() + "/mount.hiv");
  ASSERT_EQ(w.Run({"load", hive}).status, 0);
  ProcessResult r = w.Run({"rebuild", source, "--codepage", "932"});
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(w.Run({"unload"}).status, 0);
  // From the source folder's absolute path: ccache may make __FILE__ relative.
  ProcessResult same = RunProcess(
      {"/usr/bin/python3", std::string(QUELBRIX_TESTS_SOURCE) + "/live/rebuild_compare.py", source, hive, "932"});
  EXPECT_EQ(same.status, 0) << same.out << same.err;
  EXPECT_NE(same.out.find("keys=4 values=3"), std::string::npos) << same.out;
}

}  // namespace
}  // namespace quelbrix::testing
