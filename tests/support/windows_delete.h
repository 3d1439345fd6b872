// Deletions on a built hive made the way the system itself makes them: the
// cells of a key (with its whole subtree) or of a value marked free (and the
// keys' uses of their security cells given up), the
// entry taken out of the parent's list with the list shortened in place and
// its count lowered, and free cells next to each other merged into one (the
// size words of the merged cells stay behind inside it).  The checksum is
// made right again.
#pragma once

#include <cstdint>
#include <vector>

#include "support/hive_builder.h"

namespace quelbrix::testing {

void DeleteKeyAsWindows(HiveBuilder& b, Key key);
void DeleteValueAsWindows(HiveBuilder& b, Value value);
// Every cell of a key's subtree, nk cells first (CellOffsets).
std::vector<uint32_t> SubtreeCells(HiveBuilder& b, Key key);
void FreeCellAt(HiveBuilder& b, uint32_t cellOffset);
void MergeFreeCells(HiveBuilder& b);
// A new allocated cell of `length` bytes cut at `cellOffset` out of the free
// cell that holds it, as the allocator takes free space for a new cell.
void TakeCellAt(HiveBuilder& b, uint32_t cellOffset, uint32_t length);

}  // namespace quelbrix::testing
