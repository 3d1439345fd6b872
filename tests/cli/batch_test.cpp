// Many hives in one run: a folder tree of hives of several machines (sound,
// damaged, dirty with logs, cut short), a file that is no hive and one that
// cannot be read.  Each hive's --jsonl line must be what a run of that hive
// alone says, its report must stand under its own relative path, and the
// same triage under GNU parallel must give the same lines.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "support/hive_builder.h"
#include "support/hive_fixture.h"
#include "support/run_process.h"
#include "support/shared_hives.h"

namespace quelbrix {
namespace {

namespace fs = std::filesystem;
using testing::ProcessResult;
using testing::RunProcess;
using testing::TempDir;

std::vector<nlohmann::json> Lines(const std::string& out) {
  std::vector<nlohmann::json> lines;
  size_t start = 0;
  while (start < out.size()) {
    size_t end = out.find('\n', start);
    if (end == std::string::npos) end = out.size();
    if (end > start) lines.push_back(nlohmann::json::parse(out.substr(start, end - start)));
    start = end + 1;
  }
  return lines;
}

std::vector<uint8_t> BuiltHive(int keys, bool damaged) {
  testing::HiveBuilder b;
  for (int i = 0; i < keys; ++i) b.AddValue(b.AddKey(b.Root(), "Key" + std::to_string(i)), "v", 4, {1, 0, 0, 0});
  std::vector<uint8_t> image = b.Build();
  if (damaged) image[0x1FC] ^= 0xFF;  // the base block's checksum
  return image;
}

struct Tree {
  TempDir dir;
  std::string in = dir.File("in"), out = dir.File("out");
  std::map<std::string, int> expected;  // relative path -> the single run's exit status
  bool unreadable = false;

  void Put(const std::string& relative, const std::vector<uint8_t>& bytes) {
    fs::create_directories(fs::path(in + "/" + relative).parent_path());
    ASSERT_TRUE(testing::WriteBytes(in + "/" + relative, bytes));
    expected[relative] = -1;
  }

  Tree() {
    const char* names[] = {"SYSTEM", "SOFTWARE", "SAM", "NTUSER.DAT", "UsrClass.dat"};
    std::vector<std::string> shared;
    for (const auto& h : testing::ListSharedHives())
      if (h.name == "SAM" || h.name == "SECURITY" || h.name == "BCD" || h.name == "SYSTEM_B" || h.corrupted)
        shared.push_back(testing::DecompressedPath(h));
    int n = 0;
    for (int machine = 0; machine < 10; ++machine)
      for (const char* name : names) {
        std::string relative = "pc" + std::to_string(machine) + "/" + name;
        if (!shared.empty() && n % 4 == 0) {
          const std::string& from = shared[(n / 4) % shared.size()];
          Put(relative, testing::ReadBytes(from));
          // A dirty hive's logs travel with it, under its new name.
          for (const char* log : {".LOG1", ".LOG2"})
            if (fs::exists(from + log)) fs::copy_file(from + log, in + "/" + relative + log);
        } else {
          Put(relative, BuiltHive(3 + n, n % 3 == 1));
        }
        ++n;
      }
    std::vector<uint8_t> cut = BuiltHive(2, false);
    cut.resize(600);
    Put("pc9/cut-short", cut);
    testing::WriteBytes(in + "/pc9/notes.txt", {'n', 'o', '\n'});
    if (geteuid() != 0) {
      Put("pc9/locked", BuiltHive(1, false));
      fs::permissions(in + "/pc9/locked", fs::perms::none);
      unreadable = true;
    }
  }
};

TEST(Batch, EachHiveGetsTheLineOfItsOwnRunAndItsReportUnderItsOwnPath) {
  Tree t;
  for (auto& [relative, status] : t.expected) {
    ProcessResult one = RunProcess({QUELBRIX_CLI, "--output-dir", t.dir.File("single"), "search", "--json",
                                    t.in + "/" + relative});
    status = one.status;
  }
  ProcessResult all = RunProcess({QUELBRIX_CLI, "--output-dir", t.out, "search", "--recursive", t.in, "--jsonl", "-j2"});
  std::vector<nlohmann::json> lines = Lines(all.out);
  ASSERT_EQ(lines.size(), t.expected.size()) << all.out << all.err;
  std::set<std::string> reports, seen;
  bool anyFailed = false, anyDamage = false;
  for (const auto& line : lines) {
    std::string relative = line["path"];
    ASSERT_TRUE(t.expected.count(relative)) << relative;
    EXPECT_TRUE(seen.insert(relative).second) << relative;
    EXPECT_EQ(line["hive"], t.in + "/" + relative);
    EXPECT_EQ(line["exit_status"], t.expected[relative]) << relative;
    anyFailed |= line["exit_status"] == 1;
    anyDamage |= line["exit_status"] == 3;
    if (line["exit_status"] == 1) {
      EXPECT_TRUE(line.contains("error")) << relative;
    }
    if (line["report"].is_string()) {
      std::string report = line["report"];
      EXPECT_TRUE(reports.insert(report).second) << report;
      EXPECT_EQ(fs::path(report).parent_path(), fs::path(t.out + "/" + relative).parent_path()) << report;
      EXPECT_TRUE(fs::exists(report)) << report;
    }
  }
  EXPECT_TRUE(anyFailed);  // the hive cut short
  EXPECT_TRUE(anyDamage);
  EXPECT_EQ(all.status, 1);

  // --resume: what a line exists for is not run again.
  std::string half = t.dir.File("half.jsonl");
  std::string text;
  for (size_t i = 0; i < lines.size() / 2; ++i) text += lines[i].dump() + "\n";
  testing::WriteBytes(half, std::vector<uint8_t>(text.begin(), text.end()));
  ProcessResult rest = RunProcess({QUELBRIX_CLI, "--output-dir", t.out, "search", "--recursive", t.in, "--jsonl",
                                   "--resume", half});
  std::set<std::string> again;
  for (const auto& line : Lines(rest.out)) again.insert(line["path"]);
  EXPECT_EQ(again.size(), lines.size() - lines.size() / 2);
  for (size_t i = 0; i < lines.size() / 2; ++i) EXPECT_EQ(again.count(lines[i]["path"]), 0u);

  // The same triage spread by GNU parallel over the list the batch would take.
  if (system("command -v parallel > /dev/null 2>&1") != 0) GTEST_SKIP() << "GNU parallel is not installed";
  ProcessResult list = RunProcess({QUELBRIX_CLI, "search", "--recursive", t.in, "--list"});
  ASSERT_EQ(list.status, 0) << list.err;
  std::string listFile = t.dir.File("hives.txt");
  testing::WriteBytes(listFile, std::vector<uint8_t>(list.out.begin(), list.out.end()));
  std::string command = "cd '" + t.in + "' && parallel -j2 --will-cite '" + QUELBRIX_CLI + "' --output-dir '" +
                        t.out + "' search --jsonl {} :::: '" + listFile + "'";
  ProcessResult spread = RunProcess({"sh", "-c", command});
  std::multiset<std::string> a, b;
  for (const auto& line : lines) a.insert(line.dump());
  for (const auto& line : Lines(spread.out)) b.insert(line.dump());
  EXPECT_EQ(a, b) << spread.err;
}

}  // namespace
}  // namespace quelbrix
