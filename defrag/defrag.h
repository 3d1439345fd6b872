// The three defragmentation passes of Defrag (1028), run by the scan driver on
// a scanned and repaired image whose AccessMap holds the walk's links:
// packing every bin, moving cells from the back into free space in front,
// and emptying the occupied bins behind empty ones at the end of the hive.
// Each returns the number of cells it moved.
#pragma once

#include <cstdint>

#include "core/pass_state.h"

namespace quelbrix {

int32_t DefragUnpackedCells(PassState& ctx);
int32_t DefragUnallocCells(PassState& ctx);
int32_t DefragUnallocHbins(PassState& ctx);

// The layout that the packing and backward passes improve, over the bins
// that can be walked: the end of the bins, the allocated cells that sit
// badly (behind free space in their bin, or misplaced for their length) and
// the free cells.  Cells and Bins size the round limit.
struct DefragLayout {
  uint64_t HiveLength = 0;
  uint32_t BadlyPlaced = 0;
  uint32_t FreeCells = 0;
  uint32_t Cells = 0;
  uint32_t Bins = 0;
};
// The lowest hive length, badly placed and free cell counts seen so far.
class DefragRecords {
 public:
  // True when `now` lowers one of them (always for the first layout).
  bool Beaten(const DefragLayout& now);

 private:
  DefragLayout best_;
  bool set_ = false;
};
DefragLayout MeasureDefragLayout(PassState& ctx);
// The most rounds of the packing and backward passes that a hive of this
// layout is given.
uint32_t DefragRoundLimit(const DefragLayout& start);

enum class DefragLoopEnd {
  kSettled,  // a round moved nothing
  kAborted,  // AbortRequested
  kStopped,  // rounds moved cells but got nowhere, or the rounds ran out (said in red)
};
// The packing and backward passes in turn until a round moves nothing.
DefragLoopEnd RunDefragLoop(PassState& ctx);

}  // namespace quelbrix
