// Findings: the table of kinds holds together and the README carries it; a
// finding names its kind, cell and severity, and only faults make the
// verdict; on the shared hives, --json lists exactly the findings the report
// shows, in its order.
#include "report/findings.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/run_command.h"
#include "core/report_log.h"
#include "hive/report_finding.h"
#include "support/hive_builder.h"
#include "support/hive_fixture.h"
#include "support/run_process.h"
#include "support/shared_hives.h"

namespace quelbrix::testing {
namespace {

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(FindingKinds, IdsAreUniqueValuesFitTheLinesAndTheReadmeCarriesTheTable) {
  std::set<std::string_view> ids;
  for (const FindingKindInfo& kind : kFindingKinds) {
    EXPECT_TRUE(ids.insert(kind.Id).second) << "two kinds are " << kind.Id;
    char codes[16];
    size_t n = finding_detail::Conversions(kind.Format, codes, sizeof codes);
    for (size_t i = 0; i < n && i < sizeof codes; ++i) EXPECT_NE(codes[i], '?') << kind.Id << ": " << kind.Format;
    EXPECT_TRUE(!kind.Explain.empty() && kind.Explain.back() == '.') << kind.Id;
  }
  std::string readme = ReadText(std::string(QUELBRIX_TESTS_SOURCE) + "/../README.md");
  EXPECT_NE(readme.find(FindingKindsTable()), std::string::npos)
      << "README.md lacks the current table of finding kinds; it is:\n" << FindingKindsTable();
}

// One built hive, with slack after its bins and then with its only bin
// broken: each finding names its kind and cell, and only faults count.
TEST(Findings, NameTheirKindAndCellAndOnlyFaultsMakeTheVerdict) {
  HiveBuilder b;
  b.AddValue(b.AddKey(b.Root(), "Software"), "Name", 1, {'a', 0, 0, 0});
  b.Build();
  std::vector<uint8_t> slack = b.Image();
  slack.resize(slack.size() + 4096, 0);

  HiveRun run;
  FindingList heard;
  run.ctx.Findings = &heard;
  ASSERT_TRUE(run.Load(slack));
  run.Run(kCmdSearchNoDates);
  ASSERT_EQ(heard.Items().size(), 1u);
  EXPECT_EQ(InfoOf(heard.Items()[0].Kind).Id, "regf.FileSize.Slack");
  EXPECT_EQ(heard.Items()[0].Offset, kNoOffset);
  EXPECT_EQ(run.ctx.FaultLines, 0u);
  // Red is a fault's colour: the slack line takes the pane's normal one.
  int slackLine = run.ui.FindPanePrefix("FileSize(regfSize+regfHbinsLength) Error");
  ASSERT_GE(slackLine, 0);
  EXPECT_EQ(run.ui.Pane()[static_cast<size_t>(slackLine)].colour, kBlack);

  b.SetFileU32(4096, 0);  // the first bin's signature
  HiveRun broken;
  FindingList found;
  broken.ctx.Findings = &found;
  ASSERT_TRUE(broken.Load(b.Image()));
  broken.Run(kCmdSearchNoDates);
  std::vector<std::pair<std::string_view, uint32_t>> got;
  for (const ListedFinding& f : found.Items()) got.emplace_back(InfoOf(f.Kind).Id, f.Offset);
  std::vector<std::pair<std::string_view, uint32_t>> want = {{"Hbins.Signature.Error", 4096u},
                                                             {"Hbins.FirstAssert", 4096u}};
  EXPECT_EQ(got, want);
  EXPECT_EQ(broken.ctx.FaultLines, 2u);
  EXPECT_TRUE(broken.ctx.ScanStopped);
  int faultLine = broken.ui.FindPane("HbinsSignature Error");
  ASSERT_GE(faultLine, 0);
  EXPECT_EQ(broken.ui.Pane()[static_cast<size_t>(faultLine)].colour, kRed);
}

class SharedHiveFindings : public ::testing::TestWithParam<std::string> {};

TEST_P(SharedHiveFindings, JsonListsTheReportsFindingsInItsOrder) {
  SharedHive hive;
  for (const SharedHive& h : ListSharedHives()) {
    if (h.name == GetParam()) hive = h;
  }
  if (hive.name.empty()) GTEST_SKIP() << NoSharedHivesNote();
  std::string error;
  std::string path = DecompressedPath(hive, &error);
  ASSERT_FALSE(path.empty()) << error;
  TempDir out;
  // A copy, so that no log beside the shared file is replayed.
  std::filesystem::copy_file(path, out.File("hive"));
  for (std::vector<std::string> command : {std::vector<std::string>{"search"}, {"repair", "-o", out.File("written")}}) {
    SCOPED_TRACE(command[0]);
    std::vector<std::string> args = {QUELBRIX_CLI, command[0], out.File("hive"), "--output-dir", out.Path(),
                                     "--no-diagnostic", "--json", "--codepage", "65001"};
    args.insert(args.end(), command.begin() + 1, command.end());
    ProcessResult run = RunProcess(args);
    nlohmann::json j = nlohmann::json::parse(run.out, nullptr, false);
    ASSERT_TRUE(j.is_object()) << run.out << run.err;
    unsigned faults = 0;
    for (const auto& f : j["findings"]) faults += f["severity"] == "fault";
    EXPECT_EQ(faults, j["error_lines"].get<unsigned>());
    EXPECT_EQ(run.status, faults > 0 || j["scan_stopped"].get<bool>() ? 3 : 0) << run.err;
    // The report's lines hold every finding's line, in the findings' order.
    std::vector<std::string> report = SplitCrLf(ReadBytes(j["report"].get<std::string>()));
    size_t at = 0;
    for (const auto& f : j["findings"]) {
      const std::string line = f["line"].get<std::string>();
      while (at < report.size() && report[at] != line) ++at;
      ASSERT_LT(at, report.size()) << "not in the report, or out of order: " << line;
      ++at;
      EXPECT_TRUE(f["offset"].is_null() || f["offset"].is_number_unsigned());
      EXPECT_FALSE(f["explain"].get<std::string>().empty());
    }
    if (hive.corrupted) {
      EXPECT_GT(faults, 0u);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Hives, SharedHiveFindings,
                         ::testing::Values("corrupted_system_hive", "SYSTEM_WIN_10_1709", "SAM"),
                         [](const auto& info) { return TestNameOf(info.param); });

}  // namespace
}  // namespace quelbrix::testing
