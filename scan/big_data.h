// Big data and the value step's shared internals: ReadBigData checks a value's
// db cell, segment list and segments, gathers the value for the dump and then
// tidies it; TidyBigData frees over-run segments, corrects the segment count
// and cleans the padding in the repair modes.  DumpValue and TidyData are the
// value step's own (scan/values.cpp), called back from here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/context.h"
#include "hive/cells.h"
#include "scan/rebuild_hooks.h"

namespace quelbrix {

// A value's data as the dump sees it.  Present bounds every read of Bytes: the
// stored length may claim more than the inline field, the cell or the gathered
// buffer holds.
struct ValueData {
  const uint8_t* Bytes = nullptr;
  uint32_t Present = 0;
  uint32_t Capacity = 0;  // big data: what the segments that passed can hold
  uint32_t DbCell = 0;    // image position of the db cell, 0 for plain data
};

namespace valuestep {

inline bool RepairMode(const HiveContext& ctx) { return ctx.Rules.Repair; }
inline bool ExtendedRepair(const HiveContext& ctx) { return ctx.Rules.ExtendedRepair; }
inline bool BigDataHive(const HiveContext& ctx) { return HasBigData(ctx.HiveMajorVersion, ctx.HiveMinorVersion); }
inline uint32_t StoredLength(const VkCell& vk) { return vk.DataLength() & 0x7FFFFFFFu; }

// ZeroTail over an allocated cell from `used` to its end, never past the image.
bool ZeroCellTail(const CellView& cell, uint64_t used);

// Whether the segment at image position `segment` passed its check with the
// list at `list` as referrer (a segment that failed is never read or written
// again).
bool SegmentChecked(HiveContext& ctx, uint32_t list, uint64_t segment);

// Gives up an allocated cell: its size word is made positive and its shadow
// cleared, since a free cell has no referrer and no children.
void FreeCell(HiveContext& ctx, const CellView& cell);

}  // namespace valuestep

void ReadBigData(HiveContext& ctx, const char* name, RegHandle handle, const std::string& pathLine, const VkCell& vk);
// passed: per segment-list entry, whether that segment passed its check in
// ReadBigData; null when every segment was made by this scan.
void TidyBigData(HiveContext& ctx, const VkCell& vk, const std::string& pathLine,
                 const std::vector<uint8_t>* passed);

void DumpValue(HiveContext& ctx, const char* name, const ValueData& data, const std::string& pathLine,
               const VkCell& vk, RegHandle handle);
void TidyData(HiveContext& ctx, const VkCell& vk, const std::string& pathLine,
              const std::vector<uint8_t>* passed = nullptr);

}  // namespace quelbrix
