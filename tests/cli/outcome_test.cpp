// The exit status of every way a command can end, as the README's table
// gives it; an outcome the mapping does not know must never read as success.
#include <gtest/gtest.h>

#include "app/context.h"
#include "cli/outcome.h"

namespace quelbrix {
namespace {

TEST(ExitStatus, EachOutcomeGetsItsStatusAndAnUnknownOneFails) {
  HiveContext sound, damaged, stopped;
  damaged.FaultLines = 1;
  stopped.ScanStopped = true;
  const struct {
    CommandOutcome outcome;
    const HiveContext& ctx;
    int status;
  } cases[] = {
      {CommandOutcome::kCompleted, sound, 0},         {CommandOutcome::kCompleted, damaged, 3},
      {CommandOutcome::kStoppedAtDamage, stopped, 3}, {CommandOutcome::kFailed, damaged, 1},
      {CommandOutcome::kRefused, sound, 1},           {CommandOutcome::kAborted, damaged, 130},
      {static_cast<CommandOutcome>(5), sound, 1},     {static_cast<CommandOutcome>(-1), sound, 1},
  };
  for (const auto& c : cases)
    EXPECT_EQ(VerdictOf(ExitStatusOf(c.outcome), c.ctx), c.status) << static_cast<int>(c.outcome);
}

}  // namespace
}  // namespace quelbrix
