// CheckCell: the one test of a referenced cell.  It bounds-checks the cell
// and, when asked to record, notes the reference in the AccessMap: the cell's
// kind and reference count, its referrer, the referrer's child list, the
// referrer list of an sk and the sibling links of a key.  Never changes the
// HiveImage.  ZeroTail: the padding repair that clears the unused end of a
// buffer.
#pragma once

#include <cstdint>

#include "core/pass_state.h"

namespace quelbrix {

enum CheckResult : int {
  kCellOk = 0,
  kCellNotMultipleOf8 = 1,
  kCellBeforeFirstBin = 2,
  kCellBeyondBins = 5,
  kCellFree = 7,
  kCellReachedTwice = 9,
};

// referrer, parentKey and cell are image positions (0 for none); sig is the
// two-letter (pseudo-)signature of the kind the caller expects.
int CheckCell(uint32_t referrer, PassState& ctx, bool record, uint32_t parentKey, uint64_t cell, uint16_t sig);
// The bounds of a cell only: no referrer, no kind expected, nothing recorded.
inline int CheckCellBounds(PassState& ctx, uint64_t cell) { return CheckCell(0, ctx, false, 0, cell, 0); }

// Zeroes buffer[used..total) when 0 <= used < total and any of those bytes is
// non-zero; true when it changed something.
bool ZeroTail(uint8_t* buffer, int64_t used, int64_t total);

}  // namespace quelbrix
