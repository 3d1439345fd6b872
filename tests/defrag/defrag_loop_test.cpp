// The Defrag loop ends on every input: a damaged hive whose passes hand cells
// back and forth stops with a red line and a failed Defrag that writes
// nothing, while sound hives run until a round moves nothing, as before.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/report_log.h"
#include "support/hive_fixture.h"
#include "support/large_hive.h"
#include "support/run_process.h"
#include "support/shared_hives.h"

namespace quelbrix::testing {
namespace {

int Count(const std::vector<std::string>& lines, const std::string& prefix) {
  int n = 0;
  for (const std::string& l : lines) n += l.rfind(prefix, 0) == 0 ? 1 : 0;
  return n;
}

TEST(DefragLoop, TheReproducerThatNeverEndedStopsAsAFailedDefragAndNothingIsWritten) {
  std::string folder = SharedReproFolder();
  std::string repro = folder + "/defrag-never-ends.hiv";
  if (folder.empty() || !std::filesystem::is_regular_file(repro))
    GTEST_SKIP() << "no defrag-never-ends.hiv in " << QUELBRIX_SHARED_HIVES "/../repro (set QUELBRIX_SHARED_REPRO)";
  std::vector<uint8_t> bytes = ReadBytes(repro);
  HiveRun run;
  ASSERT_TRUE(run.Load(bytes));
  run.Run(kCmdDefrag);
  EXPECT_EQ(run.StatusUtf8(), "デフラグに失敗しました");
  std::vector<std::string> report = run.ReportLinesUtf8();
  ASSERT_FALSE(report.empty());
  EXPECT_EQ(report.back().rfind("[デフラグに失敗しました] ", 0), 0u) << report.back();
  EXPECT_EQ(Count(report, "DefragLoop Error "), 1);
  // It stops a few rounds after its last record (seven rounds today), not
  // at the cap of one round per cell.
  EXPECT_LE(Count(report, "[DefragUnpackedCells]"), 10);
  EXPECT_EQ(Count(report, "[DefragUnallocHbins]"), 0);
  // Write refuses what the failed Defrag left until the file is read again.
  run.Run(kCmdWrite);
  EXPECT_EQ(run.StatusUtf8(), "書込に失敗しました");
  EXPECT_EQ(ReadBytes(run.HivePath()), bytes);
  ASSERT_TRUE(run.Load(bytes));
  run.Run(kCmdWrite);
  EXPECT_EQ(run.StatusUtf8(), "書込完了 FileSize=32768");

  std::string out = run.dir.File("out.hiv");
  ProcessResult cli = RunProcess({QUELBRIX_CLI, "defrag", repro, "-o", out, "-q", "--output-dir", run.dir.Path()});
  EXPECT_EQ(cli.status, 1) << cli.err;
  EXPECT_NE(cli.err.find("nothing written"), std::string::npos) << cli.err;
  EXPECT_FALSE(std::filesystem::exists(out));
}

// Generated hives are sound: every round of theirs makes progress and the
// loop ends when a round moves nothing, with the third pass after it.
class DefragLoopSound : public ::testing::TestWithParam<uint32_t> {};

TEST_P(DefragLoopSound, RunsUntilARoundMovesNothing) {
  for (uint32_t seed : {7u, 29u}) {
    HiveRun run;
    ASSERT_TRUE(run.Load(MakeLargeHive(1u << 20, GetParam(), seed)));
    run.Run(kCmdDefrag);
    EXPECT_EQ(run.StatusUtf8(), "デフラグ完了") << "seed " << seed;
    std::vector<std::string> report = run.ReportLinesUtf8();
    EXPECT_EQ(Count(report, "DefragLoop Error "), 0) << "seed " << seed;
    EXPECT_EQ(Count(report, "[DefragUnallocHbins]"), 1) << "seed " << seed;
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, DefragLoopSound, ::testing::Values(3u, 5u),
                         [](const ::testing::TestParamInfo<uint32_t>& info) {
                           return "Version1_" + std::to_string(info.param);
                         });

}  // namespace
}  // namespace quelbrix::testing
