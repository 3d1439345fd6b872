// DefragUnpackedCells: packs every bin from front to back.  Free neighbours
// merge into the bin's hole, cells behind a hole and long or short cells in
// the wrong place move out, and the free end of a multi-page bin is cut into
// empty pages.
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

class UnpackedCells {
 public:
  explicit UnpackedCells(PassState& ctx) : v_(ctx) {}
  int32_t Run();

 private:
  void Status(int32_t binIndex, uint32_t bin) const;
  void PackBin(uint32_t bin, uint32_t size, int32_t binIndex);
  bool MisplacedCell(uint32_t bin, uint32_t size, int32_t binIndex, int32_t k, uint32_t cell) const;
  void CellLine(FindingKind kind, uint32_t cell, int32_t binIndex, uint32_t size, int32_t k, int32_t sizeWord) const;
  uint32_t MoveOut(uint32_t cell, uint32_t length);
  void MoveFirstCellForward(uint32_t bin, uint32_t size);

  DefragView v_;
  DefragCaption caption_;
  int32_t moves_ = 0;
  bool metFree_ = false;
  uint32_t hole_ = 0;
};

void UnpackedCells::Status(int32_t binIndex, uint32_t bin) const {
  // Bytes, not bins: the pass splits and joins bins as it goes.
  DefragStatus(v_.ctx, caption_, "UnpackedCells",
               {binIndex, static_cast<int32_t>(v_.totals.Get(Total::AllocStartIndex)),
                static_cast<int32_t>(v_.totals.Get(Total::HbinCount)), v_.totals.Counter(RepairCounter::regfExpandCount),
                bin - kBaseBlockSize, v_.BinsEnd() - kBaseBlockSize});
}

void UnpackedCells::CellLine(FindingKind kind, uint32_t cell, int32_t binIndex, uint32_t size, int32_t k,
                             int32_t sizeWord) const {
  ReportAs(v_.ctx, kind, cell, binIndex, static_cast<int>(size), k, sizeWord);
}

// A new cell of the big-cell length anywhere in the hive, and the move into
// it.  0 when the allocator has no room.
uint32_t UnpackedCells::MoveOut(uint32_t cell, uint32_t length) {
  uint32_t fresh = GetNewCells(v_.ctx, false, 0, static_cast<int32_t>(BigCellLength(v_.ctx, length)));
  if (fresh == 0) return 0;
  MoveCells(v_.ctx, fresh, cell);
  ++moves_;
  v_.totals.Count(RepairCounter::UnpackedCellsClean);
  v_.totals.Count(RepairCounter::moveCellsClean);
  return fresh;
}

// An allocated cell with no free space before it in its bin moves only when
// it sits badly for its length.
bool UnpackedCells::MisplacedCell(uint32_t bin, uint32_t size, int32_t binIndex, int32_t k, uint32_t cell) const {
  int32_t s = v_.SizeWord(cell);
  bool diagnostic = v_.Diagnostic();
  switch (PlacementOf(v_, bin, size, cell)) {
    case CellPlacement::kFine: return false;
    case CellPlacement::kShortFirstInLongBin:
      if (diagnostic)
        CellLine(FindingKind::kDefragShortInLong, cell, binIndex, size, 1, s);
      return true;
    case CellPlacement::kLongNotPageMultiple:
      if (diagnostic) {
        CellLine(v_.OldFormat() ? FindingKind::kDefragNotPage4 : FindingKind::kDefragNotPage3, cell, binIndex, size, k,
                 s);
      }
      return true;
    case CellPlacement::kLongNotFirst:
      if (diagnostic)
        CellLine(FindingKind::kDefragNotFirst, cell, binIndex, size, k, s);
      return true;
    case CellPlacement::kLongBinSizeWrong:
      if (diagnostic)
        CellLine(FindingKind::kDefragBinSize, cell, binIndex, size, 1, s);
      return true;
  }
  return false;
}

void UnpackedCells::PackBin(uint32_t bin, uint32_t size, int32_t binIndex) {
  BinShadow shadow = v_.Shadow(bin);
  uint64_t binEnd = uint64_t{bin} + size;
  hole_ = 0;
  uint32_t cell = bin + kBinHeaderSize;
  // Every step goes on by a checked cell length or to the end of the grown
  // hole, which only grows, so the walk ends at the bin end.
  for (int32_t k = 1; cell < binEnd; ++k) {
    uint32_t m = v_.StepLength(cell, binEnd);
    if (m == 0) {
      Report<FindingKind::kDefragCellsOverFlow>(v_.ctx, cell);
      break;
    }
    int32_t s = v_.SizeWord(cell);
    uint32_t next = cell + m;
    if (s > 0) {
      if (!metFree_) {
        metFree_ = true;
        v_.totals.Set(Total::AllocStartHbin, bin);
        v_.totals.Set(Total::AllocStartIndex, static_cast<uint32_t>(binIndex));
      }
      if (hole_ != 0) {
        uint32_t grown = v_.CellLength(hole_) + m;
        v_.image.SetU32(hole_, grown);
        v_.totals.Count(RepairCounter::ContinueCellsClean);
        next = hole_ + grown;
      } else {
        hole_ = cell;
      }
    } else if (hole_ != 0) {
      if (v_.Diagnostic() && m > kDefragPageCell && m % kPageSize != 0 &&
          !(!v_.OldFormat() && m == kSegmentCellSize)) {
        CellLine(v_.OldFormat() ? FindingKind::kDefragNotPage2 : FindingKind::kDefragNotPage1, cell, binIndex, size, k,
                 s);
      }
      if (MoveOut(cell, m) != 0) {
        uint32_t grown = v_.CellLength(hole_) + m;
        v_.image.SetU32(hole_, grown);
        next = hole_ + grown;
      } else {
        Report<FindingKind::kDefragNoSpace8>(v_.ctx, cell);
        hole_ = 0;
      }
    } else if (MisplacedCell(bin, size, binIndex, k, cell)) {
      if (MoveOut(cell, m) != 0) {
        hole_ = cell;
      } else {
        Report<FindingKind::kDefragNoSpace9>(v_.ctx, cell);
        hole_ = 0;
      }
    }
    shadow.SetFreeTail(hole_);
    cell = next;
  }
}

// The bin holds one allocated cell and free space behind it: the cell moves
// into room in an earlier bin, so that the whole bin becomes free.
void UnpackedCells::MoveFirstCellForward(uint32_t bin, uint32_t size) {
  uint32_t first = bin + kBinHeaderSize;
  int32_t s = v_.SizeWord(first);
  if (hole_ == 0 || s >= 0) return;
  uint32_t m = v_.CellLength(first);
  if (uint64_t{m} + v_.CellLength(hole_) != size - kBinHeaderSize) return;
  uint32_t fresh = GetNewCells(v_.ctx, true, bin, static_cast<int32_t>(m));
  if (fresh == 0) return;
  MoveCells(v_.ctx, fresh, first);
  v_.image.SetU32(first, size - kBinHeaderSize);
  hole_ = first;
  v_.Shadow(bin).SetFreeTail(first);
  ++moves_;
  v_.totals.Count(RepairCounter::UnpackedCellsClean);
  v_.totals.Count(RepairCounter::moveCellsClean);
}

int32_t UnpackedCells::Run() {
  caption_ = DefragHeading(v_.ctx, "DefragUnpackedCells");
  FreeSpaceIndexScope index(v_.ctx);
  uint32_t bin = kBaseBlockSize;
  // Ends: a sound bin is at least a header and a cell long, and the bins end
  // grows only by bins the allocator appends inside the reserve pages.
  for (int32_t binIndex = 1; bin < v_.BinsEnd(); ++binIndex) {
    Status(binIndex, bin);
    if (!v_.SoundBin(bin)) {
      Report<FindingKind::kDefragHbinsOverFlow>(v_.ctx, bin);
      break;
    }
    // The walk reads every cell; the bytes a few pages on are asked for early.
    if (bin + 4 * kPageSize < v_.image.Size()) __builtin_prefetch(v_.image.Data() + bin + 4 * kPageSize);
    BinShadow shadow = v_.Shadow(bin);
    shadow.SetFreeTail(0);
    shadow.SetHbinState(1);
    NoteFreeSpace(v_.ctx, bin);
    uint32_t size = v_.BinSize(bin);
    PackBin(bin, size, binIndex);
    if (v_.Diagnostic() && binIndex != 1) MoveFirstCellForward(bin, size);
    if (SplitHbins(v_, bin, hole_, binIndex)) ++moves_;
    shadow.SetHbinState(2);
    NoteFreeSpace(v_.ctx, bin);
    if (v_.ctx.Aborted()) break;
    // The bin may have shrunk; the pages cut off follow it as bins of their own.
    bin += v_.BinSize(bin);
  }
  uint32_t dropped = DeleteTrailingHbins(v_.ctx);
  LogLineF(v_.ctx, kBlack, "UnpackedCells CellMoveCount=%d HbinDeleteCount=%d", moves_, static_cast<int>(dropped));
  return moves_;
}

}  // namespace

int32_t DefragUnpackedCells(PassState& ctx) {
  if (ctx.Image == nullptr) return 0;
  return UnpackedCells(ctx).Run();
}

}  // namespace quelbrix
