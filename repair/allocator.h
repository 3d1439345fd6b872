// The cell allocator: the one place that hands out space in the HiveImage.
// GetNewCells finds or makes an allocated, zeroed cell (existing bins, merged
// empty bins, a new bin in the reserve pages); AdjustCells trims an oversized
// cell under Defrag; InitHbin writes an empty bin; DeleteTrailingHbins drops
// empty bins at the end; FreeCell gives a cell back.  Bookkeeping lives in
// the AccessMap (bin shadows and ScanTotals).  Positions are image positions;
// 0 means none.
#pragma once

#include <cstdint>

#include "core/pass_state.h"

namespace quelbrix {

class CellView;

// length: whole cell length, a positive multiple of 8.  limitBin: image
// position of a bin, or 0 for none.  Returns the new cell's position or 0.
uint32_t GetNewCells(PassState& ctx, bool lowOnly, uint32_t limitBin, int32_t length);
// needed: the caller's trim length.  Acts only under Defrag (1028).
void AdjustCells(PassState& ctx, uint32_t cell, uint64_t needed);
void InitHbin(PassState& ctx, uint32_t at, uint32_t size);
uint32_t DeleteTrailingHbins(PassState& ctx);
uint32_t BigCellLength(const PassState& ctx, uint32_t n);

// The one way a pass gives up an allocated cell: its size word is made
// positive, its shadow cleared (a free cell has no referrer and no children)
// and the free-space index told that its bin may serve more.
void FreeCell(PassState& ctx, const CellView& cell);

}  // namespace quelbrix
