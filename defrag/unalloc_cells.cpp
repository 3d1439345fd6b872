// DefragUnallocCells: walks the bins from the last one backwards and moves
// every allocated cell into free space of an earlier bin, so that the bins
// at the end empty and can be dropped.  Never grows the hive.
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

class UnallocCells {
 public:
  explicit UnallocCells(PassState& ctx) : v_(ctx) {}
  int32_t Run();

 private:
  void Status(int32_t passBins, uint64_t bin, uint64_t lastBin) const;
  int32_t EmptyBin(uint32_t bin, uint64_t binEnd);
  void RebuildFreeTail(uint32_t bin, uint64_t binEnd) const;

  DefragView v_;
  DefragCaption caption_;
  int32_t moves_ = 0;
};

void UnallocCells::Status(int32_t passBins, uint64_t bin, uint64_t lastBin) const {
  int32_t bins = static_cast<int32_t>(v_.totals.Get(Total::HbinCount));
  // The walk goes back from the last bin until it meets the bin the
  // allocator starts from, which moves up as cells move into room before it.
  uint64_t start = v_.totals.Get(Total::AllocStartHbin);
  if (start == 0) start = kBaseBlockSize;
  uint64_t span = lastBin > start ? lastBin - start : 0;
  DefragStatus(v_.ctx, caption_, "UnallocCells",
               {bins - passBins + 1, static_cast<int32_t>(v_.totals.Get(Total::AllocStartIndex)), bins,
                v_.totals.Counter(RepairCounter::regfExpandCount), std::min(lastBin - bin, span), span});
}

// Moves each allocated cell of the bin into room before it.  A cell that
// finds none stays silently.  Returns the moves made.
int32_t UnallocCells::EmptyBin(uint32_t bin, uint64_t binEnd) {
  int32_t moved = 0;
  for (uint32_t cell = bin + kBinHeaderSize; cell < binEnd;) {
    uint32_t m = v_.StepLength(cell, binEnd);
    if (m == 0) {
      Report<FindingKind::kDefragCellsOverFlow>(v_.ctx, cell);
      break;
    }
    if (v_.SizeWord(cell) < 0) {
      uint32_t fresh = GetNewCells(v_.ctx, true, bin, static_cast<int32_t>(m));
      if (fresh != 0) {
        MoveCells(v_.ctx, fresh, cell);
        ++moved;
        v_.totals.Count(RepairCounter::moveCellsClean);
      }
    }
    cell += m;
  }
  return moved;
}

// Merges the free cells that the moves left side by side and records the
// free cell that ends the bin, if any.
void UnallocCells::RebuildFreeTail(uint32_t bin, uint64_t binEnd) const {
  BinShadow shadow = v_.Shadow(bin);
  uint32_t tail = 0;
  for (uint32_t cell = bin + kBinHeaderSize; cell < binEnd;) {
    uint32_t m = v_.StepLength(cell, binEnd);
    if (m == 0) {
      Report<FindingKind::kDefragCellsOverFlow>(v_.ctx, cell);
      break;
    }
    uint32_t next = cell + m;
    if (v_.SizeWord(cell) > 0) {
      if (tail != 0) {
        uint32_t grown = v_.CellLength(tail) + m;
        v_.image.SetU32(tail, grown);
        next = tail + grown;
      } else {
        tail = cell;
      }
    } else {
      tail = 0;
    }
    cell = next;
  }
  shadow.SetFreeTail(tail);
}

int32_t UnallocCells::Run() {
  caption_ = DefragHeading(v_.ctx, "DefragUnallocCells");
  FreeSpaceIndexScope index(v_.ctx);
  uint64_t bin = uint64_t{kBaseBlockSize} + v_.totals.Get(Total::LastHbinOffset);
  const uint64_t lastBin = bin;
  // Each step goes back by a PrevBinSize to a sound bin strictly before the
  // current one, so the walk ends at the first bin at the latest.
  for (int32_t passBins = 1;; ++passBins) {
    Status(passBins, bin, lastBin);
    uint32_t b = static_cast<uint32_t>(bin);
    if (bin > 0xFFFFFFFFu || !v_.SoundBin(b)) {
      Report<FindingKind::kDefragHbinsOverFlow>(v_.ctx, b);
      break;
    }
    BinShadow shadow = v_.Shadow(b);
    shadow.SetHbinState(1);
    NoteFreeSpace(v_.ctx, b);
    uint64_t binEnd = bin + v_.BinSize(b);
    int32_t moved = EmptyBin(b, binEnd);
    moves_ += moved;
    shadow.SetHbinState(2);
    if (moved > 0) RebuildFreeTail(b, binEnd);
    if (SplitHbins(v_, b, shadow.FreeTail(), passBins)) ++moves_;
    NoteFreeSpace(v_.ctx, b);
    uint32_t prev = shadow.PrevBinSize();
    uint32_t start = v_.totals.Get(Total::AllocStartHbin);
    if (prev == 0 || (start != 0 && start >= b) || v_.ctx.Aborted()) break;
    if (prev > b - kBaseBlockSize) {
      Report<FindingKind::kDefragHbinsOverFlow>(v_.ctx, b);
      break;
    }
    bin -= prev;
  }
  uint32_t dropped = DeleteTrailingHbins(v_.ctx);
  LogLineF(v_.ctx, kBlack, "UnallocCells CellMoveCount=%d HbinDeleteCount=%d", moves_, static_cast<int>(dropped));
  return moves_;
}

}  // namespace

int32_t DefragUnallocCells(PassState& ctx) {
  if (ctx.Image == nullptr) return 0;
  return UnallocCells(ctx).Run();
}

}  // namespace quelbrix
