// DefragUnallocCells on built hives: cells of the last bins move into free
// space before them, emptied bins at the end are dropped, a cell without
// earlier room stays silently, and the walk back stops at AllocStartHbin.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/report_log.h"
#include "defrag/defrag.h"
#include "support/hive_builder.h"
#include "tests/defrag/defrag_fixture.h"

namespace quelbrix::testing {
namespace {

std::vector<std::string> StatusUtf8(const RecordingFrontend& ui) {
  std::vector<std::string> out;
  for (const std::string& s : ui.StatusTexts(0)) out.push_back(platform::AnsiToUtf8(s));
  return out;
}

// Bin 1: root, sk, root index, A, free end; bin 2: Z with a value of
// `dataLength` bytes (inline up to 4).
HiveBuilder TwoBins(size_t dataLength) {
  HiveBuilder b;
  b.AddKey(b.Root(), "A");
  b.EndBin();
  Key z = b.AddKey(b.Root(), "Z");
  b.AddValue(z, "v", 3, std::vector<uint8_t>(dataLength, 0x5A));
  return b;
}

TEST(DefragUnallocCells, EmptiesTheLastBinIntoEarlierRoomAndDropsIt) {
  HiveBuilder b = TwoBins(4);
  ScannedHive h(b.Build());
  ASSERT_TRUE(h.loaded);
  ASSERT_EQ(BinsOf(h.Ctx())[1].cells, (std::vector<int32_t>{-88, -8, -32, 3936}));
  uint32_t declared = HiveImage(h.Ctx()).HbinsDataSize();

  EXPECT_EQ(DefragUnallocCells(h.Ctx()), 3);
  std::vector<BinCells> bins = BinsOf(h.Ctx());
  ASSERT_EQ(bins.size(), 1u);
  EXPECT_EQ(bins[0].cells, (std::vector<int32_t>{-88, -128, -24, -88, -88, -8, -32, 3736 - 128}));
  EXPECT_EQ(HiveImage(h.Ctx()).HbinsDataSize(), declared - 4096);
  EXPECT_EQ(h.Totals().Get(Total::HbinCount), 1u);
  EXPECT_EQ(h.Totals().Counter(RepairCounter::moveCellsClean), 3);
  EXPECT_EQ(h.Totals().Counter(RepairCounter::regfExpandCount), -1);
  EXPECT_NE(h.run.ui.FindPane("UnallocCells CellMoveCount=3 HbinDeleteCount=1"), -1);
  EXPECT_EQ(StatusUtf8(h.run.ui), (std::vector<std::string>{"デフラグ UnallocCells HbinCount=2 (0) / 2 (+0)",
                                                            "デフラグ UnallocCells HbinCount=1 (0) / 2 (+0)"}));
  h.ExpectSameTree();
}

TEST(DefragUnallocCells, ACellWithoutEarlierRoomStaysWithoutAnErrorLine) {
  HiveBuilder b = TwoBins(3900);  // a data cell of 3904 bytes; bin 1 has 3736 free
  ScannedHive h(b.Build());
  ASSERT_TRUE(h.loaded);

  EXPECT_EQ(DefragUnallocCells(h.Ctx()), 3);
  std::vector<BinCells> bins = BinsOf(h.Ctx());
  ASSERT_EQ(bins.size(), 2u);
  // The three cells before the data cell left; their places merged.
  EXPECT_EQ(bins[1].cells, (std::vector<int32_t>{128, -3904, 32}));
  EXPECT_EQ(BinShadow(AccessMap(h.Ctx()), h.Pos(bins[1].offset)).FreeTail(), h.Pos(bins[1].offset) + 32 + 128 + 3904);
  EXPECT_EQ(h.Red(), std::vector<std::string>{});
  EXPECT_NE(h.run.ui.FindPane("UnallocCells CellMoveCount=3 HbinDeleteCount=0"), -1);
  h.ExpectSameTree();
}

TEST(DefragUnallocCells, ASingleBinHiveMovesNothing) {
  HiveBuilder b;
  b.AddKey(b.Root(), "A");
  ScannedHive h(b.Build());
  ASSERT_TRUE(h.loaded);
  EXPECT_EQ(DefragUnallocCells(h.Ctx()), 0);
  EXPECT_EQ(BinSizes(h.Ctx()), std::vector<uint32_t>{4096});
  EXPECT_NE(h.run.ui.FindPane("UnallocCells CellMoveCount=0 HbinDeleteCount=0"), -1);
  EXPECT_EQ(StatusUtf8(h.run.ui).size(), 1u);
}

// Three bins of one key each.  With AllocStartHbin at bin 2, L moves only
// into bin 2 and the walk ends there, never visiting bin 1.
TEST(DefragUnallocCells, StopsAfterTheBinThatAllocStartHbinNames) {
  HiveBuilder b;
  b.AddKey(b.Root(), "A");
  b.EndBin();
  b.AddKey(b.Root(), "K");
  b.EndBin();
  b.AddKey(b.Root(), "L");
  ScannedHive h(b.Build());
  ASSERT_TRUE(h.loaded);
  h.Totals().Set(Total::AllocStartHbin, h.Pos(0x1000));
  h.Totals().Set(Total::AllocStartIndex, 2);

  EXPECT_EQ(DefragUnallocCells(h.Ctx()), 1);
  std::vector<BinCells> bins = BinsOf(h.Ctx());
  ASSERT_EQ(bins.size(), 2u);
  EXPECT_EQ(bins[0].cells, (std::vector<int32_t>{-88, -128, -32, -88, 3728}));
  EXPECT_EQ(bins[1].cells, (std::vector<int32_t>{-88, -88, 3976 - 88}));
  EXPECT_EQ(StatusUtf8(h.run.ui), (std::vector<std::string>{"デフラグ UnallocCells HbinCount=3 (2) / 3 (+0)",
                                                            "デフラグ UnallocCells HbinCount=2 (2) / 3 (+0)"}));
  h.ExpectSameTree();
}

}  // namespace
}  // namespace quelbrix::testing
