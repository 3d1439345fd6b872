// The Defrag command on a fragmented built hive (holes, empty and oversized
// bins, an unreferenced and an oversized cell, long and big data), old and
// new format: the order of the passes, the statistics after them, the tree
// as before, and the fixed point that further Defrags reach.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/context.h"
#include "core/report_log.h"
#include "support/hive_builder.h"
#include "tests/defrag/defrag_fixture.h"

namespace quelbrix::testing {
namespace {

std::vector<uint8_t> Bytes(size_t n, uint8_t seed) {
  std::vector<uint8_t> d(n);
  for (size_t i = 0; i < n; ++i) d[i] = static_cast<uint8_t>(seed + i * 31 + i / 89);
  return d;
}

std::vector<uint8_t> Utf16z(const std::string& ascii) {
  std::vector<uint8_t> out;
  for (char c : ascii) out.insert(out.end(), {static_cast<uint8_t>(c), 0});
  out.insert(out.end(), {0, 0});
  return out;
}

HiveBuilder FragmentedHive(uint32_t minor) {
  HiveOptions o;
  o.minor = minor;
  HiveBuilder b(o);
  Key soft = b.AddKey(b.Root(), "Software");
  for (int i = 0; i < 40; ++i) {
    std::string name = "Key" + std::to_string(100 + i);
    Key k = b.AddKey(soft, name);
    b.AddValue(k, "Name", 1, Utf16z(name + " value"));
    if (i % 5 == 0) b.AddHole(48 + 8 * (i % 11));
    if (i % 7 == 0) b.AddValue(k, "Blob", 3, Bytes(300 + 50 * i, static_cast<uint8_t>(i)));
    if (i == 17) b.SetClass(k, u"SomeClass");
  }
  b.AddEmptyBin();
  Key big = b.AddKey(b.Root(), "Big");
  b.AddValue(big, "Long", 3, Bytes(5000, 1));
  b.AddValue(big, "Page", 3, Bytes(8188, 2));
  b.AddValue(big, "Segment", 3, Bytes(16344, 3));
  if (minor >= 4) b.AddValue(big, "Huge", 3, Bytes(40000, 4));
  b.AddEmptyBin(16384);
  Cell stray = b.AddRawCell({1, 2, 3, 4});
  b.SetCellLength(stray, 48, 0x77);
  Key tail = b.AddKey(b.Root(), "Tail");
  b.SetCellLength(b.NkCell(tail), 256);
  for (int i = 0; i < 6; ++i) b.AddValue(tail, "T" + std::to_string(i), 4, {1, 2, 3, static_cast<uint8_t>(i)});
  b.AddEmptyBin();
  return b;
}

// Index of the last pane line that starts with `prefix`, or -1.
int LastLine(const std::vector<std::string>& pane, const std::string& prefix) {
  for (int i = static_cast<int>(pane.size()) - 1; i >= 0; --i)
    if (pane[i].rfind(prefix, 0) == 0) return i;
  return -1;
}

// The free space that Defrag leaves: one free cell at most, at the end of
// its bin, and never a whole free page except behind a page-multiple cell
// that sits first in a bin one page longer than itself.  When the allocator
// places such a cell after every short cell has found its place, nothing
// fills that page; the next Defrag does.  Returns the number of those bins.
int CheckPacked(const HiveContext& ctx) {
  int pageTails = 0;
  for (const BinCells& bin : BinsOf(ctx)) {
    for (size_t i = 0; i + 1 < bin.cells.size(); ++i)
      EXPECT_LT(bin.cells[i], 0) << "free cell inside the bin at " << bin.offset;
    if (bin.cells.empty() || bin.cells.back() < 4064) continue;
    ++pageTails;
    EXPECT_EQ(bin.cells, (std::vector<int32_t>{-static_cast<int32_t>(bin.size - 4096), 4064}))
        << "free page in the bin at " << bin.offset;
  }
  return pageTails;
}

std::vector<std::string> PassLines(const std::vector<std::string>& text) {
  std::vector<std::string> out;
  for (const std::string& l : text)
    if (l.find(" CellMoveCount=") != std::string::npos) out.push_back(l);
  return out;
}

class DefragCommand : public ::testing::TestWithParam<uint32_t> {};

TEST_P(DefragCommand, CompactsAFragmentedHiveUntilAFurtherDefragChangesNothing) {
  HiveBuilder b = FragmentedHive(GetParam());
  HiveRun run;
  ASSERT_TRUE(run.Load(b.Build()));
  run.Run(kCmdSearchNoDates);
  std::vector<std::string> tree = WalkLines(run.ui);
  uint64_t sizeBefore = run.ctx.FileSize;

  run.Run(kCmdDefrag);
  EXPECT_EQ(run.StatusUtf8(), "デフラグ完了");
  std::vector<PaneLine> pane = run.ui.Pane();
  std::vector<std::string> text = run.ui.PaneUtf8();
  // Phase headings after the scan: the loop runs the first two passes in
  // turns until neither moves a cell, then the third pass once.
  std::vector<std::string> headings;
  for (size_t i = LastLine(text, "[Repair Summary]"); i < text.size(); ++i) {
    if (pane[i].colour != kGreen) continue;
    headings.push_back(text[i].substr(0, text[i].find(']') + 1));
    if (headings.back() == "[HbinsCellsStruct Status]") break;
  }
  ASSERT_GE(headings.size(), 8u);
  size_t n = headings.size();
  EXPECT_EQ(headings[0], "[Repair Summary]");
  EXPECT_EQ(headings[1], "[Defrag Start]");
  EXPECT_EQ(headings[n - 3], "[DefragUnallocHbins]");
  EXPECT_EQ(headings[n - 2], "[Defrag Summary]");
  EXPECT_EQ(headings[n - 1], "[HbinsCellsStruct Status]");
  for (size_t i = 2; i + 3 < n; i += 2) {
    EXPECT_EQ(headings[i], "[DefragUnpackedCells]");
    EXPECT_EQ(headings[i + 1], "[DefragUnallocCells]");
  }
  EXPECT_EQ(text[LastLine(text, "UnpackedCells CellMoveCount=")], "UnpackedCells CellMoveCount=0 HbinDeleteCount=0");
  EXPECT_EQ(text[LastLine(text, "UnallocCells CellMoveCount=")], "UnallocCells CellMoveCount=0 HbinDeleteCount=0");
  for (const char* line : {"ContinueCellsCount=0", "UnpackedCellsCount=0"}) {
    int at = LastLine(text, std::string(line).substr(0, std::string(line).find('=') + 1));
    ASSERT_NE(at, -1) << line;
    EXPECT_EQ(text[at], line);
    EXPECT_EQ(pane[at].colour, kBlack) << line;
  }
  int pageTails = CheckPacked(run.ctx);
  EXPECT_EQ(text[LastLine(text, "UnallocHbinsCount=")], "UnallocHbinsCount=" + std::to_string(pageTails));
  // The stray cell was freed, the oversized key trimmed, cells moved.
  EXPECT_NE(LastLine(text, "UnaccessCellsClean=1"), -1);
  EXPECT_NE(LastLine(text, "AdjustCellsClean="), -1);
  EXPECT_NE(LastLine(text, "moveCellsClean="), -1);
  EXPECT_EQ(run.ctx.FileSize, uint64_t{kBaseBlockSize} + HiveImage(run.ctx).HbinsDataSize());
  EXPECT_LT(run.ctx.FileSize, sizeBefore);

  run.Run(kCmdSearchNoDates);
  EXPECT_EQ(WalkLines(run.ui), tree);
  EXPECT_EQ(ScanErrors(run.ui), std::vector<std::string>{});

  // The next Defrag fills what the first left and never grows the hive; a
  // Defrag after that finds nothing to do.
  uint64_t sizeFirst = run.ctx.FileSize;
  run.Run(kCmdDefrag);
  EXPECT_LE(run.ctx.FileSize, sizeFirst);
  EXPECT_EQ(CheckPacked(run.ctx), 0);
  std::vector<uint8_t> settled = run.ImageBytes();
  run.Run(kCmdDefrag);
  EXPECT_EQ(PassLines(run.ui.PaneUtf8()), (std::vector<std::string>{"UnpackedCells CellMoveCount=0 HbinDeleteCount=0",
                                                                  "UnallocCells CellMoveCount=0 HbinDeleteCount=0",
                                                                  "UnallocHbins CellMoveCount=0 HbinDeleteCount=0"}));
  EXPECT_EQ(run.ImageBytes(), settled);
  run.Run(kCmdSearchNoDates);
  EXPECT_EQ(WalkLines(run.ui), tree);
  EXPECT_EQ(ScanErrors(run.ui), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Formats, DefragCommand, ::testing::Values(3u, 5u),
                         [](const ::testing::TestParamInfo<uint32_t>& info) {
                           return "Version1_" + std::to_string(info.param);
                         });

}  // namespace
}  // namespace quelbrix::testing
