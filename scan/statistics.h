// Structure statistics: bins, cells, free space and badly placed cells of the
// image, independent of the key tree.  The defrag view adds the layout errors
// that the defrag passes remove.  Changes nothing.
#pragma once

#include "core/context.h"

namespace quelbrix {

void StructureStatistics(HiveContext& ctx, bool defragView);

}  // namespace quelbrix
