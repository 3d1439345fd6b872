// The passes' status line is put together by hand, one per bin; it must read
// exactly as the printf form it replaced, signs and extremes included.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include "core/context.h"
#include "defrag/bin_steps.h"
#include "support/recording_frontend.h"

namespace quelbrix::testing {
namespace {

TEST(DefragStatusText, ReadsAsThePrintfForm) {
  RecordingFrontend ui;
  HiveContext ctx;
  ctx.UI = &ui;
  const std::vector<DefragProgress> cases = {
      {1, 0, 1, 0, 0, 0},        {17, 3, 52311, 12, 5, 9}, {-4, -1, 0, -7, 0, 0},
      {INT_MAX, INT_MIN, 10, INT_MIN, 1, 1}, {123456, 99, 123456, INT_MAX, 0, 0},
  };
  const std::vector<DefragCaption> captions = {{"\x83\x66\x83\x74\x83\x89\x83\x4f", "デフラグ"},
                                               {std::string(300, 'c'), "long"}};
  for (const DefragCaption& caption : captions) {
    for (const DefragProgress& p : cases) {
      ui.Clear();
      DefragStatus(ctx, caption, "UnallocCells", p);
      char expected[260 + 64];
      std::snprintf(expected, sizeof expected, "%s UnallocCells HbinCount=%d (%d) / %d (%+d)", caption.Ansi.c_str(),
                    p.Index, p.Start, p.Bins, p.Expanded);
      std::vector<std::string> texts = ui.StatusTexts(0);
      ASSERT_EQ(texts.size(), 1u);
      EXPECT_EQ(texts[0], expected) << p.Index << " " << p.Expanded;
    }
  }
}

}  // namespace
}  // namespace quelbrix::testing
