// What the command writes, tried as another user on the same machine would:
// links planted at the names it writes and at the names the user gives it, a
// report that cannot be finished, and the modes of the files it makes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "support/hive_fixture.h"
#include "support/large_hive.h"
#include "support/run_process.h"

namespace quelbrix::testing {
namespace {

namespace fs = std::filesystem;

// A sticky folder anyone may write (as /tmp is), inside a temporary folder
// that also holds a file the links point at.
struct SharedFolder {
  SharedFolder() {
    fs::permissions(dir.Path(), fs::perms(0755));
    mkdir(shared.c_str(), 0777);
    chmod(shared.c_str(), 01777);
    WriteBytes(victim, {'k', 'e', 'e', 'p'});
    hiveBytes = MakeLargeHive(1u << 20, 5, 2);
    WriteBytes(hive, hiveBytes);
  }
  std::string In(const std::string& name) const { return shared + "/" + name; }
  // The report name of the hive: its file name and both sequence numbers.
  std::string ReportName() const {
    auto le = [&](size_t at) {
      return std::to_string(hiveBytes[at] | hiveBytes[at + 1] << 8 | hiveBytes[at + 2] << 16 | hiveBytes[at + 3] << 24);
    };
    return "h.hiv_" + le(4) + "_" + le(8) + ".txt";
  }
  ProcessResult Run(std::vector<std::string> args, const std::string& fail = "") const {
    std::vector<std::string> argv = {"env", "QUELBRIX_FAIL_FILE=" + fail, QUELBRIX_CLI};
    argv.insert(argv.end(), args.begin(), args.end());
    if (std::find(args.begin(), args.end(), "--output-dir") == args.end())
      argv.insert(argv.end(), {"--output-dir", shared});
    argv.push_back("--quiet");
    return RunProcess(argv);
  }

  TempDir dir;
  std::string shared = dir.File("shared");
  std::string victim = dir.File("victim");
  std::string hive = shared + "/h.hiv";
  std::vector<uint8_t> hiveBytes;
};

bool IsLink(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

unsigned ModeOf(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Names the program left starting with a dot: its temporary files.
std::vector<std::string> TemporaryFiles(const std::string& folder) {
  std::vector<std::string> left;
  for (const auto& e : fs::recursive_directory_iterator(folder)) {
    std::string name = e.path().filename();
    if (name[0] == '.') left.push_back(e.path());
  }
  return left;
}

// Names the program chooses itself — the report, the mount table, the copy
// kept before a load, a saved hive — get a new file of their own: a link
// there is replaced, never written through.
TEST(FileSafety, LinksAtTheProgramsOwnNamesAreReplacedAndAnUnfinishedReportIsRemoved) {
  SharedFolder f;
  std::string registry = f.In("registry"), planted = f.dir.File("planted");
  ASSERT_EQ(mkdir(registry.c_str(), 0755), 0);
  ASSERT_TRUE(WriteBytes(registry + "/SYSTEM", f.hiveBytes));
  std::vector<std::string> links = {f.In(f.ReportName()), registry + "/mounts"};
  for (const std::string& link : links) ASSERT_EQ(symlink(f.victim.c_str(), link.c_str()), 0);
  // Links to a file that does not exist yet would have it made.
  std::vector<std::string> dangling = {f.In("SYSTEM.tmp")};
  char stamp[32];
  for (time_t t = std::time(nullptr), end = t + 10; t <= end; ++t) {
    struct tm local {};
    localtime_r(&t, &local);
    std::strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S", &local);
    dangling.push_back(f.hive + "." + stamp);
  }
  for (const std::string& link : dangling) ASSERT_EQ(symlink(planted.c_str(), link.c_str()), 0);

  for (const std::vector<std::string>& step : std::vector<std::vector<std::string>>{
           {"search", f.hive}, {"load", f.hive, "--registry-root", registry}, {"regsave", "SYSTEM", "--registry-root", registry}}) {
    ProcessResult r = f.Run(step);
    // 3: the generated hive's report holds fault lines; the command completed.
    EXPECT_TRUE(r.status == 0 || r.status == 3) << step[0] << ": " << r.err;
  }
  EXPECT_EQ(ReadBytes(f.victim), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
  EXPECT_FALSE(fs::exists(planted));
  for (const std::string& name : {f.In(f.ReportName()), registry + "/mounts", f.In("SYSTEM.tmp")})
    EXPECT_TRUE(fs::is_regular_file(name) && !IsLink(name)) << name;

  // A report that cannot be written whole does not stand under its name.
  fs::remove(f.In(f.ReportName()));
  ProcessResult r = f.Run({"search", f.hive}, "close:1");
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_FALSE(fs::exists(f.In(f.ReportName())));
  EXPECT_EQ(TemporaryFiles(f.shared), std::vector<std::string>{});
}

// A link the user names (-o, --write, --output-dir) that another user planted
// in a folder anyone may write is refused, naming the link and its owner; the
// user's own link is followed.
TEST(FileSafety, AnotherUsersLinkNamedOnTheCommandLineIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to plant links as nobody";
  SharedFolder f;
  const std::vector<std::string> nobody = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"};
  std::string elsewhere = f.dir.File("elsewhere");
  ASSERT_EQ(mkdir(elsewhere.c_str(), 0777), 0);
  auto plant = [&](const std::string& to, const std::string& link) {
    std::vector<std::string> argv = nobody;
    argv.insert(argv.end(), {"ln", "-s", to, link});
    return RunProcess(argv).status == 0;
  };
  if (!plant(f.victim, f.In("out.hiv"))) GTEST_SKIP() << "cannot run ln as nobody";
  ASSERT_TRUE(plant(f.victim, f.In("exp.reg")));
  ASSERT_TRUE(plant(f.hive, f.In("lnk.hiv")));
  ASSERT_TRUE(plant(elsewhere, f.In("outdir")));

  struct Case {
    std::vector<std::string> args;
    std::string link;
  };
  const Case cases[] = {
      {{"repair", f.hive, "-o", f.In("out.hiv")}, f.In("out.hiv")},
      {{"export", f.hive, "-o", f.In("exp.reg")}, f.In("exp.reg")},
      {{"defrag", f.In("lnk.hiv"), "--write"}, f.In("lnk.hiv")},
      {{"search", f.hive, "--output-dir", f.In("outdir")}, f.In("outdir")},
  };
  for (const Case& c : cases) {
    ProcessResult r = f.Run(c.args);
    EXPECT_EQ(r.status, 1) << c.link << ": " << r.err;
    EXPECT_NE(r.err.find(c.link + ": symbolic link of nobody"), std::string::npos) << r.err;
  }
  EXPECT_EQ(ReadBytes(f.victim), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
  EXPECT_EQ(ReadBytes(f.hive), f.hiveBytes);
  EXPECT_TRUE(fs::is_empty(elsewhere));
  for (const auto& e : fs::directory_iterator(f.shared))
    EXPECT_EQ(e.path().string().find(".hiv."), std::string::npos) << "a backup was made: " << e.path();

  std::string mine = f.In("mine.hiv"), target = f.dir.File("mine-target.hiv");
  ASSERT_EQ(symlink(target.c_str(), mine.c_str()), 0);
  ProcessResult own = f.Run({"repair", f.hive, "-o", mine});
  EXPECT_TRUE(own.status == 0 || own.status == 3) << own.err;
  EXPECT_TRUE(IsLink(mine));
  EXPECT_EQ(fs::file_size(target), f.hiveBytes.size());
}

// New files take the umask's mode and never group or world write; what is
// made from a hive that others may not read is 0600.  A kept copy has the
// mode of what it copies.
TEST(FileSafety, NewFilesFollowTheUmaskAndAreAsPrivateAsTheirHive) {
  struct Case {
    mode_t umask, hiveMode;
    unsigned made, copy;
  };
  for (const Case& c : {Case{002, 0644, 0644, 0644}, Case{077, 0644, 0600, 0600}, Case{002, 0640, 0600, 0640}}) {
    SharedFolder f;
    ASSERT_EQ(chmod(f.hive.c_str(), c.hiveMode), 0);
    mode_t saved = umask(c.umask);
    std::vector<ProcessResult> runs = {f.Run({"search", f.hive}), f.Run({"repair", f.hive, "-o", f.In("new.hiv")}),
                                       f.Run({"export", f.hive, "-o", f.In("new.reg")}),
                                       f.Run({"defrag", f.hive, "--write"})};
    umask(saved);
    for (const ProcessResult& r : runs) EXPECT_TRUE(r.status == 0 || r.status == 3) << r.err;
    std::string what = "umask " + std::to_string(c.umask) + " hive " + std::to_string(c.hiveMode) + ": ";
    EXPECT_EQ(ModeOf(f.In(f.ReportName())), c.made) << what << "report";
    EXPECT_EQ(ModeOf(f.In("new.hiv")), c.made) << what << "-o";
    EXPECT_EQ(ModeOf(f.In("new.reg")), c.made) << what << "export";
    EXPECT_EQ(ModeOf(f.hive), c.hiveMode) << what << "the written hive keeps its mode";
    size_t copies = 0;
    for (const auto& e : fs::directory_iterator(f.shared)) {
      if (e.path().string().find("h.hiv.") == std::string::npos) continue;
      ++copies;
      EXPECT_EQ(ModeOf(e.path()), c.copy) << what << "copy";
    }
    EXPECT_EQ(copies, 1u) << what;
  }
}

}  // namespace
}  // namespace quelbrix::testing
