// The three defragmentation passes of Defrag (1028), run by the scan driver on
// a scanned and repaired image whose AccessMap holds the walk's links:
// packing every bin, moving cells from the back into free space in front,
// and emptying the occupied bins behind empty ones at the end of the hive.
// Each returns the number of cells it moved.
#pragma once

#include <cstdint>

#include "core/context.h"

namespace quelbrix {

int32_t DefragUnpackedCells(HiveContext& ctx);
int32_t DefragUnallocCells(HiveContext& ctx);
int32_t DefragUnallocHbins(HiveContext& ctx);

}  // namespace quelbrix
