// The shared dirty hives with the logs Windows wrote beside them: every entry
// validates (hashes made by Windows), Repair writes the tree that the
// expected files hold (read back by python3-hivex), Search counts its keys
// and values, and --no-logs reads the file exactly as if no log were there.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/hive_fixture.h"
#include "support/run_process.h"
#include "support/shared_hives.h"
#include "txlog/txlog.h"

namespace quelbrix::testing {
namespace {

namespace fs = std::filesystem;

struct Dirty {
  std::string hive;
  std::vector<std::string> logs;
};

const Dirty kWithLogs[] = {
    {"SYSTEM_B", {"SYSTEM_B.LOG1", "SYSTEM_B.LOG2"}},
    {"UsrClass.dat", {"UsrClass.dat.LOG1", "UsrClass.dat.LOG2"}},
    {"transactions_NTUSER.DAT", {"transactions_ntuser.dat.log1", "transactions_ntuser.dat.log2"}},
};

void PrintTo(const Dirty& d, std::ostream* os) { *os << d.hive; }

// Decompresses a shared file into `folder`; "" when it is not there.
std::string Unpack(const std::string& name, const std::string& folder) {
  std::string xz = SharedHivesFolder() + "/" + name + ".xz";
  if (SharedHivesFolder().empty() || !fs::exists(xz)) return "";
  std::string out = folder + "/" + name;
  return RunProcess({"xz", "-dc", xz}, out).status == 0 ? out : "";
}

std::string Text(const std::string& path) {
  auto bytes = ReadBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

// Dump lines with string data (types 1, 2, 7) cut to path, name and type:
// Repair may fix their lengths.
std::string Comparable(const std::string& dump) {
  std::istringstream in(dump);
  std::string line, out;
  while (std::getline(in, line)) {
    std::vector<std::string> f;
    std::stringstream s(line);
    for (std::string part; std::getline(s, part, '\t');) f.push_back(part);
    if (f.size() == 6 && f[0] == "V" && (f[3] == "1" || f[3] == "2" || f[3] == "7")) line = f[0] + "\t" + f[1] + "\t" + f[2] + "\t" + f[3];
    out += line + "\n";
  }
  return out;
}

long Count(const std::string& report, const std::string& prefix) {
  size_t at = report.find("\n" + prefix);
  return at == std::string::npos ? -1 : std::strtol(report.c_str() + at + 1 + prefix.size(), nullptr, 10);
}

class SharedLogs : public ::testing::TestWithParam<Dirty> {
 protected:
  void SetUp() override {
    hive_ = Unpack(GetParam().hive, dir_.Path());
    for (const auto& log : GetParam().logs)
      if (Unpack(log, dir_.Path()).empty()) hive_.clear();
    if (hive_.empty()) GTEST_SKIP() << "shared hive or its logs not found";
  }
  TempDir dir_;
  std::string hive_;
};

TEST_P(SharedLogs, EveryEntryThatWindowsWroteValidates) {
  auto bytes = ReadBytes(hive_);
  txlog::Outcome out = txlog::Recover(bytes, txlog::ReadLogs(txlog::FindLogs(hive_)));
  EXPECT_TRUE(out.Applied);
  EXPECT_EQ(out.AppliedLogs.size() + out.RefusedLogs.size(), 2u);
  for (const auto& note : out.Notes) EXPECT_EQ(note.Text.find("LogEntry Error"), std::string::npos) << note.Text;
}

TEST_P(SharedLogs, RepairWritesTheRecoveredTreeAndSearchCountsIt) {
  std::string expected = SharedHivesFolder() + "/../expected/" + GetParam().hive + ".recovered.tsv.xz";
  std::string dumper = SharedHivesFolder() + "/../tools/hivedump.py";
  if (!fs::exists(expected) || !fs::exists(dumper)) GTEST_SKIP() << "../shared/expected or ../shared/tools not found";
  std::string out = dir_.File("out");
  fs::create_directories(out);
  ProcessResult repair =
      RunProcess({QUELBRIX_CLI, "--output-dir", out, "-q", "--json", "repair", "-o", out + "/hive", hive_});
  // 3: the recovered tree holds faults of its own (string data lengths) that Repair mends.
  ASSERT_TRUE(repair.status == 0 || repair.status == 3) << repair.status << repair.err;
  EXPECT_NE(repair.err.find("TransactionLogs applied="), std::string::npos) << repair.err;
  nlohmann::json summary = nlohmann::json::parse(repair.out, nullptr, false);
  ASSERT_TRUE(summary.is_object()) << repair.out;
  auto bytes = ReadBytes(hive_);
  txlog::Outcome recovered = txlog::Recover(bytes, txlog::ReadLogs(txlog::FindLogs(hive_)));
  EXPECT_FALSE(recovered.AppliedLogs.empty());
  EXPECT_EQ(summary["logs_applied"], nlohmann::json(recovered.AppliedLogs)) << repair.out;
  ProcessResult want = RunProcess({"xz", "-dc", expected});
  ProcessResult got = RunProcess({"/usr/bin/python3", dumper, out + "/hive"});
  ASSERT_EQ(got.status, 0) << got.err;
  EXPECT_TRUE(Comparable(want.out) == Comparable(got.out)) << "the written tree differs from " << expected;

  ProcessResult search = RunProcess({QUELBRIX_CLI, "--output-dir", out, "-q", "search", "--no-dates", hive_});
  ASSERT_TRUE(search.status == 0 || search.status == 3) << search.status << search.err;
  std::string report;
  for (const auto& e : fs::directory_iterator(out))
    if (e.path().filename().string().rfind("search", 0) != 0 && e.path().extension() == ".txt") report = Text(e.path());
  long keys = 0, values = 0;
  for (size_t at = 0; (at = want.out.find('\n', at)) != std::string::npos; ++at) {
    if (want.out.compare(at + 1, 2, "K\t") == 0) ++keys;
    if (want.out.compare(at + 1, 2, "V\t") == 0) ++values;
  }
  keys += want.out.compare(0, 2, "K\t") == 0;
  EXPECT_EQ(Count(report, "nkCells AccessCount="), keys);
  EXPECT_EQ(Count(report, "vkCells AccessCount="), values);
}

TEST_P(SharedLogs, NoLogsReadsTheFileAsIfNoLogWereBesideIt) {
  TempDir alone;
  ASSERT_FALSE(Unpack(GetParam().hive, alone.Path()).empty());
  std::string withLogs = dir_.File("out"), without = alone.File("out");
  std::string times = R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d)";
  for (const std::string& out : {withLogs, without}) fs::create_directories(out);
  ProcessResult a = RunProcess({QUELBRIX_CLI, "--output-dir", withLogs, "--no-logs", "search", hive_});
  ProcessResult b = RunProcess({QUELBRIX_CLI, "--output-dir", without, "search", alone.File(GetParam().hive)});
  EXPECT_EQ(a.status, b.status);
  auto same = [&](std::string x, std::string y) {
    x = std::regex_replace(x, std::regex(times), "T");
    y = std::regex_replace(y, std::regex(times), "T");
    x = std::regex_replace(x, std::regex(dir_.Path()), "D");
    // --no-logs names its report apart, so that it replaces no other.
    x = std::regex_replace(x, std::regex("\\.search-nologs\\.txt"), ".search.txt");
    y = std::regex_replace(y, std::regex(alone.Path()), "D");
    return x == y;
  };
  EXPECT_TRUE(same(a.out, b.out));
  EXPECT_TRUE(same(a.err, b.err)) << a.err << b.err;
  std::string name;
  for (const auto& e : fs::directory_iterator(without)) name = e.path().filename().string();
  ASSERT_EQ(name.substr(name.size() - 11), ".search.txt");
  std::string noLogsName = name.substr(0, name.size() - 11) + ".search-nologs.txt";
  ASSERT_TRUE(fs::exists(withLogs + "/" + noLogsName)) << noLogsName;
  std::string report = Text(withLogs + "/" + noLogsName);
  EXPECT_TRUE(same(report, Text(without + "/" + name)));
  EXPECT_EQ(report.find("TransactionLog"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Dirty, SharedLogs, ::testing::ValuesIn(kWithLogs),
                         [](const auto& info) { return TestNameOf(info.param.hive); });

}  // namespace
}  // namespace quelbrix::testing
