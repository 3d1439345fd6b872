#include "scan/big_data.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "core/report_log.h"
#include "hive/access_map.h"
#include "hive/check_cell.h"
#include "hive/report_finding.h"
#include "repair/allocator.h"

namespace quelbrix {

namespace {

using valuestep::RepairMode;
using valuestep::StoredLength;
using valuestep::ZeroCellTail;

void Note(PassState& ctx, std::string_view text) { LogPane(kBlack, ctx, text); }

}  // namespace

void ReadBigData(PassState& ctx, const char* name, RegHandle handle, const std::string& pathLine, const VkCell& vk) {
  HiveImage image(ctx);
  ScanTotals totals(ctx);
  totals.Add(Total::dbCount);
  totals.Add(Total::AccessCount);
  uint64_t dbPos = CellPos(vk.DataOffset());
  if (CheckCell(vk.Pos(), ctx, true, 0, dbPos, kSigDb) != kCellOk) {
    Report<FindingKind::kDbCellsAssertError>(ctx, static_cast<uint32_t>(dbPos));
    Note(ctx, pathLine);
    return;
  }
  DbCell db(image, dbPos);
  if (db.Signature() != kSigDb) {
    Report<FindingKind::kDbSignatureError>(ctx, db.Pos(), db.Pos());
    Note(ctx, pathLine);
    return;
  }
  if (db.Length() < 16) {
    Report<FindingKind::kDbCellsLengthError>(ctx, db.Pos(), db.Pos());
    Note(ctx, pathLine);
    return;
  }

  // No value can hold more bytes than the image: a larger DataLength is
  // damage, and the gathered buffer stops at the image's size.
  uint32_t b = StoredLength(vk);
  uint32_t gathered = std::min<uint32_t>(b, ctx.ImageSize);
  if (gathered < b) {
    Report<FindingKind::kVkDataLengthErrorBigData>(ctx, vk.Pos(), static_cast<int>(b));
    Note(ctx, name);
  }
  std::vector<uint8_t> buffer(gathered);

  totals.Add(Total::ddlistCount);
  totals.Add(Total::AccessCount);
  uint64_t listPos = CellPos(db.ddlistOffset());
  if (CheckCell(db.Pos(), ctx, true, 0, listPos, kSigDl) != kCellOk) {
    Report<FindingKind::kDdlistCellsAssertError>(ctx, static_cast<uint32_t>(listPos));
    Note(ctx, pathLine);
    return;
  }
  OffsetListCell list(image, listPos);
  uint32_t count = db.SegmentCount();
  if (list.Length() < OffsetListCell::kEntries + 4 * uint64_t{count}) {
    Report<FindingKind::kDdlistCellsLengthError>(ctx, list.Pos(), list.Pos());
    Note(ctx, pathLine);
    return;
  }

  std::vector<uint8_t> passed(count, 0);
  uint32_t capacity = 0;
  for (uint32_t i = 0; i < count; ++i) {
    int64_t r = int64_t{b} - int64_t{kSegmentData} * i;
    totals.Add(Total::dbdataCount);
    totals.Add(Total::AccessCount);
    uint64_t segPos = CellPos(list.Entry(i));
    if (CheckCell(list.Pos(), ctx, true, 0, segPos, kSigDd) != kCellOk) {
      Report<FindingKind::kDbdataCellsAssertError>(ctx, static_cast<uint32_t>(segPos));
      Note(ctx, pathLine);
      continue;
    }
    passed[i] = 1;
    if (r <= 0) continue;
    DataCell segment(image, segPos);
    uint32_t carried = static_cast<uint32_t>(std::min<int64_t>(r, kSegmentData));
    if (segment.Length() < uint64_t{carried} + 4) {
      Report<FindingKind::kDbdataCellsLengthError>(ctx, segment.Pos(), segment.Pos());
      Note(ctx, pathLine);
      continue;
    }
    capacity += std::min<uint32_t>(segment.Length() - 4, kSegmentData);
    uint64_t at = uint64_t{kSegmentData} * i;
    if (at < gathered) {
      uint64_t n = std::min<uint64_t>(carried, gathered - at);
      std::memcpy(buffer.data() + at, segment.Data(carried), n);
    }
    if (r < kSegmentData && RepairMode(ctx) && segment.Length() > uint64_t{carried} + 4 &&
        ZeroCellTail(segment, uint64_t{carried} + 4))
      totals.Count(RepairCounter::dbdataPaddingClean);
  }

  ValueData data;
  data.Bytes = buffer.data();
  data.Present = gathered;
  data.Capacity = capacity;
  data.DbCell = db.Pos();
  DumpValue(ctx, name, data, pathLine, vk, handle);
  std::vector<uint8_t>().swap(buffer);
  if (!vk.InlineData()) TidyData(ctx, vk, pathLine, &passed);
}

void TidyBigData(PassState& ctx, const VkCell& vk, const std::string& pathLine,
                 const std::vector<uint8_t>* passed) {
  HiveImage image(ctx);
  ScanTotals totals(ctx);
  DbCell db(image, CellPos(vk.DataOffset()));
  if (!db.Valid()) return;
  OffsetListCell list(image, CellPos(db.ddlistOffset()));
  if (!list.Valid()) return;
  uint32_t b = StoredLength(vk);
  uint32_t count = db.SegmentCount();

  // At most 65535 segments (a 16-bit count); entries past the list read as 0.
  for (uint32_t i = 0; i < count; ++i) {
    int64_t r = int64_t{b} - int64_t{kSegmentData} * i;
    if (r >= kSegmentData) continue;
    bool checked = passed == nullptr || (i < passed->size() && (*passed)[i] != 0);
    DataCell segment(image, CellPos(list.Entry(i)));
    if (r > 0) {
      if (checked && RepairMode(ctx) && segment.Length() > uint64_t(r) + 4 &&
          ZeroCellTail(segment, uint64_t(r) + 4))
        totals.Count(RepairCounter::dbdataPaddingClean);
      continue;
    }
    const uint32_t segmentPos = static_cast<uint32_t>(CellPos(list.Entry(i)));
    Report<FindingKind::kDbdataCellsOverRunError>(ctx, segmentPos, segmentPos);
    Note(ctx, pathLine);
    if (RepairMode(ctx)) {
      // A segment that failed its check may be another cell's; only the list
      // entry that names it is dropped.
      if (checked) FreeCell(ctx, segment);
      list.SetEntry(i, 0);
      totals.Count(RepairCounter::dbdataOverClean);
    }
  }

  uint64_t expected = (uint64_t{b} + kSegmentData - 1) / kSegmentData;
  if (count != expected) {
    Report<FindingKind::kDbCellsNumberError>(ctx, db.Pos(), static_cast<int>(expected), static_cast<int>(count));
    Note(ctx, pathLine);
    if (RepairMode(ctx) && count > expected) {
      db.SetSegmentCount(static_cast<uint16_t>(expected));
      totals.Count(RepairCounter::dbNumberClean);
    }
  }

  uint64_t used = OffsetListCell::kEntries + 4 * uint64_t{db.SegmentCount()};
  AdjustCells(ctx, list.Pos(), RoundUp8(used));
  if (RepairMode(ctx) && ZeroCellTail(list, used)) totals.Count(RepairCounter::ddlistPaddingClean);
  AdjustCells(ctx, db.Pos(), 16);
  if (RepairMode(ctx) && ZeroCellTail(db, 16)) totals.Count(RepairCounter::dbPaddingClean);
}

}  // namespace quelbrix
