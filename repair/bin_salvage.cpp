// SalvageBins: the chain of bins as Repair and Defrag leave it.
#include <algorithm>
#include <vector>

#include "core/report_log.h"
#include "hive/report_finding.h"
#include "hive/access_map.h"
#include "hive/base_block.h"
#include "hive/bins.h"
#include "hive/cells.h"
#include "hive/image.h"
#include "repair/allocator.h"
#include "repair/sound_hive.h"

namespace quelbrix {
namespace {

// A bin header the chain can go on with: its signature, its own offset, and a
// size that keeps it inside the file.
bool HeaderAt(const HiveImage& image, uint64_t pos, uint64_t fileEnd, uint32_t& size) {
  const BinHeader h(image, pos);
  if (pos + kBinHeaderSize > fileEnd || !h.HasSignature() || !h.NamesItself()) return false;
  size = h.Size();
  return size >= kBinHeaderSize && size % 8 == 0 && size <= fileEnd - pos;
}

// Where the chain can be found again after a broken bin: the next page that
// holds a whole bin of page multiples naming its own position.
uint64_t NextBin(const HiveImage& image, uint64_t pos, uint64_t fileEnd) {
  uint64_t page = kBaseBlockSize + (pos - kBaseBlockSize + kPageSize) / kPageSize * kPageSize;
  for (; page + kBinHeaderSize <= fileEnd; page += kPageSize) {
    uint32_t size = 0;
    if (HeaderAt(image, page, fileEnd, size) && size % kPageSize == 0) return page;
  }
  return 0;
}

// The position where the chain of cells from `cell` breaks, or `end` when it
// reaches the end of the bin exactly; `last` gets the cell before the break.
uint64_t ChainBreak(const HiveImage& image, uint64_t cell, uint64_t end, uint64_t* last = nullptr) {
  CellCursor cells(image, cell, end);
  uint64_t before = 0;
  for (; !cells.AtEnd(); cells.Next()) {
    if (cells.Check() != WalkStop::kNone) break;
    before = cells.Pos();
  }
  if (last != nullptr) *last = before;
  return cells.AtEnd() ? end : cells.Pos();
}

// From `from` on, in steps of 8 up to `limit`: the first position from which
// the chain reaches the bin's end, or `limit`.
uint64_t ChainResumes(const HiveImage& image, uint64_t from, uint64_t limit, uint64_t end) {
  uint64_t pos = from;
  while (pos < limit && ChainBreak(image, pos, end) != end) pos += 8;
  return std::min(pos, limit);
}

// The length a structure cell (key, value, security, subkey list, big-data
// header) needs for what its own fields say it holds, or 0 when the bytes at
// `pos` start none of these.
uint64_t StructureLength(const HiveImage& image, uint64_t pos) {
  switch (image.U16(pos + 4)) {
    case kSigNk: return RoundUp8(uint64_t{NkCell::kKeyName} + image.U16(pos + NkCell::kKeyLength));
    case kSigVk: return RoundUp8(uint64_t{VkCell::kHeaderLength} + image.U16(pos + VkCell::kNameLength));
    case kSigSk: return RoundUp8(uint64_t{SkCell::kDescriptor} + image.U32(pos + SkCell::kDescriptorLength));
    case kSigLf:
    case kSigLh: return RoundUp8(uint64_t{IndexCell::kEntries} + 8ull * image.U16(pos + IndexCell::kCount));
    case kSigLi:
    case kSigRi: return RoundUp8(uint64_t{IndexCell::kEntries} + 4ull * image.U16(pos + IndexCell::kCount));
    case kSigDb: return 16;
    default: return 0;
  }
}

// Keeps the cells of a bin around a break in their chain.  Damage is mostly
// a zeroed page or a broken size word; the cells behind it are whole.
// - An allocated structure cell (key, value, descriptor, list) before the
//   break whose size word gives it less than its own fields say it holds, or
//   more than that where the chain goes on whole from there: its size word
//   is the broken one, and it gets the length up to where the chain goes on.
// - A structure cell at the break: a broken size word in front of a whole
//   cell, which the key tree may still name.  The chain is looked for past
//   what it holds, and the space up to it stays allocated.
// - Otherwise the cells from the first later position whose chain reaches
//   the bin's end are kept, and what lies between becomes one free cell.
// Returns the position of the break, or 0.
uint64_t MendCells(const HiveImage& image, uint64_t bin, uint32_t size, std::vector<uint32_t>& freed) {
  uint64_t end = bin + size;
  uint64_t last = 0;
  uint64_t broken = ChainBreak(image, bin + kBinHeaderSize, end, &last);
  if (broken == end) return 0;
  uint64_t held = StructureLength(image, broken);
  if (last != 0 && CellView(image, last).Allocated()) {
    uint64_t needs = StructureLength(image, last);
    uint64_t claimed = broken - last;
    uint64_t resume = 0;
    // A cell too short for its own fields is broken for certain, whatever
    // its stale tail may look like; one that claims too much only where no
    // cell starts at the break.
    if (needs > claimed && needs <= end - last) {
      // The bin's end counts only where the cell ends right there.
      uint64_t found = ChainResumes(image, last + needs, end, end);
      if (found < end || last + needs == end) resume = found;
    } else if (needs != 0 && needs < claimed && held == 0) {
      uint64_t found = ChainResumes(image, last + needs, broken, end);
      if (found < broken) resume = found;
    }
    if (resume != 0) {
      CellView(image, last).SetSize(-static_cast<int32_t>(resume - last));
      return broken;
    }
  }
  bool kept = held != 0 && held <= end - broken;
  uint64_t resume = ChainResumes(image, broken + (kept ? held : 8), end, end);
  int32_t length = static_cast<int32_t>(resume - broken);
  CellView(image, broken).SetSize(kept ? -length : length);
  if (!kept) freed.push_back(static_cast<uint32_t>(broken));
  return broken;
}

}  // namespace

bool MakesHiveSound(const PassState& ctx) { return ctx.Rules.Repair; }

void SalvageBins(PassState& ctx) {
  HiveImage image(ctx);
  ScanTotals totals(ctx);
  ctx.SalvagedFree.clear();
  if (image.Size() < kBaseBlockSize) return;
  uint64_t fileEnd = std::min<uint64_t>(ctx.FileSize, image.Size());
  uint64_t declaredEnd = uint64_t{kBaseBlockSize} + image.HbinsDataSize();
  uint64_t pos = kBaseBlockSize;
  uint64_t wholeEnd = kBaseBlockSize;
  uint64_t lastBin = 0;
  // A hive is whole pages.  A bin of another size after which the chain
  // breaks off inside a page takes the rest of that page as a free cell
  // (bytes past the file are the image's zeroed reserve).  Returns the end.
  auto fillPage = [&](uint64_t end) {
    uint64_t pageEnd = kBaseBlockSize + (end - kBaseBlockSize + kPageSize - 1) / kPageSize * kPageSize;
    if (pageEnd == end || lastBin == 0 || pageEnd > image.Size()) return end;
    BinHeader last(image, lastBin);
    Report<FindingKind::kSalvageBinSize>(ctx, static_cast<uint32_t>(lastBin), static_cast<uint32_t>(lastBin),
                                         static_cast<int>(last.Size()));
    last.SetSize(last.Size() + static_cast<uint32_t>(pageEnd - end));
    CellView(image, end).SetSize(static_cast<int32_t>(pageEnd - end));
    totals.Count(RepairCounter::HbinBrokenClean);
    return pageEnd;
  };
  while (pos < fileEnd) {
    uint32_t size = 0;
    if (HeaderAt(image, pos, fileEnd, size)) {
      lastBin = pos;
      if (uint64_t broken = MendCells(image, pos, size, ctx.SalvagedFree)) {
        Report<FindingKind::kSalvageCellsBroken>(ctx, static_cast<uint32_t>(broken), static_cast<uint32_t>(broken));
        totals.Count(RepairCounter::HbinCellsClean);
      }
      pos += size;
      wholeEnd = pos;
      continue;
    }
    // Past the declared size only whole bins that follow on are the hive's.
    if (pos >= declaredEnd) break;
    uint64_t next = NextBin(image, pos, fileEnd);
    if (next == 0) break;
    // The bin before ends at pos: a next bin is always on a page.
    pos = fillPage(pos);
    wholeEnd = pos;
    if (pos == next) continue;
    Report<FindingKind::kSalvageBinsBroken>(ctx, static_cast<uint32_t>(pos), static_cast<uint32_t>(pos),
                                            static_cast<int>(next - pos));
    // Empty pages keep the offsets of every later cell; the allocator can
    // serve them again.
    uint32_t step = (next - pos) % kPageSize == 0 ? kPageSize : static_cast<uint32_t>(next - pos);
    for (uint64_t at = pos; at < next; at += step) {
      InitHbin(ctx, static_cast<uint32_t>(at), step);
      totals.Count(RepairCounter::HbinBrokenClean);
    }
    pos = next;
  }
  wholeEnd = fillPage(wholeEnd);
  uint32_t wholeSize = static_cast<uint32_t>(wholeEnd - kBaseBlockSize);
  if (wholeSize != image.HbinsDataSize()) {
    // Whole bins past the declared end are slack that Windows ignores, not
    // damage; fewer whole bins than declared means the end of the hive is lost.
    FindingKind kind =
        wholeSize > image.HbinsDataSize() ? FindingKind::kSalvageHbinsGrown : FindingKind::kSalvageHbinsLength;
    ReportAs(ctx, kind, kNoOffset, static_cast<int>(wholeSize), static_cast<int>(image.HbinsDataSize()));
    BaseBlock(image).SetHbinsDataSize(wholeSize);
    totals.Count(RepairCounter::regfHbinsLengthClean);
  }
}

}  // namespace quelbrix
