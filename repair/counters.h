// PrintRepairCounters: one line per non-zero RepairCounter, in the fixed
// order of the summaries.
#pragma once

#include <functional>
#include <string_view>

#include "core/pass_state.h"

namespace quelbrix {

void PrintRepairCounters(PassState& ctx);

// Every counter by its report name ("FileSizeClean", ...) with its value, zero or not.
void ForEachRepairCounter(PassState& ctx, const std::function<void(std::string_view name, int32_t value)>& visit);

}  // namespace quelbrix
