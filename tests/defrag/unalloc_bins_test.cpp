// DefragUnallocHbins on built hives: the region choice from the back (the
// lock bin, or the second bin when no lock is found), the emptying of the
// region through the allocator, and a hive that ends with an occupied bin.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/context.h"
#include "core/report_log.h"
#include "defrag/defrag.h"
#include "support/hive_builder.h"
#include "tests/defrag/defrag_fixture.h"

namespace quelbrix::testing {
namespace {

std::vector<uint8_t> HiveBytes(const HiveContext& ctx) {
  return std::vector<uint8_t>(ctx.Image, ctx.Image + kBaseBlockSize + HiveImage(ctx.Image, ctx.ImageSize).HbinsDataSize());
}

// Bin 1: root and A; bin 2: C; bin 3: D with its value list and vk; bin 4
// (8192 bytes): D's 4096-byte data cell and a free end of 4064 bytes.
TEST(DefragUnallocHbins, LocksTheRegionAtTheBinThatOutweighsTheUnallocatedBins) {
  HiveBuilder b;
  b.AddKey(b.Root(), "A");
  b.EndBin();
  b.AddKey(b.Root(), "C");
  b.EndBin();
  Key d = b.AddKey(b.Root(), "D");
  b.AddValue(d, "Data", 3, std::vector<uint8_t>(4092, 0xD4));
  ScannedHive h(b.Build());
  ASSERT_TRUE(h.loaded);
  ASSERT_EQ(BinSizes(h.Ctx()), (std::vector<uint32_t>{4096, 4096, 4096, 8192}));
  ASSERT_EQ(BinsOf(h.Ctx())[3].cells, (std::vector<int32_t>{-4096, 4064}));
  h.Ctx().DiagnosticMode = 1;
  h.Ctx().Rules = MakePassRules(h.Ctx().CommandId, h.Ctx().DiagnosticMode != 0);

  EXPECT_EQ(DefragUnallocHbins(h.Ctx()), 13);
  std::vector<std::string> pane = h.Pane();
  int lock = h.run.ui.FindPane(
      "DefragUnallocHbins LockHbins=2 UnallocCount1=1 UnallocCount2=2 UnallocSize1=2 UnallocSize2=2");
  ASSERT_NE(lock, -1);
  EXPECT_EQ(pane[lock - 1].rfind("[DefragUnallocHbins] ", 0), 0u);
  // The data cell went into bins 2 and 3 merged, the keys behind it.
  EXPECT_NE(h.run.ui.FindPane("ReallocHbins HbinsSize=8192"), -1);
  EXPECT_NE(h.run.ui.FindPane("UnallocHbins CellMoveCount=13 HbinDeleteCount=2"), -1);
  std::vector<BinCells> bins = BinsOf(h.Ctx());
  ASSERT_EQ(bins.size(), 2u);
  EXPECT_EQ(bins[1].size, 8192u);
  EXPECT_EQ(bins[1].cells, (std::vector<int32_t>{-4096, -88, -88, -8, -32, 4064 - 216}));
  EXPECT_EQ(h.Totals().Get(Total::AllocStartHbin), h.Pos(0x1000));
  EXPECT_EQ(h.Red(), std::vector<std::string>{});
  h.ExpectSameTree();
}

// Bin 2 (one page, occupied) cannot outweigh the two pages of bin 3, and the
// bin before it is the first: no lock, the region starts at bin 2 and
// AllocStartHbin keeps the value it had.
TEST(DefragUnallocHbins, WithoutALockTheRegionStartsAtTheSecondBin) {
  HiveBuilder b;
  b.AddKey(b.Root(), "A");
  b.EndBin();
  b.AddKey(b.Root(), "C");
  Key d = b.AddKey(b.Root(), "D");
  b.AddValue(d, "Data", 3, std::vector<uint8_t>(4092, 0xD4));
  ScannedHive h(b.Build());
  ASSERT_TRUE(h.loaded);
  ASSERT_EQ(BinSizes(h.Ctx()), (std::vector<uint32_t>{4096, 4096, 8192}));
  h.Ctx().DiagnosticMode = 1;
  h.Ctx().Rules = MakePassRules(h.Ctx().CommandId, h.Ctx().DiagnosticMode != 0);
  h.Totals().Set(Total::AllocStartHbin, kBaseBlockSize);

  DefragUnallocHbins(h.Ctx());
  EXPECT_NE(h.run.ui.FindPane(
                "DefragUnallocHbins LockHbins=1 UnallocCount1=1 UnallocCount2=1 UnallocSize1=2 UnallocSize2=1"),
            -1);
  std::vector<std::string> status;
  for (const std::string& s : h.run.ui.StatusTexts(0)) status.push_back(platform::AnsiToUtf8(s));
  ASSERT_GE(status.size(), 3u);
  EXPECT_EQ(status[0], "デフラグ UnallocHbins HbinCount=3 (0) / 3 (+0)");
  EXPECT_EQ(status[1], "デフラグ UnallocHbins HbinCount=2 (0) / 3 (+0)");
  EXPECT_EQ(status[2], "デフラグ UnallocHbins HbinCount=1 (0) / 3 (+0)");
  EXPECT_EQ(h.Totals().Get(Total::AllocStartHbin), kBaseBlockSize);
  // C and D went to bin 3 first, then on into bin 1, once bin 3 was reached.
  std::vector<BinCells> bins = BinsOf(h.Ctx());
  ASSERT_FALSE(bins.empty());
  EXPECT_EQ(bins[0].cells, (std::vector<int32_t>{-88, -128, -32, -88, -88, -88, -8, -32, 3728 - 216}));
  EXPECT_EQ(h.Red(), std::vector<std::string>{});
  h.ExpectSameTree();
}

TEST(DefragUnallocHbins, AnOccupiedLastBinLeavesTheHiveAsItIs) {
  HiveBuilder b;
  b.AddKey(b.Root(), "A");
  b.EndBin();
  b.AddKey(b.Root(), "C");
  ScannedHive h(b.Build());
  ASSERT_TRUE(h.loaded);
  h.Ctx().DiagnosticMode = 1;
  h.Ctx().Rules = MakePassRules(h.Ctx().CommandId, h.Ctx().DiagnosticMode != 0);
  std::vector<uint8_t> before = HiveBytes(h.Ctx());

  EXPECT_EQ(DefragUnallocHbins(h.Ctx()), 0);
  EXPECT_EQ(HiveBytes(h.Ctx()), before);
  std::vector<std::string> pane = h.Pane();
  ASSERT_EQ(pane.size(), 2u);
  EXPECT_EQ(pane[1], "UnallocHbins CellMoveCount=0 HbinDeleteCount=0");
}

}  // namespace
}  // namespace quelbrix::testing
