#include "hive/big_data.h"

#include <algorithm>

#include "hive/access_map.h"
#include "hive/check_cell.h"

namespace quelbrix::valuestep {

bool ZeroCellTail(const CellView& cell, uint64_t used) {
  if (!cell.Valid()) return false;
  uint64_t total = std::min<uint64_t>(cell.Length(), cell.Avail());
  if (used >= total) return false;
  return ZeroTail(cell.Bytes(), static_cast<int64_t>(used), static_cast<int64_t>(total));
}

bool SegmentChecked(PassState& ctx, uint32_t list, uint64_t segment) {
  AccessMap map(ctx);
  if (!map.Contains(segment, 8)) return false;
  CellShadow shadow(map, static_cast<uint32_t>(segment));
  return shadow.Kind() == kKindDd && shadow.ParentLink() == list;
}

}  // namespace quelbrix::valuestep
