// One verdict for one hive: search, repair and defrag of the same file exit
// alike, on the shared hives and on a built one with a spent log beside it;
// each command keeps a report of its own; a report that could not be written
// whole is not left behind; every scan command ends with its summary line.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "support/hive_builder.h"
#include "support/hive_fixture.h"
#include "support/log_builder.h"
#include "support/run_process.h"
#include "support/shared_hives.h"

namespace quelbrix::testing {
namespace {

namespace fs = std::filesystem;

struct Exits {
  int search = -1, repair = -1, defrag = -1;
};

// The last line of stderr, where the summary stands.
std::string LastLine(const std::string& err) {
  std::string text = err;
  while (!text.empty() && text.back() == '\n') text.pop_back();
  size_t nl = text.rfind('\n');
  return nl == std::string::npos ? text : text.substr(nl + 1);
}

// search, repair -o and defrag -o of `hive` into `out`; every run must end
// with the summary line, and the three leave three reports.
Exits RunAll(const std::string& hive, const std::string& out, bool defrag = true) {
  Exits e;
  auto run = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {QUELBRIX_CLI, "-q", "--no-diagnostic", "--output-dir", out});
    ProcessResult r = RunProcess(args);
    EXPECT_EQ(LastLine(r.err).rfind("結果: ", 0), 0u) << args[5] << " " << hive << ":\n" << r.err;
    return r.status;
  };
  e.search = run({"search", hive});
  e.repair = run({"repair", hive, "-o", out + "/repaired"});
  if (defrag) e.defrag = run({"defrag", hive, "-o", out + "/defragged"});
  std::set<std::string> reports;
  for (const auto& f : fs::directory_iterator(out))
    if (f.path().extension() == ".txt") reports.insert(f.path().filename().string());
  EXPECT_EQ(reports.size(), defrag ? 3u : 2u) << hive << ": a command replaced another's report";
  return e;
}

TEST(Verdict, SearchRepairAndDefragOfEverySharedHiveAgree) {
  if (SharedHivesFolder().empty()) GTEST_SKIP() << NoSharedHivesNote();
  TempDir dir;
  // The hives as a user has them: each with its logs beside it.
  for (const SharedHive& log : ListSharedLogs()) {
    std::string path = DecompressedPath(log);
    ASSERT_FALSE(path.empty()) << log.name;
    fs::copy_file(path, dir.File(log.name));
  }
  std::map<std::string, Exits> seen;
  for (const SharedHive& hive : ListSharedHives()) {
    std::string path = DecompressedPath(hive);
    ASSERT_FALSE(path.empty()) << hive.name;
    std::string copy = dir.File(hive.name), out = dir.File("out_" + TestNameOf(hive.name));
    fs::copy_file(path, copy);
    fs::create_directory(out);
    // Defrag takes format 1.3 and later only (the minor version at 0x18).
    std::vector<uint8_t> head = ReadBytes(copy);
    bool defrag = head.size() > 0x18 && head[0x18] >= 3;
    Exits e = seen[hive.name] = RunAll(copy, out, defrag);
    EXPECT_TRUE(e.search == 0 || e.search == 3) << hive.name << " search exits " << e.search;
    EXPECT_EQ(e.repair, e.search) << hive.name;
    if (defrag) {
      EXPECT_EQ(e.defrag, e.search) << hive.name;
    }
  }
  // The two that the verdict rests on: a healthy hive and one damaged on purpose.
  const std::map<std::string, int> expected = {
      {"NTUSER.DAT", 0}, {"corrupted_system_hive", 3}, {"transactions_NTUSER.DAT", 0}};
  for (const auto& [name, status] : expected) {
    auto it = seen.find(name);
    if (it == seen.end()) continue;
    EXPECT_EQ(it->second.search, status) << name;
    EXPECT_EQ(it->second.repair, status) << name;
  }
}

std::vector<uint8_t> Generation(int n) {
  HiveOptions o;
  o.primarySequence = 6;
  o.secondarySequence = 5;
  HiveBuilder b(o);
  for (int i = 0; i < n + 2; ++i) b.AddValue(b.AddKey(b.Root(), "Key" + std::to_string(i)), "V", 4, {1, 0, 0, 0});
  return b.Build();
}

// A dirty hive whose LOG1 brings it up to date: a LOG2 of entries older than
// the hive is spent (a note), one whose entries skip a sequence number is
// refused (a fault), and all three commands say so alike.
TEST(Verdict, ASpentLogIsANoteAndABadOneAFault) {
  std::vector<uint8_t> h0 = Generation(0), h1 = Generation(1), h2 = Generation(2);
  NewLogBuilder current(h0, 5), spent(h0, 2), gap(h1, 6);
  current.AddEntry(5, h0, h1);
  spent.AddEntry(2, h0, h1);
  gap.AddEntry(7, h1, h2);  // the hive's next would be 6
  for (auto [log2, line, exit] : {std::tuple{&spent, "entries 2-2 are older than the hive's 5", 0},
                                  std::tuple{&gap, "its entries do not continue the hive's", 3}}) {
    SCOPED_TRACE(line);
    TempDir dir;
    std::string hive = dir.File("h.hiv"), out = dir.File("out");
    fs::create_directory(out);
    WriteBytes(hive, h0);
    WriteBytes(hive + ".LOG1", current.Bytes());
    WriteBytes(hive + ".LOG2", log2->Bytes());
    Exits e = RunAll(hive, out);
    std::vector<uint8_t> bytes = ReadBytes(out + "/h.hiv_6_5.search.txt");
    std::string report(bytes.begin(), bytes.end());
    EXPECT_NE(report.find(std::string("LogFile=h.hiv.LOG2 NotApplied sequence number: ") + line), std::string::npos);
    EXPECT_EQ(e.search, exit);
    EXPECT_EQ(e.repair, exit);
    EXPECT_EQ(e.defrag, exit);
  }
}

// A report whose bytes did not all reach the disk (the file layer's seam
// fails its close) is not left under its name nor half written beside it:
// the command says so and fails, and the summary names no report.
TEST(Verdict, AReportNotWrittenWholeIsRemovedAndTheCommandFails) {
  TempDir dir;
  HiveBuilder b;
  b.AddValue(b.AddKey(b.Root(), "Software"), "Name", 1, {'a', 0, 0, 0});
  std::string hive = dir.File("h.hiv"), out = dir.File("out");
  WriteBytes(hive, b.Build());
  for (const char* command : {"search", "repair", "defrag"}) {
    SCOPED_TRACE(command);
    fs::remove_all(out);
    ProcessResult r = RunProcess({"env", "QUELBRIX_FAIL_FILE=close:1", QUELBRIX_CLI, "-q", "--output-dir", out,
                                  command, hive});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("none is left under its name"), std::string::npos) << r.err;
    EXPECT_NE(LastLine(r.err).find("に失敗しました; レポートなし"), std::string::npos) << r.err;
    for (const auto& f : fs::directory_iterator(out)) ADD_FAILURE() << "left behind: " << f.path();
  }
}

// The summary line in both languages: the report with one slash whatever
// --output-dir ends with, and the next step that fits: repair a damaged
// hive into a new file, search a repaired copy (quoted for the shell).
TEST(Verdict, TheSummaryLineSaysWhatWasFoundWrittenAndWhatToDoNext) {
  TempDir dir;
  HiveBuilder b;
  Key k = b.AddKey(b.Root(), "Software");
  b.AddKey(k, "Sub");
  b.Build();
  WriteBytes(dir.File("sound.hiv"), b.Image());
  uint32_t leaf = b.EntryOf(k).leafOffset, field = b.HashField(k);
  b.SetU32(leaf, field, b.U32(leaf, field) ^ 1);  // a fault Repair mends
  WriteBytes(dir.File("damaged.hiv"), b.Image());
  auto summary = [&](std::vector<std::string> args, const char* lang = "en") {
    args.insert(args.begin(), {QUELBRIX_CLI, "-q", "--lang", lang});
    return LastLine(RunProcess(args).err);
  };
  // From the folder itself, so that "." is this folder.
  std::string cwd = fs::current_path();
  fs::current_path(dir.Path());
  std::string dot = summary({"--output-dir", ".", "search", "sound.hiv"});
  std::string slash = summary({"--output-dir", dir.Path() + "/", "search", "sound.hiv"}, "ja");
  std::string damage = summary({"--output-dir", ".", "search", "damaged.hiv"});
  std::string repaired = summary({"--output-dir", ".", "repair", "damaged.hiv", "-o", "fixed hive"});
  fs::current_path(cwd);

  const std::string d = dir.Path() + "/";
  EXPECT_EQ(dot, "summary: no damage found; report " + d + "sound.hiv_1_1.search.txt");
  EXPECT_EQ(slash, "結果: 障害なし; レポート " + d + "sound.hiv_1_1.search.txt");
  EXPECT_EQ(damage, "summary: 1 fault found; report " + d + "damaged.hiv_1_1.search.txt; next: quelbrix repair " + d +
                        "damaged.hiv -o OUT");
  EXPECT_EQ(repaired, "summary: 1 fault found; report " + d + "damaged.hiv_1_1.repair.txt; hive written to " + d +
                          "fixed hive; next: quelbrix search '" + d + "fixed hive'");
}

}  // namespace
}  // namespace quelbrix::testing
