// Data length repair under Repair (1027): string values whose DataLength
// disagrees with the text they hold get the right length, moving the data
// between inline, data-cell and big-data form when the length calls for it.
#pragma once

#include <cstdint>
#include <string>

#include "core/pass_state.h"
#include "hive/cells.h"

namespace quelbrix {

// line: the value's dump line (ANSI); dbCell: image position of the db cell
// for big data, 0 otherwise; a: the computed length in bytes; data/capacity as
// the dump received them.
void DataLengthRepair(PassState& ctx, const std::string& line, uint32_t dbCell, const VkCell& vk, uint32_t a,
                      const uint8_t* data, uint32_t capacity);

}  // namespace quelbrix
