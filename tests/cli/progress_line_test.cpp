// The progress line never wraps: whatever the path and the terminal's width,
// what is shown fits, keeps both ends of the text and marks the cut.  It
// leads with the share of the step done, which the engine reports as it goes.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "app/context.h"
#include "cli/cli_frontend.h"
#include "support/hive_fixture.h"
#include "support/large_hive.h"

namespace quelbrix {
namespace {

// Columns of UTF-8 text where every non-ASCII code point in these samples is wide.
size_t Width(const std::string& s) {
  size_t w = 0;
  for (unsigned char c : s) {
    if (c < 0x80) ++w;
    else if ((c & 0xC0) != 0x80) w += 2;
  }
  return w;
}

TEST(ProgressLine, FitsEveryWidthAndKeepsBothEnds) {
  const std::string ascii = "ROOT\\ControlSet001\\Services\\Tcpip\\Parameters\\Interfaces\\{4d36e972-e325-11ce}";
  const std::string wide = "検索(日付有) ROOT\\ソフトウェア\\マイクロソフト\\ウィンドウズ\\現在のバージョン\\実行";
  for (const std::string& text : {ascii, wide}) {
    for (size_t columns = 8; columns <= 120; ++columns) {
      std::string fitted = FitProgressLine(text, columns);
      if (Width(text) < columns) {
        EXPECT_EQ(fitted, text);
        continue;
      }
      EXPECT_LT(Width(fitted), columns) << columns << ": " << fitted;
      size_t cut = fitted.find("...");
      ASSERT_NE(cut, std::string::npos) << fitted;
      EXPECT_EQ(text.compare(0, cut, fitted, 0, cut), 0) << fitted;
      std::string tail = fitted.substr(cut + 3);
      EXPECT_EQ(text.compare(text.size() - tail.size(), tail.size(), tail), 0) << fitted;
      EXPECT_GE(Width(fitted) + 4, columns) << "more was cut than needed: " << fitted;
    }
  }
}

TEST(ProgressLine, ShareLeadsAndTheLineStillFits) {
  const std::string text = "検索(日付有) ROOT\\ソフトウェア\\マイクロソフト\\ウィンドウズ\\現在のバージョン\\実行";
  for (size_t columns = 12; columns <= 120; ++columns) {
    std::string line = ProgressLine(text, 37, 100, columns);
    EXPECT_EQ(line, "37% " + FitProgressLine(text, columns - 4));
    if (Width(text) + 4 >= columns) {
      EXPECT_LT(Width(line), columns) << columns << ": " << line;
    }
  }
  EXPECT_EQ(ProgressLine(text, 37, 100, 11), FitProgressLine(text, 11)) << "too narrow for a share";
  EXPECT_EQ(ProgressLine("x", 5, 0, 80), "x") << "no total, no share";
  EXPECT_EQ(ProgressLine("x", 0, 7, 80), " 0% x");
  // A count that reaches or passes its estimate stays below the step's end.
  for (uint64_t done : {7, 9}) EXPECT_EQ(ProgressLine("x", done, 7, 80), "99% x");
}

// The engine's side: the key walk counts against the allocated nk cells met
// before it starts, the defrag passes against the bins' bytes, and no share
// outlives its step.
class ProgressRecorder : public testing::RecordingFrontend {
 public:
  void ShowProgress(uint64_t done, uint64_t total) override { calls.emplace_back(done, total); }
  std::vector<std::pair<uint64_t, uint64_t>> calls;
};

TEST(ProgressLine, EngineSharesGrowAndEndWithTheirStep) {
  testing::HiveRun run;
  ASSERT_TRUE(run.Load(testing::MakeLargeHive(6u << 20, 5, 7)));
  for (int32_t command : {kCmdSearchDates, kCmdDefrag}) {
    ProgressRecorder ui;
    run.ctx.UI = &ui;
    run.Run(command);
    run.ctx.UI = &run.ui;
    uint64_t keys = 0;
    for (const std::string& line : run.ReportLines())
      if (line.rfind("nkCells AccessCount=", 0) == 0) keys = std::stoul(line.substr(20));
    ASSERT_GT(keys, 1000u);
    ASSERT_FALSE(ui.calls.empty());
    const uint64_t keyCells = ui.calls.front().second;
    EXPECT_GE(keyCells, keys) << "a sound hive has no key outside the allocated nk cells";
    size_t i = 0;
    for (; i < ui.calls.size() && ui.calls[i].second != 0; ++i) EXPECT_EQ(ui.calls[i].first, 256 * i) << command;
    EXPECT_EQ(i - 1, keys / 256) << "one share per 256 keys walked";
    uint64_t furthest = 0;  // of the bin passes, in percent
    for (; i < ui.calls.size(); ++i) {
      auto [done, total] = ui.calls[i];
      if (total == 0) continue;
      EXPECT_LE(done, total);
      furthest = std::max(furthest, done * 100 / total + 1);
    }
    EXPECT_EQ(furthest >= 90, command == kCmdDefrag) << furthest;
    EXPECT_EQ(ui.calls.back().second, 0u) << command;
  }
}

}  // namespace
}  // namespace quelbrix
