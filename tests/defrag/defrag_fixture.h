// Helpers of the defrag tests: a built hive read and scanned by Repair (which
// leaves the walk's links and the bin bookkeeping but moves and frees
// nothing), ready for one pass called on its own; the bins and cell size
// words of the image; and the walk lines of a Search, the tree as the engine
// reads it, to compare before and after a pass.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/context.h"
#include "app/frontend.h"
#include "core/texts.h"
#include "core/report_log.h"
#include "hive/access_map.h"
#include "hive/base_block.h"
#include "hive/image.h"
#include "platform/text.h"
#include "support/hive_fixture.h"

namespace quelbrix::testing {

struct BinCells {
  uint32_t offset;  // CellOffset of the bin
  uint32_t size;
  std::vector<int32_t> cells;  // size words in order
};

// The bins from the first to the declared end; a broken chain ends the list.
inline std::vector<BinCells> BinsOf(const HiveContext& ctx) {
  std::vector<BinCells> bins;
  HiveImage image(ctx.Image, ctx.ImageSize);
  uint64_t end = image.HbinsEnd();
  for (uint64_t bin = kBaseBlockSize; bin < end;) {
    uint32_t size = image.U32(bin + 8);
    if (size < kBinHeaderSize || bin + size > end) break;
    BinCells b{static_cast<uint32_t>(bin - kBaseBlockSize), size, {}};
    for (uint64_t cell = bin + kBinHeaderSize; cell < bin + size;) {
      int32_t s = static_cast<int32_t>(image.U32(cell));
      b.cells.push_back(s);
      uint32_t m = s < 0 ? 0u - static_cast<uint32_t>(s) : static_cast<uint32_t>(s);
      if (m == 0) break;
      cell += m;
    }
    bins.push_back(b);
    bin += size;
  }
  return bins;
}

inline std::vector<uint32_t> BinSizes(const HiveContext& ctx) {
  std::vector<uint32_t> sizes;
  for (const BinCells& b : BinsOf(ctx)) sizes.push_back(b.size);
  return sizes;
}

// Pane lines of one colour since the last ClearPane, UTF-8.
inline std::vector<std::string> PaneLinesIn(const RecordingFrontend& ui, uint32_t colour) {
  std::vector<std::string> out;
  for (const PaneLine& l : ui.Pane())
    if (l.colour == colour) out.push_back(platform::AnsiToUtf8(l.text));
  return out;
}

// Red lines of a scan, leaving out the structure statistics (which are red
// for free space that only the whole Defrag removes).
inline std::vector<std::string> ScanErrors(const RecordingFrontend& ui) {
  std::vector<std::string> out;
  bool statistics = false;
  for (const PaneLine& l : ui.Pane()) {
    std::string text = platform::AnsiToUtf8(l.text);
    if (l.colour == kGreen) statistics = text.rfind("[HbinsCellsStruct Status]", 0) == 0;
    if (l.colour == kRed && !statistics) out.push_back(text);
  }
  return out;
}

// Key paths, descriptors and values as a Search without dates prints them.
inline std::vector<std::string> WalkLines(const RecordingFrontend& ui) {
  std::vector<std::string> out;
  bool in = false;
  for (const std::string& l : ui.PaneUtf8()) {
    if (l.rfind("[SubkeyScan Start]", 0) == 0) {
      in = true;
    } else if (l.rfind("[SubkeyScan Result]", 0) == 0) {
      break;
    } else if (in) {
      out.push_back(l);
    }
  }
  return out;
}

// A built hive after Read and Repair: the image and AccessMap as a defrag
// pass finds them, with the command set to Defrag.
class ScannedHive {
 public:
  explicit ScannedHive(const std::vector<uint8_t>& hive) {
    loaded = run.Load(hive);
    run.Run(kCmdSearchNoDates);
    treeBefore = WalkLines(run.ui);
    errorsBefore = ScanErrors(run.ui);
    run.Run(kCmdRepair);
    run.ctx.CommandId = kCmdDefrag;
    run.ctx.Rules = MakePassRules(run.ctx.CommandId, run.ctx.DiagnosticMode != 0);
    run.ctx.CaptionAnsi = CommandCaption(run.ctx, kCmdDefrag);
    run.ctx.CaptionShown = ShownCaption(kCmdDefrag);
    run.ui.Clear();
  }
  HiveContext& Ctx() { return run.ctx; }
  ScanTotals Totals() { return ScanTotals(run.ctx); }
  uint32_t Pos(uint32_t cellOffset) const { return kBaseBlockSize + cellOffset; }
  std::vector<std::string> Pane() const { return run.ui.PaneUtf8(); }
  std::vector<std::string> Red() const { return PaneLinesIn(run.ui, kRed); }

  // Closes the pass as the Defrag command would (FileSize and checksum),
  // then searches the image again: the tree must read as before, without a
  // scan error.
  void ExpectSameTree() {
    ClosingFixup(run.ctx);
    run.Run(kCmdSearchNoDates);
    EXPECT_EQ(WalkLines(run.ui), treeBefore);
    EXPECT_EQ(ScanErrors(run.ui), errorsBefore);
  }

  HiveRun run;
  bool loaded = false;
  std::vector<std::string> treeBefore;
  std::vector<std::string> errorsBefore;
};

}  // namespace quelbrix::testing
