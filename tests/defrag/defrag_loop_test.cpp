// The Defrag loop ends on every input: sound hives run until a round moves
// nothing, as before, the damaged reproducer that once looped is mended
// before the loop starts, and rounds that get nowhere end at its bound.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/context.h"
#include "cli/outcome.h"
#include "core/report_log.h"
#include "support/hive_builder.h"
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

// The reproducer's loop came from a value whose data offset fails its check;
// Defrag now detaches that reference before its passes, so the loop has
// nothing to hand back and forth: Defrag completes and writes a hive whose
// Search reports no error line.  (The loop's own stop has no end-to-end
// reproducer left: RoundsThatGetNowhereFailTheCommand drives it.)
TEST(DefragLoop, TheReproducerThatNeverEndedIsMendedAndEnds) {
  std::string folder = SharedReproFolder();
  std::string repro = folder + "/defrag-never-ends.hiv";
  if (folder.empty() || !std::filesystem::is_regular_file(repro))
    GTEST_SKIP() << "no defrag-never-ends.hiv in " << QUELBRIX_SHARED_HIVES "/../repro (set QUELBRIX_SHARED_REPRO)";
  HiveRun run;
  ASSERT_TRUE(run.Load(ReadBytes(repro)));
  run.Run(kCmdDefrag);
  EXPECT_EQ(run.StatusUtf8(), "デフラグ完了");
  std::vector<std::string> report = run.ReportLinesUtf8();
  EXPECT_EQ(Count(report, "DefragLoop Error "), 0);
  EXPECT_EQ(Count(report, "dataDetachClean=1"), 2);  // both summaries
  EXPECT_LE(Count(report, "[DefragUnpackedCells]"), 10);
  EXPECT_EQ(Count(report, "[DefragUnallocHbins]"), 1);

  HiveRun again;
  ASSERT_TRUE(again.Load(run.ImageBytes()));
  again.ui.Clear();
  again.Run(kCmdSearchNoDates);
  for (const PaneLine& line : again.ui.Pane())
    if (line.colour == kRed) {
      EXPECT_EQ(line.text.find("Error"), std::string::npos) << line.text;
    }
}

// Rounds that report moved cells and leave the hive as it was: the loop must
// give up after a few of them, fail the command and leave nothing to write.
// The passes give up on their own after many calls, so a loop without its
// bound ends (as settled) rather than hanging the test.
int g_roundPasses = 0;
int32_t MovesWithoutGain(PassState&) { return ++g_roundPasses < 1000 ? 1 : 0; }

TEST(DefragLoop, RoundsThatGetNowhereFailTheCommand) {
  HiveBuilder b;
  b.AddValue(b.AddKey(b.Root(), "k"), "v", 3, std::vector<uint8_t>(40, 7));
  HiveRun run;
  ASSERT_TRUE(run.Load(b.Build()));
  run.ctx.DefragRoundPass = MovesWithoutGain;
  EXPECT_EQ(ExitStatusOf(run.Run(kCmdDefrag)), 1);
  EXPECT_EQ(run.StatusUtf8(), "デフラグに失敗しました");
  std::vector<std::string> report = run.ReportLinesUtf8();
  // The first round sets the records; three rounds without one end the loop.
  EXPECT_EQ(Count(report, "DefragLoop Error NoProgress Round=4 CellMoveCount=2"), 1);
  EXPECT_EQ(Count(report, "[DefragUnallocHbins]"), 0);
  run.ctx.CurrentFile = run.dir.File("written.hiv");
  EXPECT_EQ(run.Run(kCmdWrite), CommandOutcome::kRefused);
  EXPECT_FALSE(std::filesystem::exists(run.ctx.CurrentFile));
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
