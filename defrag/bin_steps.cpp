#include "defrag/bin_steps.h"

#include "hive/cells.h"

#include "core/frontend.h"
#include "core/report_log.h"
#include "core/run_command.h"
#include "core/texts.h"
#include "repair/allocator.h"

namespace quelbrix {
namespace {

constexpr uint32_t kHbinSignature = 0x6E696268;  // "hbin"
constexpr uint32_t kBinSpareField = 0x1C;

}  // namespace

bool DefragView::SoundBin(uint32_t bin) const {
  if (bin < kBaseBlockSize || image.U32(bin) != kHbinSignature || image.U32(uint64_t{bin} + 4) != bin - kBaseBlockSize)
    return false;
  uint32_t size = BinSize(bin);
  return size >= kBinHeaderSize + 8 && uint64_t{bin} + size <= BinsEnd();
}

uint32_t DefragView::CellLength(uint32_t cell) const {
  int32_t s = SizeWord(cell);
  return s < 0 ? 0u - static_cast<uint32_t>(s) : static_cast<uint32_t>(s);
}

uint32_t DefragView::StepLength(uint32_t cell, uint64_t binEnd) const {
  if (!image.Contains(cell, 4)) return 0;
  uint32_t m = CellLength(cell);
  if (m == 0 || m % 8 != 0 || uint64_t{cell} + m > binEnd) return 0;
  return m;
}

void DefragView::SetBinSize(uint32_t bin, uint32_t size) const {
  image.SetU32(uint64_t{bin} + 8, size);
  if (OldFormat()) image.SetU32(uint64_t{bin} + kBinSpareField, size);
}

CellPlacement PlacementOf(const DefragView& v, uint32_t bin, uint32_t binSize, uint32_t cell) {
  uint32_t m = v.CellLength(cell);
  bool first = cell == bin + kBinHeaderSize;
  if (m <= kDefragPageCell) return first && binSize > kDefragPage ? CellPlacement::kShortFirstInLongBin : CellPlacement::kFine;
  if (m % kDefragPage != 0) {
    if (!v.OldFormat() && m == kSegmentCellSize) return CellPlacement::kFine;
    return CellPlacement::kLongNotPageMultiple;
  }
  if (!first) return CellPlacement::kLongNotFirst;
  return uint64_t{m} + kDefragPage == binSize ? CellPlacement::kFine : CellPlacement::kLongBinSizeWrong;
}

std::string DefragHeading(HiveContext& ctx, const char* name) {
  LogLineF(ctx, kGreen, "[%s] %s", name, NowText().c_str());
  return CommandCaption(ctx, ctx.CommandId);
}

void DefragStatus(HiveContext& ctx, const char* text, size_t captionBytes) {
  if (ctx.UI != nullptr) ctx.UI->ShowStatus(0, text, ShownCaption(ctx.CommandId), text + captionBytes);
}

bool SplitHbins(const DefragView& v, uint32_t bin, uint32_t hole, int32_t index) {
  if (hole == 0) return false;
  uint32_t size = v.BinSize(bin);
  uint64_t binEnd = uint64_t{bin} + size;
  if (hole < uint64_t{bin} + kBinHeaderSize || hole >= binEnd) return false;
  uint32_t span = static_cast<uint32_t>(binEnd - hole);
  if (span < kDefragPage) return false;
  // Only free space is cut away: a stale hole that has allocated cells
  // behind it leaves the bin as it is.
  for (uint64_t c = hole; c < binEnd;) {
    uint32_t m = v.StepLength(static_cast<uint32_t>(c), binEnd);
    if (m == 0 || v.SizeWord(static_cast<uint32_t>(c)) <= 0) return false;
    c += m;
  }
  uint32_t cut = span / kDefragPage * kDefragPage;
  // A bin of a size that is no page multiple must keep a cell behind its header.
  if (cut == span && hole == bin + kBinHeaderSize) cut -= kDefragPage;
  if (cut == 0) return false;

  if (v.Diagnostic()) LogLineF(v.ctx, kBlack, "SplitHbins HbinCount=%d HbinsSize=%d", index, static_cast<int>(size));
  uint32_t newSize = size - cut;
  v.SetBinSize(bin, newSize);
  if (span == cut) {
    v.Shadow(bin).SetFreeTail(0);
  } else {
    v.image.SetU32(hole, span - cut);
    v.Shadow(bin).SetFreeTail(hole);
  }
  // The cut-off pages become bins of one page each; InitHbin links each to
  // the bin behind it (or makes it the last bin).
  uint32_t prevSize = newSize;
  for (uint64_t piece = uint64_t{bin} + newSize; piece < binEnd; piece += kDefragPage) {
    v.totals.Add(Total::HbinCount);
    v.Shadow(static_cast<uint32_t>(piece)).SetPrevBinSize(prevSize);
    InitHbin(v.ctx, static_cast<uint32_t>(piece), kDefragPage);
    prevSize = kDefragPage;
  }
  return true;
}

}  // namespace quelbrix
