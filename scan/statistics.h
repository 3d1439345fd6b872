// Structure statistics: bins, cells, free space and badly placed cells of the
// image, independent of the key tree.  The defrag view adds the layout errors
// that the defrag passes remove.  Changes nothing.
#pragma once

#include <cstdint>

#include "core/pass_state.h"

namespace quelbrix {

// Returns the allocated nk cells met: about the keys the key walk will
// visit, known before it starts, for its share of the work done.
uint32_t StructureStatistics(PassState& ctx, bool defragView);

}  // namespace quelbrix
