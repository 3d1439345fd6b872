// The passes' status line is put together by hand, one per bin; it must read
// exactly as the printf form it replaced, signs and extremes included.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>

#include "app/context.h"
#include "defrag/bin_steps.h"
#include "support/recording_frontend.h"

namespace quelbrix::testing {
namespace {

TEST(DefragStatusText, ReadsAsThePrintfForm) {
  RecordingFrontend ui;
  HiveContext ctx;
  ctx.UI = &ui;
  const DefragCaption captions[] = {{"\x83\x66\x83\x74", "デフ"}, {std::string(300, 'c'), ""}};
  const DefragProgress cases[] = {{1, 0, 1, 0}, {17, 3, 52311, 12}, {-4, -1, 0, -7}, {INT_MAX, INT_MIN, 10, INT_MIN}};
  for (const DefragCaption& caption : captions)
    for (const DefragProgress& p : cases) {
      ui.Clear();
      DefragStatus(ctx, caption, "UnallocCells", p);
      char expected[400];
      std::snprintf(expected, 260 + 64, "%s UnallocCells HbinCount=%d (%d) / %d (%+d)", caption.Ansi.c_str(), p.Index,
                    p.Start, p.Bins, p.Expanded);
      ASSERT_EQ(ui.StatusTexts(0), std::vector<std::string>{expected});
    }
}

}  // namespace
}  // namespace quelbrix::testing
