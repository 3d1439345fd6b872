// DefragUnpackedCells on built hives: holes packed and merged, cells behind a
// hole and long or short cells in the wrong place moved out, free ends of
// multi-page bins cut into pages, and the diagnostic move of a bin's only
// cell into an earlier bin.
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <cstring>
#include <string>
#include <vector>

#include "app/context.h"
#include "core/report_log.h"
#include "defrag/defrag.h"
#include "hive/cells.h"
#include "support/hive_builder.h"
#include "tests/defrag/defrag_fixture.h"

namespace quelbrix::testing {
namespace {

std::vector<uint8_t> Bytes(size_t n, uint8_t seed) {
  std::vector<uint8_t> d(n);
  for (size_t i = 0; i < n; ++i) d[i] = static_cast<uint8_t>(seed + i * 13 + i / 97);
  return d;
}

std::vector<uint8_t> HiveBytes(const HiveContext& ctx) {
  return std::vector<uint8_t>(ctx.Image, ctx.Image + kBaseBlockSize + HiveImage(ctx.Image, ctx.ImageSize).HbinsDataSize());
}

TEST(DefragUnpackedCells, MovesTheCellBehindAHoleAndMergesTheFreeCellsBehindIt) {
  HiveBuilder b;
  b.AddKey(b.Root(), "A");
  b.AddHole(64);
  b.AddKey(b.Root(), "B");
  b.EndBin();
  b.AddKey(b.Root(), "C");
  b.Build();
  uint32_t nkB = b.NkOffset("B");
  ScannedHive h(b.Build());
  ASSERT_TRUE(h.loaded);
  ASSERT_EQ(h.errorsBefore, std::vector<std::string>{});
  // Bin 1: root nk, sk, root index, A, hole, B, free end; bin 2: C, free end.
  ASSERT_EQ(BinsOf(h.Ctx())[0].cells, (std::vector<int32_t>{-88, -128, -32, -88, 64, -88, 3576}));

  EXPECT_EQ(DefragUnpackedCells(h.Ctx()), 1);
  std::vector<BinCells> bins = BinsOf(h.Ctx());
  ASSERT_EQ(bins.size(), 2u);
  EXPECT_EQ(bins[0].cells, (std::vector<int32_t>{-88, -128, -32, -88, 64 + 88 + 3576}));
  // B went to the first room after the packed bin: the tail of bin 2.
  EXPECT_EQ(bins[1].cells, (std::vector<int32_t>{-88, -88, 3976 - 88}));
  EXPECT_EQ(NkCell(HiveImage(h.Ctx()), h.Pos(nkB)).Size(), 88);  // the old place is free
  EXPECT_EQ(h.Totals().Counter(RepairCounter::ContinueCellsClean), 1);
  EXPECT_EQ(h.Totals().Counter(RepairCounter::UnpackedCellsClean), 1);
  EXPECT_EQ(h.Totals().Counter(RepairCounter::moveCellsClean), 1);
  EXPECT_EQ(BinShadow(AccessMap(h.Ctx()), kBaseBlockSize).FreeTail(), h.Pos(0x170));
  EXPECT_EQ(BinShadow(AccessMap(h.Ctx()), kBaseBlockSize).HbinState(), 2u);

  std::vector<PaneLine> pane = h.run.ui.Pane();
  ASSERT_EQ(pane.size(), 2u);
  EXPECT_EQ(pane[0].text.rfind("[DefragUnpackedCells] ", 0), 0u);
  EXPECT_EQ(pane[0].colour, kGreen);
  EXPECT_EQ(pane[1].text, "UnpackedCells CellMoveCount=1 HbinDeleteCount=0");
  EXPECT_EQ(pane[1].colour, kBlack);
  std::vector<std::string> status;
  for (const std::string& s : h.run.ui.StatusTexts(0)) status.push_back(platform::AnsiToUtf8(s));
  EXPECT_EQ(status, (std::vector<std::string>{"デフラグ UnpackedCells HbinCount=1 (0) / 2 (+0)",
                                              "デフラグ UnpackedCells HbinCount=2 (1) / 2 (+0)"}));

  // A packed hive: the next pass moves nothing and changes no byte.
  std::vector<uint8_t> packed = HiveBytes(h.Ctx());
  EXPECT_EQ(DefragUnpackedCells(h.Ctx()), 0);
  EXPECT_EQ(HiveBytes(h.Ctx()), packed);
  h.ExpectSameTree();
}

// Bin 2 is an empty bin of 16384 bytes; Z and Y share bin 3, so no key can
// leave its bin in diagnostic mode.
TEST(DefragUnpackedCells, CutsAnEmptyMultiPageBinIntoPages) {
  HiveBuilder b;
  b.AddKey(b.Root(), "A");
  b.AddEmptyBin(16384);
  b.AddKey(b.Root(), "Z");
  b.AddKey(b.Root(), "Y");
  ScannedHive h(b.Build());
  ASSERT_TRUE(h.loaded);
  h.Ctx().DiagnosticMode = 1;
  h.Ctx().Rules = MakePassRules(h.Ctx().CommandId, h.Ctx().DiagnosticMode != 0);
  uint32_t binsBefore = h.Totals().Get(Total::HbinCount);

  EXPECT_EQ(DefragUnpackedCells(h.Ctx()), 1);  // the cut counts as a move
  EXPECT_EQ(BinSizes(h.Ctx()), (std::vector<uint32_t>{4096, 4096, 4096, 4096, 4096, 4096}));
  std::vector<BinCells> bins = BinsOf(h.Ctx());
  for (int i = 1; i <= 4; ++i) EXPECT_EQ(bins[i].cells, std::vector<int32_t>{4064}) << i;
  EXPECT_EQ(h.Totals().Get(Total::HbinCount), binsBefore + 3);
  // The bin behind the cut pages knows the size of the page before it.
  AccessMap map(h.Ctx());
  for (int i = 1; i < 6; ++i) EXPECT_EQ(BinShadow(map, h.Pos(bins[i].offset)).PrevBinSize(), 4096u) << i;
  std::vector<std::string> black = PaneLinesIn(h.run.ui, kBlack);
  EXPECT_EQ(black, (std::vector<std::string>{"SplitHbins HbinCount=2 HbinsSize=16384",
                                             "UnpackedCells CellMoveCount=1 HbinDeleteCount=0"}));
  h.ExpectSameTree();
}

struct LongCase {
  const char* name;
  uint32_t minor;
  size_t dataLength;
  uint32_t forcedLength;  // 0: natural
  int32_t pokedSize;      // 0: as built
  int32_t moves;
  std::vector<uint32_t> binsAfter;
  uint32_t newLength;  // length of the data cell after the pass
  const char* line;    // diagnostic line, "" for none
};

// Keeps ctest's listing to the case name instead of a dump of the struct.
void PrintTo(const LongCase& c, std::ostream* os) { *os << c.name; }

class LongCells : public ::testing::TestWithParam<LongCase> {};

// Each hive: bin 1 with the root, a key, its value list and vk; then the data
// cell, first in a bin the builder sizes for it.
TEST_P(LongCells, MoveOnlyWhenPlacedBadlyAndGrowToTheBigCellLength) {
  const LongCase& c = GetParam();
  HiveOptions o;
  o.minor = c.minor;
  HiveBuilder b(o);
  Key k = b.AddKey(b.Root(), "V");
  Value v = b.AddValue(k, "Data", 3, Bytes(c.dataLength, 7));
  if (c.forcedLength != 0) b.SetCellLength(b.DataCell(v), c.forcedLength);
  b.Build();
  uint32_t data = b.Offset(b.DataCell(v));
  if (c.pokedSize != 0) {
    // The cell becomes shorter; the bytes it gives up are a free cell.
    b.SetI32(data, 0, c.pokedSize);
    b.SetI32(data, static_cast<uint32_t>(-c.pokedSize), static_cast<int32_t>(c.forcedLength) + c.pokedSize);
  }
  ScannedHive h(b.Image());
  ASSERT_TRUE(h.loaded);
  ASSERT_EQ(h.errorsBefore, std::vector<std::string>{});
  h.Ctx().DiagnosticMode = 1;
  h.Ctx().Rules = MakePassRules(h.Ctx().CommandId, h.Ctx().DiagnosticMode != 0);

  EXPECT_EQ(DefragUnpackedCells(h.Ctx()), c.moves);
  EXPECT_EQ(BinSizes(h.Ctx()), c.binsAfter);
  HiveImage image(h.Ctx());
  uint32_t vk = VkCell(image, h.Pos(b.Offset(b.VkCell(v)))).DataOffset();
  EXPECT_EQ(CellView::AtOffset(image, vk).Length(), c.newLength);
  // Placement lines are layout: never red, and shown only when a cell moves.
  EXPECT_EQ(h.Red(), std::vector<std::string>{});
  std::vector<std::string> shown = PaneLinesIn(h.run.ui, kBlack);
  auto placement = std::find_if(shown.begin(), shown.end(), [](const std::string& l) {
    return l.rfind("HbinsCells ", 0) == 0 || l.rfind("ShortCells ", 0) == 0;
  });
  if (*c.line == '\0') {
    EXPECT_TRUE(placement == shown.end()) << *placement;
  } else {
    ASSERT_TRUE(placement != shown.end());
    EXPECT_EQ(*placement, c.line);
  }
  if (c.minor <= 3) {
    for (const BinCells& bin : BinsOf(h.Ctx()))
      EXPECT_EQ(image.U32(h.Pos(bin.offset) + 0x1C), bin.size) << "spare word of the bin at " << bin.offset;
  }
  h.ExpectSameTree();
}

INSTANTIATE_TEST_SUITE_P(
    Placement, LongCells,
    ::testing::Values(
        LongCase{"PageMultipleInABinOnePageLonger", 5, 8188, 0, 0, 0, {4096, 12288}, 8192, ""},
        // Moved to a new bin at the end, then (diagnostic mode) forward into
        // three of the four pages that its old bin was cut into.
        LongCase{"PageMultipleInABinTwoPagesLonger", 5, 8188, 12288, -8192, 4, {4096, 12288}, 8192,
                 "HbinsCells HbinsSize Error HbinCount=2 HbinsSize=16384 CellCount=1 CellSize=-8192"},
        LongCase{"NoPageMultipleNewFormat", 5, 5000, 0, 0, 2, {4096, 4096, 4096, 12288}, 8192,
                 "HbinsCells Error3 not multiple 4096 HbinCount=2 HbinsSize=8192 CellCount=1 CellSize=-5008"},
        LongCase{"NoPageMultipleOldFormat", 3, 5000, 0, 0, 2, {4096, 4096, 4096, 12288}, 8192,
                 "HbinsCells Error4 not multiple 4096 HbinCount=2 HbinsSize=8192 CellCount=1 CellSize=-5008"},
        LongCase{"SegmentLengthStaysInNewFormat", 5, 16344, 0, 0, 0, {4096, 16384}, 16352, ""},
        LongCase{"SegmentLengthGrowsInOldFormat", 3, 16344, 0, 0, 2, {4096, 4096, 4096, 4096, 4096, 20480}, 16384,
                 "HbinsCells Error4 not multiple 4096 HbinCount=2 HbinsSize=16384 CellCount=1 CellSize=-16352"}),
    [](const ::testing::TestParamInfo<LongCase>& info) { return std::string(info.param.name); });

// The key K alone in bin 2 and L alone in bin 3: in diagnostic mode each
// moves into the free end of bin 1, and the emptied bins at the end go.
TEST(DefragUnpackedCells, DiagnosticModeMovesALoneFirstCellIntoAnEarlierBin) {
  for (uint8_t diagnostic : {0, 1}) {
    HiveBuilder b;
    b.AddKey(b.Root(), "A");
    b.EndBin();
    b.AddKey(b.Root(), "K");
    b.EndBin();
    b.AddKey(b.Root(), "L");
    ScannedHive h(b.Build());
    ASSERT_TRUE(h.loaded);
    h.Ctx().DiagnosticMode = diagnostic;
    h.Ctx().Rules = MakePassRules(h.Ctx().CommandId, h.Ctx().DiagnosticMode != 0);
    if (diagnostic == 0) {
      EXPECT_EQ(DefragUnpackedCells(h.Ctx()), 0);
      EXPECT_EQ(BinSizes(h.Ctx()), (std::vector<uint32_t>{4096, 4096, 4096}));
      continue;
    }
    EXPECT_EQ(DefragUnpackedCells(h.Ctx()), 2);
    std::vector<BinCells> bins = BinsOf(h.Ctx());
    ASSERT_EQ(bins.size(), 1u);
    EXPECT_EQ(bins[0].cells, (std::vector<int32_t>{-88, -128, -32, -88, -88, -88, 3728 - 176}));
    EXPECT_NE(h.run.ui.FindPane("UnpackedCells CellMoveCount=2 HbinDeleteCount=2"), -1);
    EXPECT_EQ(h.Totals().Counter(RepairCounter::regfExpandCount), -2);
    h.ExpectSameTree();
  }
}

}  // namespace
}  // namespace quelbrix::testing
