// PrintRepairCounters: one line per non-zero RepairCounter, in the fixed
// order of the summaries.
#pragma once

#include "core/context.h"

namespace quelbrix {

void PrintRepairCounters(HiveContext& ctx);

}  // namespace quelbrix
