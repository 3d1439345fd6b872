// DefragUnallocHbins: the last defrag pass.  When the hive ends with
// unallocated bins behind occupied ones, it chooses a region at the end that
// starts at the lock bin, empties the region's bins front to back through
// the allocator and drops the empty bins at the end.
#include <algorithm>
#include <cstdint>
#include <string>

#include "core/report_log.h"
#include "hive/report_finding.h"
#include "defrag/bin_steps.h"
#include "defrag/defrag.h"
#include "hive/cells.h"
#include "repair/allocator.h"
#include "repair/free_index.h"
#include "repair/relocate.h"

namespace quelbrix {
namespace {

struct Region {
  uint32_t First = 0;        // the region's first bin; 0 when there is nothing to empty
  uint32_t LowestUnalloc = 0;
  int32_t Index = 0;         // "LockHbins"
  int32_t UnallocCount1 = 0;
  int32_t UnallocSize1 = 0;
  int32_t UnallocCount2 = 0;
  int32_t UnallocSize2 = 0;
};

class UnallocHbins {
 public:
  explicit UnallocHbins(PassState& ctx) : v_(ctx) {}
  int32_t Run();

 private:
  void Status(int32_t index) const;
  enum class BinKind { kPassedOver, kUnallocated, kOccupied };
  BinKind Classify(uint32_t bin) const;
  Region ChooseRegion();
  void EmptyRegion(Region& region);
  void EmptyBin(uint32_t bin, uint64_t binEnd, uint32_t limit);

  DefragView v_;
  DefragCaption caption_;
  int32_t moves_ = 0;
  uint32_t hole_ = 0;
};

void UnallocHbins::Status(int32_t index) const {
  DefragStatus(v_.ctx, caption_, "UnallocHbins",
               {index, static_cast<int32_t>(v_.totals.Get(Total::AllocStartIndex)),
                static_cast<int32_t>(v_.totals.Get(Total::HbinCount)), v_.totals.Counter(RepairCounter::regfExpandCount),
                0, 0});
}

// Unallocated: a free tail of at least a page's worth of cell.  A bin that
// starts with a full big-data segment in a new-format hive counts as neither.
UnallocHbins::BinKind UnallocHbins::Classify(uint32_t bin) const {
  uint32_t first = bin + kBinHeaderSize;
  if (!v_.OldFormat() && v_.CellLength(first) == kSegmentCellSize) return BinKind::kPassedOver;
  uint32_t tail = v_.Shadow(bin).FreeTail();
  uint64_t binEnd = uint64_t{bin} + v_.BinSize(bin);
  if (tail != 0 && tail >= first && tail < binEnd && v_.SizeWord(tail) > 0 && v_.CellLength(tail) >= kDefragPageCell)
    return BinKind::kUnallocated;
  return BinKind::kOccupied;
}

// Backwards from the last bin: the region must hold at least as many pages
// and as many one-page bins in occupied bins as there are unallocated bins
// behind them.  The first bin of the hive never enters it.
Region UnallocHbins::ChooseRegion() {
  Region r;
  uint64_t bin = uint64_t{kBaseBlockSize} + v_.totals.Get(Total::LastHbinOffset);
  r.Index = static_cast<int32_t>(v_.totals.Get(Total::HbinCount));
  // Ends: each step goes back by a non-zero PrevBinSize that stays inside
  // the bins, so the bin only moves towards the first one.
  for (;;) {
    Status(r.Index);
    uint32_t b = static_cast<uint32_t>(bin);
    if (bin > 0xFFFFFFFFu || !v_.SoundBin(b)) {
      Report<FindingKind::kDefragHbinsOverFlow>(v_.ctx, b);
      r.First = 0;
      return r;
    }
    uint32_t pages = v_.BinSize(b) / kPageSize;
    switch (Classify(b)) {
      case BinKind::kPassedOver: break;
      case BinKind::kUnallocated:
        ++r.UnallocCount1;
        r.UnallocSize1 = std::max(r.UnallocSize1, static_cast<int32_t>(pages));
        r.LowestUnalloc = b;
        break;
      case BinKind::kOccupied:
        if (r.UnallocCount1 == 0) return r;
        if (v_.BinSize(b) == kPageSize) ++r.UnallocCount2;
        r.UnallocSize2 += static_cast<int32_t>(pages);
        if (r.UnallocSize2 >= r.UnallocSize1 && r.UnallocCount2 >= r.UnallocCount1) {
          v_.totals.Set(Total::AllocStartHbin, b);
          v_.totals.Set(Total::AllocStartIndex, static_cast<uint32_t>(r.Index));
          r.First = b;
          return r;
        }
        break;
    }
    --r.Index;
    uint32_t prev = v_.Shadow(b).PrevBinSize();
    // A single-bin hive: its only bin is the first one, which stays out.
    if (prev == 0) {
      r.First = b + v_.BinSize(b);
      return r;
    }
    if (prev > b - kBaseBlockSize) {
      Report<FindingKind::kDefragHbinsOverFlow>(v_.ctx, b);
      r.First = 0;
      return r;
    }
    uint32_t before = b - prev;
    if (v_.Shadow(before).PrevBinSize() == 0 || v_.ctx.Aborted()) {
      r.First = b;
      return r;
    }
    bin = before;
  }
}

void UnallocHbins::EmptyBin(uint32_t bin, uint64_t binEnd, uint32_t limit) {
  BinShadow shadow = v_.Shadow(bin);
  hole_ = 0;
  for (uint32_t cell = bin + kBinHeaderSize; cell < binEnd;) {
    uint32_t m = v_.StepLength(cell, binEnd);
    if (m == 0) {
      Report<FindingKind::kDefragCellsOverFlow>(v_.ctx, cell);
      break;
    }
    uint32_t next = cell + m;
    bool freed = v_.SizeWord(cell) > 0;
    if (freed) {
      if (hole_ != 0) {
        v_.totals.Count(RepairCounter::ContinueCellsClean);
        ++moves_;
      }
    } else {
      uint32_t fresh = GetNewCells(v_.ctx, false, limit, static_cast<int32_t>(m));
      if (fresh != 0) {
        MoveCells(v_.ctx, fresh, cell);
        v_.totals.Count(RepairCounter::UnpackedCellsClean);
        ++moves_;
        v_.totals.Count(RepairCounter::moveCellsClean);
        freed = true;
      } else {
        Report<FindingKind::kDefragNoSpace12>(v_.ctx, cell);
        hole_ = 0;
      }
    }
    if (freed) {
      if (hole_ != 0) {
        uint32_t grown = v_.CellLength(hole_) + m;
        v_.image.SetU32(hole_, grown);
        next = hole_ + grown;
      } else {
        hole_ = cell;
      }
    }
    shadow.SetFreeTail(hole_);
    cell = next;
  }
}

void UnallocHbins::EmptyRegion(Region& region) {
  int32_t index = region.Index;
  uint32_t bin = region.First;
  // The region runs to the end of the bins as it is now: moves may append
  // bins, but only inside the reserve pages, so the end is bounded.
  while (bin < v_.BinsEnd()) {
    Status(index);
    if (!v_.SoundBin(bin)) {
      Report<FindingKind::kDefragHbinsOverFlow>(v_.ctx, bin);
      break;
    }
    BinShadow shadow = v_.Shadow(bin);
    shadow.SetHbinState(1);
    NoteFreeSpace(v_.ctx, bin);
    shadow.SetFreeTail(0);
    // From the lowest unallocated bin on, cells may go to any bin from the
    // lock bin on.
    if (bin == region.LowestUnalloc) region.LowestUnalloc = 0;
    EmptyBin(bin, uint64_t{bin} + v_.BinSize(bin), region.LowestUnalloc);
    if (SplitHbins(v_, bin, hole_, index)) ++moves_;
    shadow.SetHbinState(2);
    NoteFreeSpace(v_.ctx, bin);
    uint32_t start = v_.totals.Get(Total::AllocStartHbin);
    if (start != 0 && start > bin) v_.totals.Set(Total::AllocStartHbin, bin);
    ++index;
    if (v_.ctx.Aborted()) break;
    bin += v_.BinSize(bin);
  }
}

int32_t UnallocHbins::Run() {
  caption_ = DefragHeading(v_.ctx, "DefragUnallocHbins");
  FreeSpaceIndexScope index(v_.ctx);
  Region region = ChooseRegion();
  if (region.UnallocCount1 != 0 && region.First != 0) {
    if (v_.Diagnostic()) {
      LogLineF(v_.ctx, kBlack,
               "DefragUnallocHbins LockHbins=%d UnallocCount1=%d UnallocCount2=%d UnallocSize1=%d UnallocSize2=%d",
               region.Index, region.UnallocCount1, region.UnallocCount2, region.UnallocSize1, region.UnallocSize2);
    }
    EmptyRegion(region);
  }
  uint32_t dropped = DeleteTrailingHbins(v_.ctx);
  LogLineF(v_.ctx, kBlack, "UnallocHbins CellMoveCount=%d HbinDeleteCount=%d", moves_, static_cast<int>(dropped));
  return moves_;
}

}  // namespace

int32_t DefragUnallocHbins(PassState& ctx) {
  if (ctx.Image == nullptr) return 0;
  return UnallocHbins(ctx).Run();
}

}  // namespace quelbrix
