#include "hive/check_cell.h"

#include <cstring>

#include "core/report_log.h"
#include "hive/report_finding.h"
#include "hive/access_map.h"
#include "hive/bytes.h"
#include "hive/cells.h"
#include "hive/image.h"

namespace quelbrix {
namespace {

int Fail(PassState& ctx, int code, uint64_t cell) {
  Report<FindingKind::kCellsAssert>(ctx, static_cast<uint32_t>(cell), code, static_cast<uint32_t>(cell));
  return code;
}

// Appends `child` to the zero-terminated ChildLinks of `referrer`, never past
// the room the referrer's own cell shadows.
void AppendChild(const HiveImage& image, const AccessMap& map, uint32_t referrer, uint32_t child) {
  CellShadow shadow(map, referrer);
  CellView cell(image, referrer);
  uint32_t slots;
  if (shadow.Kind() == kKindNk) {
    slots = CellShadow::kKeyChildSlots;
  } else {
    uint32_t length = cell.Length();
    slots = length > CellShadow::kChildLinks ? (length - CellShadow::kChildLinks) / 4 : 0;
  }
  for (uint32_t i = 0; i < slots; ++i) {
    if (shadow.ChildLink(i) == 0) {
      shadow.SetChildLink(i, child);
      return;
    }
  }
}

}  // namespace

int CheckCell(uint32_t referrer, PassState& ctx, bool record, uint32_t parentKey, uint64_t cell, uint16_t sig) {
  HiveImage image(ctx);
  AccessMap map(ctx);
  ScanTotals totals(map);
  if (record) totals.Add(Total::AssertCount);

  // A position whose size word is outside the image lies beyond the bins.
  if (!image.Contains(cell, 4)) return Fail(ctx, kCellBeyondBins, cell);
  CellView view(image, cell);
  uint32_t m = view.Length();
  if (m % 8 != 0) return Fail(ctx, kCellNotMultipleOf8, cell);
  if (cell < kFirstCellPos) return Fail(ctx, kCellBeforeFirstBin, cell);
  if (cell + m > uint64_t{kBaseBlockSize} + image.HbinsDataSize() || cell + m > image.Size())
    return Fail(ctx, kCellBeyondBins, cell);
  if (!record) return kCellOk;
  if (view.Size() > 0) return Fail(ctx, kCellFree, cell);

  uint32_t pos = static_cast<uint32_t>(cell);
  CellShadow shadow(map, pos);
  uint8_t kind = KindCode(sig);
  uint32_t word = shadow.AccessWord();
  if ((word & 0xF) == 0) {
    word |= kind;
  } else if (!((word & 0xF) == kKindSk && sig == kSigSk)) {
    return Fail(ctx, kCellReachedTwice, cell);
  }
  shadow.SetAccessWord(word + 0x100);

  if (referrer != 0) {
    shadow.SetParentLink(referrer);
    if (kind != kKindVk && kind != kKindDd && kind != kKindSk) AppendChild(image, map, referrer, pos);
  }
  if (sig == kSigSk && referrer != 0) {
    CellShadow key(map, referrer);
    uint32_t oldFirst = shadow.FirstReferrer();
    key.SetNextReferrer(oldFirst);
    if (oldFirst != 0) CellShadow(map, oldFirst).SetPrevReferrer(referrer);
    shadow.SetFirstReferrer(referrer);
    key.SetPrevReferrer(pos);
  }
  if (sig == kSigNk && parentKey != 0) {
    CellShadow parent(map, parentKey);
    uint32_t oldLast = parent.LastChild();
    if (oldLast != 0) {
      CellShadow previous(map, oldLast);
      previous.SetNextSibling(pos);
      previous.SetParentKey(0);
    }
    shadow.SetPrevSibling(oldLast);
    parent.SetLastChild(pos);
    shadow.SetParentKey(parentKey);
  }
  return kCellOk;
}

bool ZeroTail(uint8_t* buffer, int64_t used, int64_t total) {
  if (used < 0 || used >= total) return false;
  size_t n = static_cast<size_t>(total - used);
  if (AllZero(buffer + used, n)) return false;
  std::memset(buffer + used, 0, n);
  return true;
}

}  // namespace quelbrix
