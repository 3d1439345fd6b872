// The cell steps that the value step's big data (scan/) and the data-length
// repair (repair/) share: what the run's rules say of values, a value's stored
// length, the padding repair of a cell, and whether a big-data segment passed
// its check.  They read the image and its AccessMap; ZeroCellTail writes.
#pragma once

#include <cstdint>

#include "core/pass_state.h"
#include "hive/cells.h"

namespace quelbrix::valuestep {

inline bool RepairMode(const PassState& ctx) { return ctx.Rules.Repair; }
inline bool ExtendedRepair(const PassState& ctx) { return ctx.Rules.ExtendedRepair; }
inline bool BigDataHive(const PassState& ctx) { return HasBigData(ctx.HiveMajorVersion, ctx.HiveMinorVersion); }
inline uint32_t StoredLength(const VkCell& vk) { return vk.DataLength() & 0x7FFFFFFFu; }

// ZeroTail over an allocated cell from `used` to its end, never past the image.
bool ZeroCellTail(const CellView& cell, uint64_t used);

// Whether the segment at image position `segment` passed its check with the
// list at `list` as referrer (a segment that failed is never read or written
// again).
bool SegmentChecked(PassState& ctx, uint32_t list, uint64_t segment);

}  // namespace quelbrix::valuestep
