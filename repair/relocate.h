// MoveCells: moves one cell recorded by the key walk to a new cell from
// GetNewCells, rewriting every reference to it through the AccessMap links,
// copying its shadow and content, and freeing the old place.
#pragma once

#include <cstdint>

#include "core/pass_state.h"

namespace quelbrix {

// Image positions.  Returns newCell.
uint32_t MoveCells(PassState& ctx, uint32_t newCell, uint32_t oldCell);

}  // namespace quelbrix
