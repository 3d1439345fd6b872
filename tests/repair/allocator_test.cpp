#include "app/context.h"
#include "repair/allocator.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "app/frontend.h"
#include "core/report_log.h"
#include "hive/access_map.h"
#include "hive/bytes.h"
#include "hive/cells.h"
#include "hive/image.h"

namespace quelbrix {
namespace {

class PaneLines : public Frontend {
 public:
  void AppendPane(std::string_view line, uint32_t colour) override { lines.emplace_back(std::string(line), colour); }
  void SetStatusText(int, std::string_view) override {}
  std::vector<std::pair<std::string, uint32_t>> lines;
};

// One bin: its size and the size words of its cells (negative = allocated),
// which must fill it.
struct Bin {
  uint32_t size;
  std::vector<int32_t> cells;
};

// A hive of raw bins in an image with reserve pages behind it, and the bin
// bookkeeping that the scan's bin walk leaves for the allocator.
class AllocatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    report_ = std::tmpfile();
    ctx_.ReportFile = report_;
    ctx_.UI = &ui_;
    ctx_.CommandId = kCmdRepair;
    ctx_.Rules = MakePassRules(ctx_.CommandId, ctx_.DiagnosticMode != 0);
  }
  void TearDown() override {
    ctx_.ReportFile = nullptr;
    if (report_ != nullptr) std::fclose(report_);
  }

  void Build(const std::vector<Bin>& bins, uint32_t reservePages = 128, uint32_t minor = 5) {
    ui_.lines.clear();
    uint32_t dataSize = 0;
    for (const Bin& b : bins) dataSize += b.size;
    ctx_.FileSize = kBaseBlockSize + dataSize;
    ctx_.ReservePages = reservePages;
    ctx_.ImageSize = static_cast<uint32_t>(ctx_.FileSize) + reservePages * 4096;
    buffer_.assign(ctx_.ImageSize, 0);
    ctx_.Image = buffer_.data();
    ASSERT_TRUE(ctx_.Shadow.Reset(ctx_.ImageSize));
    ctx_.HiveMajorVersion = 1;
    ctx_.HiveMinorVersion = minor;
    HiveImage image(ctx_);
    std::memcpy(buffer_.data(), "regf", 4);
    image.SetU32(0x14, 1);
    image.SetU32(0x18, minor);
    image.SetU32(0x24, 0x20);
    image.SetU32(0x28, dataSize);
    AccessMap map(ctx_);
    ScanTotals totals(map);
    uint32_t pos = kBaseBlockSize;
    uint32_t prevSize = 0;
    for (const Bin& b : bins) {
      std::memcpy(buffer_.data() + pos, "hbin", 4);
      image.SetU32(pos + 4, pos - kBaseBlockSize);
      image.SetU32(pos + 8, b.size);
      uint32_t cell = pos + kBinHeaderSize;
      uint32_t freeTail = 0;
      for (int32_t s : b.cells) {
        image.SetU32(cell, static_cast<uint32_t>(s));
        // Allocated cells hold data; free ones keep what an old cell left.
        std::memset(buffer_.data() + cell + 4, s < 0 ? 0xA5 : 0, (s < 0 ? -s : s) - 4);
        if (s > 0 && freeTail == 0) freeTail = cell;
        if (s < 0) freeTail = 0;
        cell += static_cast<uint32_t>(s < 0 ? -s : s);
      }
      EXPECT_EQ(cell, pos + b.size) << "cells must fill their bin";
      BinShadow shadow(map, pos);
      shadow.SetFreeTail(freeTail);
      shadow.SetPrevBinSize(prevSize);
      totals.Add(Total::HbinCount);
      totals.Set(Total::LastHbinOffset, dataSize - b.size);
      prevSize = b.size;
      pos += b.size;
    }
  }

  HiveImage Image() { return HiveImage(ctx_); }
  ScanTotals Totals() { return ScanTotals(ctx_); }
  BinShadow Shadow(uint32_t bin) { return BinShadow(AccessMap(ctx_), bin); }
  int32_t SizeAt(uint32_t pos) { return static_cast<int32_t>(Image().U32(pos)); }
  uint32_t DataSize() { return Image().HbinsDataSize(); }
  int32_t Counter(RepairCounter c) { return Totals().Counter(c); }
  bool HasLine(const std::string& text, uint32_t colour) {
    for (const auto& l : ui_.lines)
      if (l.first == text && l.second == colour) return true;
    return false;
  }
  // Walks the bins by their sizes and checks that each is exactly filled by
  // cells and that the shadows chain the sizes backwards.
  void ExpectConsistentBins() {
    HiveImage image = Image();
    uint32_t end = kBaseBlockSize + DataSize();
    uint32_t prev = 0, count = 0, last = 0;
    for (uint32_t bin = kBaseBlockSize; bin < end;) {
      ASSERT_EQ(image.U32(bin), 0x6E696268u) << "bin at " << bin;
      ASSERT_EQ(image.U32(bin + 4), bin - kBaseBlockSize);
      uint32_t size = image.U32(bin + 8);
      ASSERT_GE(size, 4096u);
      EXPECT_EQ(Shadow(bin).PrevBinSize(), prev) << "bin at " << bin;
      uint32_t cell = bin + kBinHeaderSize;
      while (cell < bin + size) {
        int32_t s = SizeAt(cell);
        ASSERT_NE(s, 0);
        ASSERT_EQ((s < 0 ? -s : s) % 8, 0);
        cell += static_cast<uint32_t>(s < 0 ? -s : s);
      }
      ASSERT_EQ(cell, bin + size) << "cells overrun the bin at " << bin;
      last = bin;
      prev = size;
      ++count;
      bin += size;
    }
    EXPECT_EQ(Totals().Get(Total::HbinCount), count);
    EXPECT_EQ(Totals().Get(Total::LastHbinOffset), last - kBaseBlockSize);
  }

  static constexpr uint32_t kBin1 = kBaseBlockSize;
  static constexpr uint32_t kBin2 = kBaseBlockSize + 4096;
  static constexpr uint32_t kBin3 = kBaseBlockSize + 8192;

  HiveContext ctx_;
  PaneLines ui_;
  FILE* report_ = nullptr;
  std::vector<uint8_t> buffer_;
};

// --- small requests (at most 4064 bytes) ---

TEST_F(AllocatorTest, SmallRequestTakesFirstQualifyingFreeCellInBinOrder) {
  // Bin 1's first free cell is too short, and its later, larger free cell is
  // never looked at; bin 2 serves from its first free cell, which is not its
  // tail, so FreeTail stays as it was.
  Build({{4096, {-32, 16, -32, 1000, -(4064 - 1080)}},
         {4096, {-64, 200, -(4064 - 264)}}});
  uint32_t cell = GetNewCells(ctx_, false, 0, 64);
  EXPECT_EQ(cell, kBin2 + 32 + 64);
  EXPECT_EQ(SizeAt(cell), -64);
  EXPECT_EQ(SizeAt(cell + 64), 136);
  EXPECT_EQ(Shadow(kBin2).FreeTail(), 0u);
  EXPECT_EQ(Shadow(kBin1).HbinState(), 0u);
  EXPECT_EQ(Shadow(kBin2).HbinState(), 0u);
  ExpectConsistentBins();
}

TEST_F(AllocatorTest, UnexaminedBinLooksOnlyAtItsFirstFreeCell) {
  // The bin walk recorded the 3904-byte tail, but a bin that GetNewCells has
  // not examined yet is judged by its first free cell alone.
  Build({{4096, {-96, 32, -32, 3904}}});
  ASSERT_EQ(Shadow(kBin1).FreeTail(), kBin1 + 32 + 160);
  EXPECT_EQ(GetNewCells(ctx_, false, 0, 2000), kBin2 + 32);
  EXPECT_EQ(Shadow(kBin1).HbinState(), 0u);
  EXPECT_EQ(SizeAt(kBin1 + 32 + 160), 3904);
  EXPECT_EQ(GetNewCells(ctx_, false, 0, 32), kBin1 + 32 + 96);
  ExpectConsistentBins();
}

TEST_F(AllocatorTest, BinEndingInFreeCellIsServedFromItsTail) {
  Build({{4096, {-96, 4064 - 96}}});
  uint32_t a = GetNewCells(ctx_, false, 0, 1000);
  EXPECT_EQ(a, kBin1 + 32 + 96);
  EXPECT_EQ(Shadow(kBin1).HbinState(), 2u);
  EXPECT_EQ(Shadow(kBin1).FreeTail(), a + 1000);
  EXPECT_EQ(SizeAt(a + 1000), 4064 - 96 - 1000);
  // The rest exactly: the bin has no tail any more.
  uint32_t b = GetNewCells(ctx_, false, 0, 4064 - 96 - 1000);
  EXPECT_EQ(b, a + 1000);
  EXPECT_EQ(Shadow(kBin1).FreeTail(), 0u);
  EXPECT_EQ(DataSize(), 4096u);
  ExpectConsistentBins();
}

TEST_F(AllocatorTest, PageBinServes4064ButNever4072) {
  Build({{4096, {-4064}}, {4096, {4064}}});
  EXPECT_EQ(GetNewCells(ctx_, false, 0, 4064), kBin2 + 32);
  EXPECT_EQ(SizeAt(kBin2 + 32), -4064);

  Build({{4096, {-4064}}, {4096, {4064}}});
  uint32_t cell = GetNewCells(ctx_, false, 0, 4072);
  // Not from the empty page bin: a new 8192-byte bin behind the last one.
  EXPECT_EQ(cell, kBin3 + 32);
  EXPECT_EQ(Image().U32(kBin3 + 8), 8192u);
  EXPECT_EQ(DataSize(), 4096u * 4);
  EXPECT_EQ(SizeAt(kBin2 + 32), 4064);
  EXPECT_EQ(Counter(RepairCounter::regfExpandCount), 2);
  EXPECT_EQ(Shadow(kBin3).PrevBinSize(), 4096u);
  EXPECT_EQ(Shadow(kBin3).FreeTail(), kBin3 + 32 + 4072);
  ExpectConsistentBins();
}

TEST_F(AllocatorTest, EmptyMultiPageBinIsKeptForLargeRequests) {
  Build({{4096, {-4064}}, {8192, {8160}}});
  // 24 bytes: the empty 8192-byte bin does not serve it.
  uint32_t small = GetNewCells(ctx_, false, 0, 24);
  EXPECT_EQ(small, kBin2 + 8192 + 32);
  EXPECT_EQ(SizeAt(kBin2 + 32), 8160);
  // 5000 bytes: served from that bin, leaving a tail of 3160.
  uint32_t large = GetNewCells(ctx_, false, 0, 5000);
  EXPECT_EQ(large, kBin2 + 32);
  EXPECT_EQ(SizeAt(large + 5000), 3160);
  EXPECT_EQ(Shadow(kBin2).FreeTail(), large + 5000);
  // Now the bin no longer spans free space whole: its tail serves small cells.
  EXPECT_EQ(GetNewCells(ctx_, false, 0, 24), large + 5000);
  ExpectConsistentBins();
}

TEST_F(AllocatorTest, LockedBinIsNeverServed) {
  Build({{4096, {-64, 4000}}, {4096, {-64, 4000}}});
  Shadow(kBin1).SetHbinState(1);
  EXPECT_EQ(GetNewCells(ctx_, false, 0, 64), kBin2 + 32 + 64);
  EXPECT_EQ(SizeAt(kBin1 + 32 + 64), 4000);
}

// --- large requests, merging and growing ---

TEST_F(AllocatorTest, AdjacentEmptyBinsMergeForLargeRequest) {
  ctx_.DiagnosticMode = 1;
  ctx_.Rules = MakePassRules(ctx_.CommandId, ctx_.DiagnosticMode != 0);
  Build({{4096, {-4064}}, {4096, {4064}}, {4096, {4064}}, {4096, {-4064}}});
  uint32_t cell = GetNewCells(ctx_, false, 0, 8000);
  EXPECT_EQ(cell, kBin2 + 32);
  EXPECT_EQ(Image().U32(kBin2 + 8), 8192u);
  EXPECT_EQ(SizeAt(cell), -8000);
  EXPECT_EQ(SizeAt(cell + 8000), 8160 - 8000);
  EXPECT_EQ(Totals().Get(Total::HbinCount), 3u);
  EXPECT_EQ(Shadow(kBin2 + 8192).PrevBinSize(), 8192u);
  EXPECT_TRUE(HasLine("ReallocHbins HbinsSize=8192", kBlack));
  EXPECT_EQ(DataSize(), 4u * 4096) << "merging never grows the hive";
  ExpectConsistentBins();
}

TEST_F(AllocatorTest, MergeLineOnlyInDiagnosticMode) {
  Build({{4096, {-4064}}, {4096, {4064}}, {4096, {4064}}});
  EXPECT_EQ(GetNewCells(ctx_, false, 0, 8000), kBin2 + 32);
  EXPECT_FALSE(HasLine("ReallocHbins HbinsSize=8192", kBlack));
  ExpectConsistentBins();
}

TEST_F(AllocatorTest, LargeRequestTakesFreeStartOfMultiPageBin) {
  Build({{4096, {-4064}}, {12288, {6000, -6256}}});
  uint32_t cell = GetNewCells(ctx_, false, 0, 5000);
  EXPECT_EQ(cell, kBin2 + 32);
  EXPECT_EQ(SizeAt(cell + 5000), 1000);
  EXPECT_EQ(Shadow(kBin2).FreeTail(), 0u) << "a free start is no tail";
  ExpectConsistentBins();
}

TEST_F(AllocatorTest, ExpandUsesTheReserveUpToItsLastPage) {
  ctx_.DiagnosticMode = 1;
  ctx_.Rules = MakePassRules(ctx_.CommandId, ctx_.DiagnosticMode != 0);
  Build({{4096, {-4064}}}, 128);
  for (int i = 0; i < 127; ++i) {
    uint32_t cell = GetNewCells(ctx_, false, 0, 4064);
    ASSERT_EQ(cell, kBaseBlockSize + 4096u * (i + 1) + 32) << "request " << i;
  }
  EXPECT_EQ(Counter(RepairCounter::regfExpandCount), 127);
  EXPECT_EQ(Totals().Get(Total::HbinCount), 128u);
  EXPECT_TRUE(HasLine("ExpandHbin HbinsSize=4096", kBlack));
  EXPECT_EQ(GetNewCells(ctx_, false, 0, 4064), 0u);
  EXPECT_TRUE(HasLine("ExpandHbin Error HbinsSize=4096", kRed));
  EXPECT_EQ(DataSize(), 128u * 4096);
  ExpectConsistentBins();
}

TEST_F(AllocatorTest, ExpandNeverLeavesTheImage) {
  // A reserve count larger than the image has room for: the image end wins.
  Build({{4096, {-4064}}}, 2);
  ctx_.ReservePages = 100;
  EXPECT_EQ(GetNewCells(ctx_, false, 0, 4064), kBin2 + 32);
  EXPECT_EQ(GetNewCells(ctx_, false, 0, 4064), kBin3 + 32);
  EXPECT_EQ(GetNewCells(ctx_, false, 0, 4064), 0u);
  EXPECT_EQ(DataSize(), 3u * 4096);
  EXPECT_EQ(kBaseBlockSize + DataSize(), ctx_.ImageSize);
}

TEST_F(AllocatorTest, BinsDroppedAtTheEndGiveTheirPagesBack) {
  Build({{4096, {-4064}}, {4096, {4064}}}, 2);
  // The reserve is spent...
  ASSERT_NE(GetNewCells(ctx_, false, 0, 4064), 0u);  // fills bin 2
  ASSERT_NE(GetNewCells(ctx_, false, 0, 4064), 0u);  // appends bin 3
  EXPECT_EQ(GetNewCells(ctx_, false, 0, 4064), 0u);
  // ...until the last bin is emptied and dropped again.
  Image().SetU32(kBin3 + 32, 4064);
  EXPECT_EQ(DeleteTrailingHbins(ctx_), 1u);
  EXPECT_EQ(Counter(RepairCounter::regfExpandCount), 0);
  EXPECT_EQ(GetNewCells(ctx_, false, 0, 4064), kBin3 + 32);
  ExpectConsistentBins();
}

TEST_F(AllocatorTest, NewCellIsClearedInImageAndShadow) {
  Build({{4096, {-32, 4064 - 32}}});
  // Old bytes in the free space and a stale shadow under it.
  std::memset(buffer_.data() + kBin1 + 64 + 4, 0x5A, 100);
  AccessMap map(ctx_);
  map.SetU32(kBin1 + 64 + 8, 0x1234);
  uint32_t cell = GetNewCells(ctx_, false, 0, 48);
  ASSERT_EQ(cell, kBin1 + 64);
  for (uint32_t i = 4; i < 48; ++i) EXPECT_EQ(buffer_[cell + i], 0) << i;
  for (uint32_t i = 0; i < 48; i += 4) EXPECT_EQ(map.U32(cell + i), 0u) << i;
  EXPECT_EQ(Counter(RepairCounter::UnallocCellsClean), 1);
  // The old bytes behind the new cell are the next free cell's business.
  EXPECT_EQ(SizeAt(cell + 48), 4064 - 32 - 48);
  EXPECT_EQ(GetNewCells(ctx_, false, 0, 1000), cell + 48);
  EXPECT_EQ(Counter(RepairCounter::UnallocCellsClean), 2);
}

TEST_F(AllocatorTest, CellsOfMergedAndAppendedBinsAreClearedToo) {
  Build({{4096, {-4064}}, {4096, {4064}}, {4096, {4064}}}, 4);
  // Old bytes and a stale shadow in the empty bins and in the reserve page
  // behind them, as bins dropped earlier leave it.
  AccessMap map(ctx_);
  for (uint32_t at : {kBin2 + 36, kBin3 + 36, kBin3 + 4096 + 36}) {
    std::memset(buffer_.data() + at, 0x5A, 100);
    map.SetU32(at + 8, 0x1234);
  }
  // 8000 bytes merge bins 2 and 3; 4064 more append a bin.
  for (uint32_t length : {8000u, 4064u}) {
    uint32_t cell = GetNewCells(ctx_, false, 0, static_cast<int32_t>(length));
    ASSERT_NE(cell, 0u) << length;
    EXPECT_TRUE(AllZero(buffer_.data() + cell + 4, length - 4)) << length;
    for (uint32_t i = 0; i < length; i += 4) ASSERT_EQ(map.U32(cell + i), 0u) << length << " " << i;
  }
  EXPECT_EQ(Counter(RepairCounter::UnallocCellsClean), 0) << "a bin made afresh has no old bytes to count";
  ExpectConsistentBins();
}

// --- search range and the start bin ---

TEST_F(AllocatorTest, LowOnlyWithLimitNeverReachesTheLimitOrGrows) {
  Build({{4096, {-4000, 64}}, {4096, {-64, 4000}}, {4096, {4064}}});
  uint32_t before = DataSize();
  EXPECT_EQ(GetNewCells(ctx_, true, kBin2, 128), 0u);
  EXPECT_EQ(DataSize(), before);
  EXPECT_EQ(Totals().Get(Total::HbinCount), 3u);
  // What fits before the limit is found.
  EXPECT_EQ(GetNewCells(ctx_, true, kBin2, 64), kBin1 + 32 + 4000);
  // A limit at the first bin leaves nothing to search.
  EXPECT_EQ(GetNewCells(ctx_, true, kBin1, 8), 0u);
  ExpectConsistentBins();
}

TEST_F(AllocatorTest, LowOnlyWithLimitStillMergesEmptyBinsBeforeIt) {
  Build({{4096, {-4064}}, {4096, {4064}}, {4096, {4064}}, {4096, {-4064}}});
  EXPECT_EQ(GetNewCells(ctx_, true, kBin3 + 4096, 8000), kBin2 + 32);
  EXPECT_EQ(Totals().Get(Total::HbinCount), 3u);
  ExpectConsistentBins();
}

TEST_F(AllocatorTest, LimitWithoutLowOnlySkipsEarlierBins) {
  Build({{4096, {-64, 4000}}, {4096, {-64, 4000}}});
  EXPECT_EQ(GetNewCells(ctx_, false, kBin2, 64), kBin2 + 32 + 64);
  EXPECT_EQ(SizeAt(kBin1 + 32 + 64), 4000);
}

TEST_F(AllocatorTest, StartBinAdvancesPastFullBinsOnly) {
  Build({{4096, {-4064}}, {4096, {-4064}}, {4096, {-64, 4000}}, {4096, {-4064}}});
  EXPECT_EQ(GetNewCells(ctx_, false, 0, 5000), kBin3 + 4096 + 4096 + 32);
  // The two full bins at the front are skipped from now on; the bin with
  // free space stops the advance.
  EXPECT_EQ(Totals().Get(Total::AllocStartHbin), kBin3);
  EXPECT_EQ(Totals().Get(Total::AllocStartIndex), 2u);
  Image().SetU32(kBin1 + 32, 4064);  // space freed in front is not seen...
  EXPECT_EQ(GetNewCells(ctx_, false, 0, 64), kBin3 + 32 + 64);
  Totals().Set(Total::AllocStartHbin, 0);  // ...until a caller resets the start.
  EXPECT_EQ(GetNewCells(ctx_, false, 0, 64), kBin1 + 32);
  EXPECT_EQ(Totals().Get(Total::AllocStartIndex), 0u);
}

TEST_F(AllocatorTest, StartBinNotNamingABinRestartsFromTheFirst) {
  Build({{4096, {-64, 4000}}, {4096, {-4064}}});
  Totals().Set(Total::AllocStartHbin, kBin1 + 64);
  EXPECT_EQ(GetNewCells(ctx_, false, 0, 64), kBin1 + 32 + 64);
}

// --- broken chains ---

TEST_F(AllocatorTest, CellOfSizeZeroEndsTheWalkOfItsBin) {
  Build({{4096, {-64, 4000}}, {4096, {-64, 4000}}});
  Image().SetU32(kBin1 + 32, 0);
  EXPECT_EQ(GetNewCells(ctx_, false, 0, 64), kBin2 + 32 + 64);
  EXPECT_TRUE(HasLine("CellsOverFlow", kRed));
  EXPECT_EQ(Image().U32(kBin1 + 32), 0u);
}

TEST_F(AllocatorTest, CellRunningOutOfItsBinIsAnOverflow) {
  Build({{4096, {-64, 4000}}, {4096, {-4064}}});
  Image().SetU32(kBin1 + 32, static_cast<uint32_t>(-8192));
  uint32_t cell = GetNewCells(ctx_, false, 0, 64);
  EXPECT_EQ(cell, kBin3 + 32);
  EXPECT_TRUE(HasLine("CellsOverFlow", kRed));
}

TEST_F(AllocatorTest, BinSizeThatBreaksTheChainEndsTheSearch) {
  Build({{4096, {-4064}}, {4096, {-64, 4000}}});
  Image().SetU32(kBin2 + 8, 0);
  uint32_t cell = GetNewCells(ctx_, false, 0, 64);
  EXPECT_TRUE(HasLine("HbinssOverFlow", kRed));
  EXPECT_EQ(cell, kBin3 + 32) << "the search ends; a new bin is appended";

  Build({{4096, {-4064}}, {4096, {-64, 4000}}});
  Image().SetU32(kBin2 + 8, 0x10000);
  EXPECT_EQ(GetNewCells(ctx_, true, kBin3, 64), 0u);
  EXPECT_TRUE(HasLine("HbinssOverFlow", kRed));
}

// --- DeleteTrailingHbins ---

TEST_F(AllocatorTest, DeleteTrailingDropsEmptyBinsUpToAnAllocatedCell) {
  Build({{4096, {-4064}}, {4096, {-64, 4000}}, {8192, {8160}}, {4096, {4064}}});
  Totals().Set(Total::AllocStartHbin, kBin3 + 8192);
  Totals().Set(Total::AllocStartIndex, 3);
  EXPECT_EQ(DeleteTrailingHbins(ctx_), 2u);
  EXPECT_EQ(DataSize(), 8192u);
  EXPECT_EQ(Totals().Get(Total::HbinCount), 2u);
  EXPECT_EQ(Totals().Get(Total::LastHbinOffset), 4096u);
  EXPECT_EQ(Counter(RepairCounter::regfExpandCount), -3);
  // The start bin was dropped: the next search starts from the first bin.
  EXPECT_EQ(Totals().Get(Total::AllocStartHbin), 0u);
  EXPECT_EQ(GetNewCells(ctx_, false, 0, 64), kBin2 + 32 + 64);
  ExpectConsistentBins();
}

TEST_F(AllocatorTest, DeleteTrailingKeepsAStartBinThatStays) {
  Build({{4096, {-4064}}, {4096, {-64, 4000}}, {4096, {4064}}});
  Totals().Set(Total::AllocStartHbin, kBin2);
  EXPECT_EQ(DeleteTrailingHbins(ctx_), 1u);
  EXPECT_EQ(Totals().Get(Total::AllocStartHbin), kBin2);
  // Nothing more to drop: the last bin holds an allocated cell.
  EXPECT_EQ(DeleteTrailingHbins(ctx_), 0u);
  EXPECT_EQ(DataSize(), 8192u);
}

TEST_F(AllocatorTest, DeleteTrailingTrustsNoStaleLastBin) {
  Build({{4096, {-4064}}, {4096, {4064}}});
  Totals().Set(Total::LastHbinOffset, 0);  // names the first bin, not the last
  Image().SetU32(kBin1 + 32, 4064);
  EXPECT_EQ(DeleteTrailingHbins(ctx_), 0u);
  EXPECT_EQ(DataSize(), 8192u);
}

// --- AdjustCells, InitHbin, BigCellLength ---

TEST_F(AllocatorTest, AdjustCellsCutsOnlyUnderDefrag) {
  Build({{8192, {-4096, 4064}}});
  uint32_t cell = kBin1 + 32;
  AdjustCells(ctx_, cell, 40);
  EXPECT_EQ(SizeAt(cell), -4096) << "Repair never cuts";
  ctx_.CommandId = kCmdDefrag;
  ctx_.Rules = MakePassRules(ctx_.CommandId, ctx_.DiagnosticMode != 0);
  AdjustCells(ctx_, cell, 40);
  EXPECT_EQ(SizeAt(cell), -40);
  EXPECT_EQ(SizeAt(cell + 40), 4056);
  EXPECT_EQ(Counter(RepairCounter::AdjustCellsClean), 1);
  // Not longer than needed, or free: left alone.
  AdjustCells(ctx_, cell, 40);
  AdjustCells(ctx_, cell + 40, 8);
  EXPECT_EQ(SizeAt(cell + 40), 4056);
  EXPECT_EQ(Counter(RepairCounter::AdjustCellsClean), 1);
  // A need of 0 never makes a cell of size 0.
  AdjustCells(ctx_, cell, 0);
  EXPECT_EQ(SizeAt(cell), -8);
  EXPECT_EQ(SizeAt(cell + 8), 32);
}

TEST_F(AllocatorTest, AdjustCellsKeepsBigCellsAtTheirPageLength) {
  ctx_.CommandId = kCmdDefrag;
  ctx_.Rules = MakePassRules(ctx_.CommandId, ctx_.DiagnosticMode != 0);
  Build({{20480, {-16384, 4064}}});
  AdjustCells(ctx_, kBin1 + 32, 12300);
  EXPECT_EQ(SizeAt(kBin1 + 32), -16352);
  EXPECT_EQ(SizeAt(kBin1 + 32 + 16352), 32);
  Build({{20480, {-16352, 4096}}});
  AdjustCells(ctx_, kBin1 + 32, 12300);
  EXPECT_EQ(SizeAt(kBin1 + 32), -16352);
  EXPECT_EQ(Counter(RepairCounter::AdjustCellsClean), 0);
  // Old format: a page multiple.
  Build({{20480, {-16384, 4064}}}, 128, 3);
  AdjustCells(ctx_, kBin1 + 32, 12300);
  EXPECT_EQ(SizeAt(kBin1 + 32), -16384);
  AdjustCells(ctx_, kBin1 + 32, 5000);
  EXPECT_EQ(SizeAt(kBin1 + 32), -8192);
}

TEST_F(AllocatorTest, BigCellLengthByFormat) {
  Build({{4096, {-4064}}});
  const std::pair<uint32_t, uint32_t> newFormat[] = {
      {8, 8},         {4064, 4064},   {4065, 4096},   {4096, 4096},   {4097, 8192},  {8193, 12288},
      {12289, 16352}, {16352, 16352}, {16353, 16384}, {20000, 20480},
  };
  for (auto [n, want] : newFormat) EXPECT_EQ(BigCellLength(ctx_, n), want) << n;
  ctx_.HiveMinorVersion = 3;
  const std::pair<uint32_t, uint32_t> oldFormat[] = {
      {4064, 4064}, {4065, 4096}, {12289, 16384}, {16352, 16384}, {16353, 16384}, {20000, 20480},
  };
  for (auto [n, want] : oldFormat) EXPECT_EQ(BigCellLength(ctx_, n), want) << n;
  ctx_.HiveMajorVersion = 0;
  ctx_.HiveMinorVersion = 9;
  EXPECT_EQ(BigCellLength(ctx_, 16352), 16384u);
}

TEST_F(AllocatorTest, InitHbinSpareWordFollowsTheFormat) {
  for (uint32_t minor : {3u, 5u}) {
    Build({{4096, {-4064}}, {8192, {-8160}}, {4096, {-4064}}}, 128, minor);
    std::memset(buffer_.data() + kBin2 + 12, 0x77, 16);
    InitHbin(ctx_, kBin2, 8192);
    EXPECT_EQ(Image().U32(kBin2 + 0x1C), minor == 3 ? 8192u : 0u);
    EXPECT_EQ(Image().U32(kBin2 + 12), 0u);
    EXPECT_EQ(SizeAt(kBin2 + 32), 8160);
    EXPECT_EQ(Shadow(kBin2).FreeTail(), kBin2 + 32);
    EXPECT_EQ(Shadow(kBin2).PrevBinSize(), 4096u) << "kept";
    EXPECT_EQ(Shadow(kBin2 + 8192).PrevBinSize(), 8192u);
    ExpectConsistentBins();
  }
}

}  // namespace
}  // namespace quelbrix
