#include "defrag/bin_steps.h"

#include <algorithm>
#include <cstring>

#include "hive/cells.h"

#include "core/report_log.h"
#include "core/texts.h"
#include "repair/allocator.h"

namespace quelbrix {
void DefragView::SetBinSize(uint32_t bin, uint32_t size) const {
  BinHeader h(image, bin);
  h.SetSize(size);
  if (OldFormat()) h.SetSpare(size);
}

CellPlacement PlacementOf(const DefragView& v, uint32_t bin, uint32_t binSize, uint32_t cell) {
  uint32_t m = v.CellLength(cell);
  bool first = cell == bin + kBinHeaderSize;
  if (m <= kDefragPageCell) return first && binSize > kPageSize ? CellPlacement::kShortFirstInLongBin : CellPlacement::kFine;
  if (m % kPageSize != 0) {
    if (!v.OldFormat() && m == kSegmentCellSize) return CellPlacement::kFine;
    return CellPlacement::kLongNotPageMultiple;
  }
  if (!first) return CellPlacement::kLongNotFirst;
  return uint64_t{m} + kPageSize == binSize ? CellPlacement::kFine : CellPlacement::kLongBinSizeWrong;
}

DefragCaption DefragHeading(PassState& ctx, const char* name) {
  LogLineF(ctx, kGreen, "[%s] %s", name, NowText().c_str());
  return {ctx.CaptionAnsi, ctx.CaptionShown};
}

void DefragStatus(PassState& ctx, const DefragCaption& caption, const char* pass, const DefragProgress& p) {
  const std::string& ansi = caption.Ansi;
  PassOutput* out = ctx.StatusOut();
  if (out == nullptr) return;
  char text[kLineBuffer + 64];
  size_t length = 0;
  size_t passBytes = std::strlen(pass);
  // Room for the caption, the pass and four numbers of at most 11 characters.
  if (ansi.size() + passBytes + 100 > sizeof text) {
    length = static_cast<size_t>(FormatText(text, sizeof text, "%s %s HbinCount=%d (%d) / %d (%+d)", ansi.c_str(), pass,
                                            p.Index, p.Start, p.Bins, p.Expanded));
  } else {
    char* at = std::copy(ansi.begin(), ansi.end(), text);
    *at++ = ' ';
    at = std::copy(pass, pass + passBytes, at);
    static constexpr char kCount[] = " HbinCount=";
    at = std::copy(kCount, kCount + sizeof kCount - 1, at);
    at = PutDecimal(at, p.Index);
    *at++ = ' ';
    *at++ = '(';
    at = PutDecimal(at, p.Start);
    static constexpr char kOf[] = ") / ";
    at = std::copy(kOf, kOf + sizeof kOf - 1, at);
    at = PutDecimal(at, p.Bins);
    *at++ = ' ';
    *at++ = '(';
    if (p.Expanded >= 0) *at++ = '+';
    at = PutDecimal(at, p.Expanded);
    *at++ = ')';
    *at = '\0';
    length = static_cast<size_t>(at - text);
  }
  out->Progress(p.Done, p.Total);
  out->Status(0, std::string_view(text, length), caption.Shown, text + std::min(ansi.size(), length));
}

bool SplitHbins(const DefragView& v, uint32_t bin, uint32_t hole, int32_t index) {
  if (hole == 0) return false;
  uint32_t size = v.BinSize(bin);
  uint64_t binEnd = uint64_t{bin} + size;
  if (hole < uint64_t{bin} + kBinHeaderSize || hole >= binEnd) return false;
  uint32_t span = static_cast<uint32_t>(binEnd - hole);
  if (span < kPageSize) return false;
  // Only free space is cut away: a stale hole that has allocated cells
  // behind it leaves the bin as it is.
  for (uint64_t c = hole; c < binEnd;) {
    uint32_t m = v.StepLength(static_cast<uint32_t>(c), binEnd);
    if (m == 0 || v.SizeWord(static_cast<uint32_t>(c)) <= 0) return false;
    c += m;
  }
  uint32_t cut = span / kPageSize * kPageSize;
  // A bin of a size that is no page multiple must keep a cell behind its header.
  if (cut == span && hole == bin + kBinHeaderSize) cut -= kPageSize;
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
  for (uint64_t piece = uint64_t{bin} + newSize; piece < binEnd; piece += kPageSize) {
    v.totals.Add(Total::HbinCount);
    v.Shadow(static_cast<uint32_t>(piece)).SetPrevBinSize(prevSize);
    InitHbin(v.ctx, static_cast<uint32_t>(piece), kPageSize);
    prevSize = kPageSize;
  }
  return true;
}

}  // namespace quelbrix
