// Steps the three defrag passes share: their heading and progress text, the
// checked walk from one bin or cell to the next, and SplitHbins, which cuts
// the free end of a multi-page bin into empty 4096-byte bins.  They work on
// the image and AccessMap of the running Defrag and keep the allocator's
// bookkeeping (HbinCount, PrevBinSize, LastHbinOffset, FreeTail) in step.
#pragma once

#include <cstdint>
#include <string>

#include "core/pass_state.h"
#include "hive/access_map.h"
#include "hive/bins.h"
#include "hive/cells.h"

namespace quelbrix {

// The longest cell that a single 4096-byte bin can hold.
constexpr uint32_t kDefragPageCell = kPageSize - kBinHeaderSize;

// Everything a pass reads and writes, made once per pass.
struct DefragView {
  explicit DefragView(PassState& c) : ctx(c), image(c), map(c), totals(map) {}

  bool OldFormat() const { return IsOldFormat(ctx.HiveMajorVersion, ctx.HiveMinorVersion); }
  bool Diagnostic() const { return ctx.DiagnosticMode != 0; }
  // The end of the bins as the base block states it now (the passes grow and
  // shrink it).
  uint64_t BinsEnd() const { return image.HbinsEnd(); }
  uint32_t BinSize(uint32_t bin) const { return BinHeader(image, bin).Size(); }
  // A bin that the passes may work on: an "hbin" header naming its own
  // position, a size that holds a header and a cell, ending inside the bins.
  bool SoundBin(uint32_t bin) const {
    return BinCursor(image, BinsEnd(), bin).Check() == WalkStop::kNone && BinSize(bin) >= kBinHeaderSize + 8;
  }
  int32_t SizeWord(uint32_t cell) const { return static_cast<int32_t>(image.U32(cell)); }
  uint32_t CellLength(uint32_t cell) const { return CellView(image, cell).Length(); }
  // The length of the cell at `cell` when it lies whole inside [.., binEnd)
  // with a size that is a non-zero multiple of 8; 0 when the chain is broken
  // there.  Every cell walk of the passes steps only by such lengths.
  // Inline: every pass calls it once per cell of the hive.
  uint32_t StepLength(uint32_t cell, uint64_t binEnd) const {
    CellCursor c(image, cell, binEnd);
    return c.Check() == WalkStop::kNone ? c.Length() : 0;
  }
  void SetBinSize(uint32_t bin, uint32_t size) const;
  BinShadow Shadow(uint32_t bin) const { return BinShadow(map, bin); }

  PassState& ctx;
  HiveImage image;
  AccessMap map;
  ScanTotals totals;
};

// Where an allocated cell with no free space before it sits for its length:
// a short cell at the start of a multi-page bin, a long cell of a length that
// is no page multiple (a full big-data segment of a new-format hive aside), a
// long cell that is not first in its bin, or the first cell of a bin that is
// not exactly one page longer than the cell all sit badly and are moved.
enum class CellPlacement { kFine, kShortFirstInLongBin, kLongNotPageMultiple, kLongNotFirst, kLongBinSizeWrong };
CellPlacement PlacementOf(const DefragView& v, uint32_t bin, uint32_t binSize, uint32_t cell);

// The caption of the running command's button, for the status lines: in
// the code page, and as people see it in the run's language.
struct DefragCaption {
  std::string Ansi;
  std::string Shown;
};
// Writes "[name] <local time>" in green and returns the caption.
DefragCaption DefragHeading(PassState& ctx, const char* name);

// Shows a pass's progress as status part 0, the text
// "CAPTION PASS HbinCount=INDEX (START) / BINS (+EXPANDED)"; the caption is
// what people see in the run's language.  `Done` of `Total` (bytes of the
// bins) is the pass's share of work done; total 0: none.  A pass shows one
// per bin, so the text is put together without printf, and not at all
// without a front end.
struct DefragProgress {
  int32_t Index = 0;
  int32_t Start = 0;
  int32_t Bins = 0;
  int32_t Expanded = 0;
  uint64_t Done = 0;
  uint64_t Total = 0;
};
void DefragStatus(PassState& ctx, const DefragCaption& caption, const char* pass, const DefragProgress& p);

// When `hole` (a free cell of `bin`) reaches the bin end and at least 4096
// bytes lie between them, cuts those bytes, rounded down to whole pages,
// off the bin as empty 4096-byte bins; the hole shrinks or disappears and
// the bin's FreeTail follows it.  `index` is the bin number of the status
// line.  True when the bin was cut (a move of the pass).
bool SplitHbins(const DefragView& v, uint32_t bin, uint32_t hole, int32_t index);

}  // namespace quelbrix
