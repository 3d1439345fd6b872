// The Defrag loop: the packing and backward passes take turns while they
// move cells.  On a damaged hive the two can hand the same cells back and
// forth for ever.  So the loop keeps record lows of the hive length, the
// badly placed cells and the free cells: each is a whole number that only
// falls, so rounds that set a record run out, and the loop gives up after a
// few rounds in a row that set none.  The rounds are capped by the size of
// the hive as well.
#include <cstdint>

#include "core/report_log.h"
#include "hive/report_finding.h"
#include "defrag/bin_steps.h"
#include "defrag/defrag.h"

namespace quelbrix {

bool DefragRecords::Beaten(const DefragLayout& now) {
  bool beaten = !set_ || now.HiveLength < best_.HiveLength || now.BadlyPlaced < best_.BadlyPlaced ||
                now.FreeCells < best_.FreeCells;
  if (!set_ || now.HiveLength < best_.HiveLength) best_.HiveLength = now.HiveLength;
  if (!set_ || now.BadlyPlaced < best_.BadlyPlaced) best_.BadlyPlaced = now.BadlyPlaced;
  if (!set_ || now.FreeCells < best_.FreeCells) best_.FreeCells = now.FreeCells;
  set_ = true;
  return beaten;
}

DefragLayout MeasureDefragLayout(PassState& ctx) {
  DefragView v(ctx);
  DefragLayout layout;
  layout.HiveLength = v.BinsEnd();
  // Bins and cells step forward by checked, non-zero lengths that stay inside
  // the bins, so both walks end; a broken chain ends the count where it breaks.
  for (uint64_t bin = kBaseBlockSize; bin < v.BinsEnd() && v.SoundBin(static_cast<uint32_t>(bin));) {
    uint32_t size = v.BinSize(static_cast<uint32_t>(bin));
    uint64_t binEnd = bin + size;
    // The walk reads every cell of the hive; the bytes a few pages on are
    // asked for early (most bins are a page long).
    if (bin + 4 * kPageSize < v.image.Size()) __builtin_prefetch(v.image.Data() + bin + 4 * kPageSize);
    bool freeBefore = false;
    for (uint64_t cell = bin + kBinHeaderSize; cell < binEnd;) {
      uint32_t m = v.StepLength(static_cast<uint32_t>(cell), binEnd);
      if (m == 0) break;
      ++layout.Cells;
      if (v.SizeWord(static_cast<uint32_t>(cell)) > 0) {
        ++layout.FreeCells;
        freeBefore = true;
      } else if (freeBefore ||
                 PlacementOf(v, static_cast<uint32_t>(bin), size, static_cast<uint32_t>(cell)) != CellPlacement::kFine) {
        ++layout.BadlyPlaced;
      }
      cell += m;
    }
    ++layout.Bins;
    bin = binEnd;
  }
  return layout;
}

uint32_t DefragRoundLimit(const DefragLayout& start) {
  // A backstop behind the records, which already end the loop: one round
  // per cell and bin of the hive as the scan left it.
  return start.Cells + start.Bins + 2;
}

DefragLoopEnd RunDefragLoop(PassState& ctx) {
  const uint32_t limit = DefragRoundLimit(MeasureDefragLayout(ctx));
  // Records of the layout after the packing pass and after the whole round.
  // A sound hive may need a round that beats none of them (cells that the
  // backward pass moved are packed again) but not several in a row; a
  // damaged one whose passes undo each other stops beating them at once.
  constexpr uint32_t kRoundsWithoutRecord = 3;
  DefragRecords packedRecords, roundRecords;
  uint32_t withoutRecord = 0;
  int32_t (*const pack)(PassState&) = ctx.DefragRoundPass ? ctx.DefragRoundPass : DefragUnpackedCells;
  int32_t (*const backward)(PassState&) = ctx.DefragRoundPass ? ctx.DefragRoundPass : DefragUnallocCells;
  for (uint32_t round = 1;; ++round) {
    int32_t moved = pack(ctx);
    if (ctx.Aborted()) return DefragLoopEnd::kAborted;
    bool record = packedRecords.Beaten(MeasureDefragLayout(ctx));
    moved += backward(ctx);
    if (ctx.Aborted()) return DefragLoopEnd::kAborted;
    if (moved == 0) return DefragLoopEnd::kSettled;
    record = roundRecords.Beaten(MeasureDefragLayout(ctx)) || record;
    withoutRecord = record ? 0 : withoutRecord + 1;
    if (withoutRecord == kRoundsWithoutRecord) {
      Report<FindingKind::kDefragNoProgress>(ctx, kNoOffset, static_cast<int>(round), moved);
      return DefragLoopEnd::kStopped;
    }
    if (round >= limit) {
      Report<FindingKind::kDefragRoundLimit>(ctx, kNoOffset, static_cast<int>(round), moved);
      return DefragLoopEnd::kStopped;
    }
  }
}

}  // namespace quelbrix
