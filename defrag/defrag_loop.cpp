// The Defrag loop: the packing and backward passes take turns while they
// move cells.  On a damaged hive the two can hand the same cells back and
// forth for ever, so a round has to leave the layout better than every round
// before it, and the rounds are capped by the size of the hive.
#include <cstdint>

#include "core/report_log.h"
#include "defrag/bin_steps.h"
#include "defrag/defrag.h"

namespace quelbrix {

bool DefragLayout::BetterThan(const DefragLayout& other) const {
  if (HiveLength != other.HiveLength) return HiveLength < other.HiveLength;
  if (Unpacked != other.Unpacked) return Unpacked < other.Unpacked;
  return FreeCells < other.FreeCells;
}

DefragLayout MeasureDefragLayout(HiveContext& ctx) {
  DefragView v(ctx);
  DefragLayout layout;
  layout.HiveLength = v.BinsEnd();
  // Bins and cells step forward by checked, non-zero lengths that stay inside
  // the bins, so both walks end; a broken chain ends the count where it breaks.
  for (uint64_t bin = kBaseBlockSize; bin < v.BinsEnd() && v.SoundBin(static_cast<uint32_t>(bin));) {
    uint32_t size = v.BinSize(static_cast<uint32_t>(bin));
    uint64_t binEnd = bin + size;
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
        ++layout.Unpacked;
      }
      cell += m;
    }
    ++layout.Bins;
    bin = binEnd;
  }
  return layout;
}

uint32_t DefragRoundLimit(const DefragLayout& start) {
  // A backstop behind the progress records, which already end the loop:
  // one round per cell and bin of the hive as the scan left it.
  return start.Cells + start.Bins + 2;
}

DefragLoopEnd RunDefragLoop(HiveContext& ctx) {
  const uint32_t limit = DefragRoundLimit(MeasureDefragLayout(ctx));
  // The best layouts seen after a packing pass and after a whole round.  The
  // first round sets both; a later round counts only when it beats one of
  // them.  Records only fall and there are finitely many layouts, so rounds
  // that count run out.  Legitimately a round may leave the hive longer or
  // more fragmented than the scan did (long cells move to bins of their own),
  // which is why the records start after it.
  DefragLayout bestPacked, bestRound;
  for (uint32_t round = 1;; ++round) {
    int32_t moved = DefragUnpackedCells(ctx);
    if (ctx.Aborted()) return DefragLoopEnd::kAborted;
    DefragLayout packed = MeasureDefragLayout(ctx);
    moved += DefragUnallocCells(ctx);
    if (ctx.Aborted()) return DefragLoopEnd::kAborted;
    if (moved == 0) return DefragLoopEnd::kSettled;
    DefragLayout now = MeasureDefragLayout(ctx);
    bool progress = round == 1 || packed.BetterThan(bestPacked) || now.BetterThan(bestRound);
    if (round == 1 || packed.BetterThan(bestPacked)) bestPacked = packed;
    if (round == 1 || now.BetterThan(bestRound)) bestRound = now;
    if (!progress) {
      LogLineF(ctx, kRed, "DefragLoop Error NoProgress Round=%d CellMoveCount=%d", static_cast<int>(round), moved);
      return DefragLoopEnd::kStopped;
    }
    if (round >= limit) {
      LogLineF(ctx, kRed, "DefragLoop Error RoundLimit Round=%d CellMoveCount=%d", static_cast<int>(round), moved);
      return DefragLoopEnd::kStopped;
    }
  }
}

}  // namespace quelbrix
