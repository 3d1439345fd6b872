// PrintRepairCounters: one line per non-zero RepairCounter, in the fixed
// order of the summaries.
#pragma once

#include <functional>
#include <string_view>

#include "core/context.h"

namespace quelbrix {

void PrintRepairCounters(HiveContext& ctx);

// Every counter by its report name ("FileSizeClean", ...) with its value, zero or not.
void ForEachRepairCounter(HiveContext& ctx, const std::function<void(std::string_view name, int32_t value)>& visit);

}  // namespace quelbrix
