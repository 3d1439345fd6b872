#include "repair/data_length.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "core/report_log.h"
#include "hive/report_finding.h"
#include "hive/access_map.h"
#include "hive/big_data.h"
#include "hive/check_cell.h"
#include "repair/allocator.h"

namespace quelbrix {
namespace {

using valuestep::BigDataHive;
using valuestep::ExtendedRepair;
using valuestep::SegmentChecked;
using valuestep::StoredLength;
using valuestep::ZeroCellTail;

// AccessWords of the cells made here: one reference and the kind code.
constexpr uint32_t kDataCellWord = 0x100 | kKindVd;
constexpr uint32_t kDbWord = 0x100 | kKindDb;
constexpr uint32_t kSegmentListWord = 0x100 | kKindDl;
constexpr uint32_t kSegmentWord = 0x100 | kKindDd;

enum Form { kBigData = 0, kDataCellForm = 1, kInline = 2 };

// By form, then by whether the stored length is shorter or longer than the
// text calls for.
constexpr FindingKind kShorter[3] = {FindingKind::kDataLengthError1, FindingKind::kDataLengthError2,
                                     FindingKind::kDataLengthError3};
constexpr FindingKind kLonger[3] = {FindingKind::kDataLengthError4, FindingKind::kDataLengthError5,
                                    FindingKind::kDataLengthError6};

void CountFix(PassState& ctx, RepairCounter c) { ScanTotals(ctx).Count(c); }

void ResetAllocStart(PassState& ctx) { ScanTotals(ctx).Set(Total::AllocStartHbin, 0); }

// A cell asked of the allocator for `payload` data bytes; 0 when none is
// given or the length cannot be a cell.
uint32_t NewDataCell(PassState& ctx, uint64_t payload) {
  uint64_t length = RoundUp8(payload + 4);
  if (length > 0x7FFFFFF8u) return 0;
  return GetNewCells(ctx, false, 0, static_cast<int32_t>(length));
}

// Records a cell made here as the AccessMap would after the walk had reached
// it: one reference of its kind, its referrer, and (but for segments) the
// referrer's first child slot.
void MarkNewCell(PassState& ctx, uint32_t cell, uint32_t accessWord, uint32_t referrer, bool childOfReferrer) {
  AccessMap map(ctx);
  CellShadow shadow(map, cell);
  shadow.SetAccessWord(accessWord);
  shadow.SetParentLink(referrer);
  if (childOfReferrer) CellShadow(map, referrer).SetChildLink(0, cell);
}

void ClearFirstChild(PassState& ctx, const VkCell& vk) { CellShadow(AccessMap(ctx), vk.Pos()).SetChildLink(0, 0); }

// Inline bytes from `a` on are padding once the text is inline.
void ZeroInlineFrom(PassState& ctx, const VkCell& vk, uint32_t a) {
  uint8_t* field = vk.Ptr(VkCell::kDataOffset, 4);
  if (a <= 3 && field != nullptr && ZeroTail(field, a, 4)) CountFix(ctx, RepairCounter::dataPaddingClean);
}

void StoreInline(PassState& ctx, const VkCell& vk, uint32_t e, uint32_t a, const uint8_t* first4) {
  CountFix(ctx, RepairCounter::vkDataLengthClean);
  vk.SetDataLength(e | VkCell::kInlineFlag);
  uint8_t bytes[4];
  std::memcpy(bytes, first4, 4);
  uint8_t* field = vk.Ptr(VkCell::kDataOffset, 4);
  if (field != nullptr) std::memcpy(field, bytes, 4);
  ZeroInlineFrom(ctx, vk, a);
}

void RepairInline(PassState& ctx, const VkCell& vk, uint32_t e, uint32_t a) {
  HiveImage image(ctx);
  if (e <= 4) {
    CountFix(ctx, RepairCounter::vkDataLengthClean);
    vk.SetDataLength(e | VkCell::kInlineFlag);
    ZeroInlineFrom(ctx, vk, a);
    return;
  }
  uint32_t pos = NewDataCell(ctx, e);
  if (pos == 0) {
    Report<FindingKind::kDataLengthNoSpace2>(ctx, vk.Pos());
    return;
  }
  DataCell cell(image, pos);
  // Only the stored inline bytes are data; the rest of the new cell is zero.
  uint32_t keep = std::min({a, vk.DataLength() & ~VkCell::kInlineFlag, 4u});
  const uint8_t* field = vk.Ptr(VkCell::kDataOffset, 4);
  uint8_t* payload = cell.Ptr(DataCell::kData, 4);
  if (field != nullptr && payload != nullptr) std::memcpy(payload, field, 4);
  vk.SetDataOffset(CellOffsetOf(pos));
  CountFix(ctx, RepairCounter::vkDataLengthClean);
  vk.SetDataLength(e);
  MarkNewCell(ctx, pos, kDataCellWord, vk.Pos(), true);
  if (ZeroCellTail(cell, uint64_t{keep} + 4)) CountFix(ctx, RepairCounter::dataPaddingClean);
  ResetAllocStart(ctx);
}

// The data cell's text moves into a db, its segment list and full-size
// segments.  Nothing is changed unless every cell could be had: what was
// taken is given back and the value stays in its data cell.
// keep: the stored bytes of the text (a multi-string whose last string lacks
// its terminator counts two bytes beyond them).
void ConvertdbCells(PassState& ctx, const VkCell& vk, const DataCell& old, uint32_t e, uint32_t a,
                    uint32_t keep, const uint8_t* text) {
  HiveImage image(ctx);
  if (ExtendedRepair(ctx)) Report<FindingKind::kConvertBigData>(ctx, vk.Pos());
  uint32_t segments = (a + kSegmentData + 1) / kSegmentData;
  uint32_t dbPos = GetNewCells(ctx, false, 0, 16);
  if (dbPos == 0) {
    Report<FindingKind::kDataLengthNoSpace5>(ctx, vk.Pos());
    return;
  }
  std::vector<uint32_t> taken{dbPos};
  auto giveBack = [&](FindingKind kind) {
    ReportAs(ctx, kind, vk.Pos());
    for (uint32_t pos : taken) FreeCell(ctx, CellView(image, pos));
    ResetAllocStart(ctx);
  };
  uint32_t listLength = static_cast<uint32_t>(RoundUp8(OffsetListCell::kEntries + 4 * uint64_t{segments}));
  uint32_t listPos = GetNewCells(ctx, false, 0, static_cast<int32_t>(listLength));
  if (listPos == 0) return giveBack(FindingKind::kDataLengthNoSpace4);
  taken.push_back(listPos);
  for (uint32_t i = 0; i < segments; ++i) {
    uint32_t segPos = GetNewCells(ctx, false, 0, static_cast<int32_t>(kSegmentCellSize));
    if (segPos == 0) return giveBack(FindingKind::kDataLengthNoSpace3);
    taken.push_back(segPos);
    ResetAllocStart(ctx);
  }

  DbCell db(image, dbPos);
  db.SetSize(-16);
  db.SetU16(4, kSigDb);
  db.SetSegmentCount(static_cast<uint16_t>(segments));
  db.SetddlistOffset(CellOffsetOf(listPos));
  db.SetUnknown(0);
  MarkNewCell(ctx, dbPos, kDbWord, vk.Pos(), true);
  OffsetListCell list(image, listPos);
  list.SetSize(-static_cast<int32_t>(listLength));
  MarkNewCell(ctx, listPos, kSegmentListWord, dbPos, true);
  for (uint32_t i = 0; i < segments; ++i) {
    uint32_t segPos = taken[2 + i];
    DataCell segment(image, segPos);
    segment.SetSize(-static_cast<int32_t>(kSegmentCellSize));
    // The text's bytes of this segment; the terminator the string lacked
    // stays as the zeros of the new cell.
    uint64_t from = uint64_t{kSegmentData} * i;
    uint64_t n = from < keep ? std::min<uint64_t>(keep - from, kSegmentData) : 0;
    uint8_t* payload = segment.Ptr(DataCell::kData, n);
    if (payload != nullptr && n > 0) std::memcpy(payload, text + from, n);
    list.SetEntry(i, CellOffsetOf(segPos));
    MarkNewCell(ctx, segPos, kSegmentWord, listPos, false);
  }
  ResetAllocStart(ctx);
  FreeCell(ctx, old);
  // The db took the vk's child slot from the old data cell above.
  vk.SetDataOffset(CellOffsetOf(dbPos));
  vk.SetDataLength(e);
  ResetAllocStart(ctx);
}

void RepairDataCell(PassState& ctx, const VkCell& vk, uint32_t e, uint32_t a, const uint8_t* text) {
  HiveImage image(ctx);
  AccessMap map(ctx);
  DataCell old(image, CellPos(vk.DataOffset()));
  // Bytes past the stored length were never part of the value: when the
  // length grows (a multi-string whose last string lacks its terminator)
  // they must become the terminator, not whatever padding held.
  uint32_t keep = std::min(a, vk.DataLength() & ~VkCell::kInlineFlag);
  if (e > kBigDataThreshold && BigDataHive(ctx)) return ConvertdbCells(ctx, vk, old, e, a, keep, text);
  if (e <= 4) {
    StoreInline(ctx, vk, e, a, text);
    FreeCell(ctx, old);
    ClearFirstChild(ctx, vk);
    return;
  }
  if (old.Length() >= uint64_t{e} + 4) {
    CountFix(ctx, RepairCounter::vkDataLengthClean);
    vk.SetDataLength(e);
    if (ZeroCellTail(old, uint64_t{keep} + 4)) CountFix(ctx, RepairCounter::dataPaddingClean);
    return;
  }
  uint32_t pos = NewDataCell(ctx, e);
  if (pos == 0) {
    Report<FindingKind::kDataLengthNoSpace6>(ctx, vk.Pos());
    return;
  }
  DataCell cell(image, pos);
  uint64_t payload = std::min<uint64_t>(std::min<uint64_t>(old.Length(), old.Avail()), cell.Length()) - 4;
  uint8_t* to = cell.Ptr(DataCell::kData, payload);
  const uint8_t* from = old.Ptr(DataCell::kData, payload);
  if (to != nullptr && from != nullptr) std::memcpy(to, from, payload);
  vk.SetDataOffset(CellOffsetOf(pos));
  CountFix(ctx, RepairCounter::vkDataLengthClean);
  vk.SetDataLength(e);
  CellShadow oldShadow(map, old.Pos()), newShadow(map, pos);
  newShadow.SetParentLink(oldShadow.ParentLink());
  newShadow.SetAccessWord(oldShadow.AccessWord());
  CellShadow(map, vk.Pos()).SetChildLink(0, pos);
  FreeCell(ctx, old);
  if (ZeroCellTail(cell, uint64_t{keep} + 4)) CountFix(ctx, RepairCounter::dataPaddingClean);
  ResetAllocStart(ctx);
}

// Frees the segments this db's list reached in this scan, the list and the db.
void ReleaseBigData(PassState& ctx, const DbCell& db) {
  HiveImage image(ctx);
  OffsetListCell list(image, CellPos(db.ddlistOffset()));
  uint32_t count = db.SegmentCount();
  for (uint32_t i = 0; i < count; ++i) {
    uint64_t segPos = CellPos(list.Entry(i));
    if (SegmentChecked(ctx, list.Pos(), segPos)) FreeCell(ctx, CellView(image, segPos));
  }
  FreeCell(ctx, list);
  FreeCell(ctx, db);
}

void RepairBigData(PassState& ctx, uint32_t dbPos, const VkCell& vk, uint32_t e, uint32_t a, const uint8_t* data,
                   uint32_t capacity) {
  HiveImage image(ctx);
  DbCell db(image, dbPos);
  if (e > kBigDataThreshold) {
    if (capacity >= e) {
      CountFix(ctx, RepairCounter::vkDataLengthClean);
      vk.SetDataLength(e);
    }
    return;
  }
  if (e <= 4) {
    StoreInline(ctx, vk, e, a, data);
    ReleaseBigData(ctx, db);
    ClearFirstChild(ctx, vk);
    return;
  }
  uint32_t pos = NewDataCell(ctx, e);
  if (pos == 0) {
    Report<FindingKind::kDataLengthNoSpace7>(ctx, vk.Pos());
    return;
  }
  DataCell cell(image, pos);
  uint8_t* payload = cell.Ptr(DataCell::kData, a);
  if (payload != nullptr && a > 0) std::memcpy(payload, data, a);
  vk.SetDataOffset(CellOffsetOf(pos));
  CountFix(ctx, RepairCounter::vkDataLengthClean);
  vk.SetDataLength(e);
  MarkNewCell(ctx, pos, kDataCellWord, vk.Pos(), true);
  ReleaseBigData(ctx, db);
  if (ZeroCellTail(cell, uint64_t{a} + 4)) CountFix(ctx, RepairCounter::dataPaddingClean);
  ResetAllocStart(ctx);
}

}  // namespace

void DataLengthRepair(PassState& ctx, const std::string& line, uint32_t dbCell, const VkCell& vk, uint32_t a,
                      const uint8_t* data, uint32_t capacity) {
  uint32_t e = a + 2;
  uint32_t b = StoredLength(vk);
  if (b == e || data == nullptr) return;
  HiveImage image(ctx);
  Form form;
  if (vk.InlineData()) {
    form = kInline;
  } else if (data == image.At(CellPos(vk.DataOffset()) + DataCell::kData, 0)) {
    form = kDataCellForm;
  } else {
    form = kBigData;
  }
  ReportAs(ctx, b < e ? kShorter[form] : kLonger[form], vk.Pos(), static_cast<int>(e), static_cast<int>(b));
  LogPane(kBlack, ctx, line);
  switch (form) {
    case kInline: return RepairInline(ctx, vk, e, a);
    case kDataCellForm: return RepairDataCell(ctx, vk, e, a, data);
    case kBigData:
      if (dbCell != 0) RepairBigData(ctx, dbCell, vk, e, a, data, capacity);
      return;
  }
}

}  // namespace quelbrix
