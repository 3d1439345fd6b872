// What the command writes, tried as another user on the same machine would:
// links planted at the names it writes and at the names the user gives it, a
// report that cannot be finished, and the modes of the files it makes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <array>
#include <filesystem>
#include <string>
#include <vector>

#include "support/hive_fixture.h"
#include "support/large_hive.h"
#include "support/run_process.h"

namespace quelbrix::testing {
namespace fs = std::filesystem;
namespace {

const std::vector<uint8_t> kKeep = {'k', 'e', 'e', 'p'};

// A sticky folder anyone may write (as /tmp is) holding a hive, beside a file
// that the links point at.
struct Shared {
  Shared() {
    fs::permissions(dir.Path(), fs::perms(0755));
    fs::create_directory(folder);
    fs::permissions(folder, fs::perms(01777));
    WriteBytes(victim, kKeep);
    WriteBytes(hive, MakeLargeHive(1u << 20, 5, 2));
  }
  std::string In(const std::string& name) const { return folder + "/" + name; }
  // 0, or 3 for the generated hive's fault lines: the command completed.
  int Run(std::vector<std::string> args, const std::string& fail = "", std::string* err = nullptr) const {
    args.insert(args.begin(), {"env", "QUELBRIX_FAIL_FILE=" + fail, QUELBRIX_CLI});
    if (std::find(args.begin(), args.end(), "--output-dir") == args.end()) args.insert(args.end(), {"--output-dir", folder});
    ProcessResult r = RunProcess(args);
    if (err != nullptr) *err = r.err;
    return r.status == 3 ? 0 : r.status;
  }
  TempDir dir;
  std::string folder = dir.File("shared"), victim = dir.File("victim"), hive = In("h.hiv");
  std::string report = In("h.hiv_1_1.search.txt");  // the generator's sequence numbers
};

unsigned ModeOf(const std::string& path) { return static_cast<unsigned>(fs::status(path).permissions()); }

// The program's own names (report, mount table, saved hive) get a file of
// their own: a link there is replaced, never written through.
TEST(FileSafety, LinksAtTheProgramsOwnNamesAreReplacedAndNoHalfReportIsLeft) {
  Shared s;
  std::string registry = s.In("registry");
  fs::create_directory(registry);
  WriteBytes(registry + "/SYSTEM", ReadBytes(s.hive));
  for (const std::string& link : {s.report, registry + "/mounts", s.In("SYSTEM.tmp")})
    fs::create_symlink(s.victim, link);
  EXPECT_EQ(s.Run({"search", s.hive}), 0);
  EXPECT_EQ(s.Run({"load", s.hive, "--registry-root", registry}), 0);
  fs::remove(s.In("SYSTEM.tmp"));  // Reg save keeps an older file: a dangling link is its case
  fs::create_symlink(s.dir.File("planted"), s.In("SYSTEM.tmp"));
  EXPECT_EQ(s.Run({"regsave", "SYSTEM", "--registry-root", registry}), 0);
  EXPECT_EQ(ReadBytes(s.victim), kKeep);
  EXPECT_FALSE(fs::exists(s.dir.File("planted")));
  for (const std::string& name : {s.report, registry + "/mounts", s.In("SYSTEM.tmp")})
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(name))) << name;

  fs::remove(s.report);
  EXPECT_EQ(s.Run({"search", s.hive}, "close:1"), 1);
  for (const auto& e : fs::directory_iterator(s.folder))
    EXPECT_TRUE(e.path() != s.report && e.path().filename().string()[0] != '.') << e.path();
}

// A link the user names that another user planted in a folder anyone may
// write is refused, naming it and its owner; the user's own link is followed.
TEST(FileSafety, AnotherUsersLinkOnANamedPathIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to plant links as nobody";
  Shared s;
  auto plant = [&](const std::string& to, const std::string& link) {
    return RunProcess({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--", "ln", "-s", to, link})
               .status == 0;
  };
  if (!plant(s.victim, s.In("out.hiv"))) GTEST_SKIP() << "cannot run ln as nobody";
  ASSERT_TRUE(plant(s.victim, s.In("exp.reg")) && plant(s.hive, s.In("lnk.hiv")) && plant("/", s.In("dir")));
  const std::vector<std::vector<std::string>> steps = {{"repair", s.hive, "-o", s.In("out.hiv")},
                                                       {"export", s.hive, "-o", s.In("exp.reg")},
                                                       {"defrag", s.In("lnk.hiv"), "--write"},
                                                       {"search", s.hive, "--output-dir", s.In("dir")}};
  for (const auto& step : steps) {
    std::string err;
    EXPECT_EQ(s.Run(step, "", &err), 1) << err;
    const std::string& link = step[0] == "defrag" ? step[1] : step.back();
    EXPECT_NE(err.find(link + ": symbolic link of nobody "), std::string::npos) << err;
  }
  EXPECT_EQ(ReadBytes(s.victim), kKeep);
  EXPECT_FALSE(fs::exists("/h.hiv_1_1.search.txt"));
  for (const auto& e : fs::directory_iterator(s.folder))
    EXPECT_EQ(e.path().string().find(".hiv."), std::string::npos) << "a backup copy: " << e.path();

  fs::create_symlink(s.dir.File("mine.hiv"), s.In("mine"));
  EXPECT_EQ(s.Run({"repair", s.hive, "-o", s.In("mine")}), 0);
  EXPECT_EQ(ReadBytes(s.dir.File("mine.hiv")).size(), fs::file_size(s.hive));
}

// The attack end to end: as nobody, links at the report's name, the -o
// name, the names the backup of --write may take and the temporary names a
// careless writer would use.  Every command writes a file of its own or
// refuses; nothing outside the folder changes and no partial file is left.
TEST(FileSafety, LinksPlantedByAnotherUserChangeNothingOutsideTheFolder) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to plant links as nobody";
  Shared s;
  auto plant = [&](const std::string& link) {
    return RunProcess({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--", "ln", "-s", s.victim, link})
               .status == 0;
  };
  if (!plant(s.report)) GTEST_SKIP() << "cannot run ln as nobody";
  std::vector<std::string> planted = {s.report};
  for (const char* name : {"out.hiv", "exp.reg", "h.hiv.tmp", ".h.hiv.tmp", "out.hiv.tmp", "exp.reg.tmp"})
    planted.push_back(s.In(name));
  const time_t now = time(nullptr);
  for (time_t t = now; t < now + 20; ++t) {
    char stamp[32];
    struct tm local;
    strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S", localtime_r(&t, &local));
    planted.push_back(s.hive + "." + stamp);
  }
  for (size_t i = 1; i < planted.size(); ++i) ASSERT_TRUE(plant(planted[i])) << planted[i];
  const std::vector<std::vector<std::string>> steps = {{"search", s.hive},
                                                       {"repair", s.hive, "-o", s.In("out.hiv")},
                                                       {"defrag", s.hive, "--write"},
                                                       {"export", s.hive, "-o", s.In("exp.reg")}};
  const std::vector<uint8_t> before = ReadBytes(s.hive);
  for (const auto& step : steps) {
    std::string err;
    int status = s.Run(step, "", &err);
    EXPECT_TRUE(status == 0 || status == 1) << step[0] << ": " << err;
    if (status == 1) {
      EXPECT_NE(err.find("symbolic link of nobody"), std::string::npos) << step[0] << ": " << err;
      if (step[0] == "defrag") {
        EXPECT_EQ(ReadBytes(s.hive), before);
      }
    }
  }
  EXPECT_EQ(ReadBytes(s.victim), kKeep);
  // The report is a file of its own now; no temporary file is left behind.
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(s.report)));
  for (const auto& e : fs::directory_iterator(s.folder)) {
    const std::string name = e.path().filename().string();
    EXPECT_TRUE(name[0] != '.' || fs::is_symlink(fs::symlink_status(e.path()))) << "left behind: " << name;
  }
}

// New files take 0644 less the umask; what is made from a hive that others
// may not read is 0600; a kept copy has the hive's mode.
TEST(FileSafety, NewFilesFollowTheUmaskAndAreAsPrivateAsTheirHive) {
  for (auto [mask, hiveMode, made, copy] : {std::array{002u, 0644u, 0644u, 0644u}, std::array{077u, 0644u, 0600u, 0600u},
                                            std::array{002u, 0640u, 0600u, 0640u}}) {
    Shared s;
    fs::permissions(s.hive, fs::perms(hiveMode));
    mode_t saved = umask(mask);
    int rc = s.Run({"search", s.hive}) | s.Run({"repair", s.hive, "-o", s.In("new.hiv")}) |
             s.Run({"export", s.hive, "-o", s.In("new.reg")}) | s.Run({"defrag", s.hive, "--write"});
    umask(saved);
    EXPECT_EQ(rc, 0);
    std::string copyName;
    for (const auto& e : fs::directory_iterator(s.folder))
      if (e.path().string().find("h.hiv.") != std::string::npos) copyName = e.path();
    const std::vector<unsigned> want = {made, made, made, hiveMode, copy};
    EXPECT_EQ((std::vector<unsigned>{ModeOf(s.report), ModeOf(s.In("new.hiv")), ModeOf(s.In("new.reg")),
                                     ModeOf(s.hive), copyName.empty() ? 0u : ModeOf(copyName)}),
              want) << "umask " << mask << ", hive " << hiveMode;
  }
}

}  // namespace
}  // namespace quelbrix::testing
