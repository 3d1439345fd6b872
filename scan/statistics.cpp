#include "scan/statistics.h"

#include <cstdint>

#include "core/report_log.h"
#include "hive/report_finding.h"
#include "hive/access_map.h"
#include "hive/cells.h"
#include "hive/bins.h"

namespace quelbrix {
namespace {

// The largest cell that still leaves room for a bin header in one page.
constexpr uint32_t kPageCell = kPageSize - kBinHeaderSize;

// Largest and smallest size with how often each was met.
struct Extremes {
  uint32_t Max = 0;
  uint32_t MaxCount = 0;
  uint32_t Min = 0x7FFFFFFF;
  uint32_t MinCount = 0;

  void Add(uint32_t size) {
    if (size > Max) {
      Max = size;
      MaxCount = 1;
    } else if (size == Max) {
      ++MaxCount;
    }
    if (size < Min) {
      Min = size;
      MinCount = 1;
    } else if (size == Min) {
      ++MinCount;
    }
  }
};

struct CellTally {
  uint32_t Count = 0;
  uint64_t Bytes = 0;
  Extremes Sizes;

  void Add(uint32_t size) {
    ++Count;
    Bytes += size;
    Sizes.Add(size);
  }
};

struct Statistics {
  uint32_t Bins = 0;
  Extremes BinSizes;
  uint32_t AllCount = 0;
  uint64_t AllBytes = 0;
  CellTally Alloc;
  CellTally Free;
  uint32_t Continued = 0;
  uint32_t Unpacked = 0;
  uint32_t FreeBins = 0;
  uint32_t AllocKeyCells = 0;
};

int AsInt(uint64_t v) { return static_cast<int>(static_cast<uint32_t>(v)); }

double Rate(uint64_t part, uint64_t whole) {
  // An image without cells has no free share.
  return whole == 0 ? 0.0 : static_cast<double>(part * 100) / static_cast<double>(whole);
}

class StatisticsWalk {
 public:
  StatisticsWalk(PassState& ctx, bool defragView)
      : ctx_(ctx),
        image_(ctx),
        defragView_(defragView),
        listLayout_(ctx.Rules.DefragDetail),
        oldFormat_(IsOldFormat(ctx.HiveMajorVersion, ctx.HiveMinorVersion)) {}

  void Run();
  const Statistics& Result() const { return s_; }

 private:
  void WalkBin(uint64_t bin, uint32_t binSize, uint32_t j);
  void PlaceAllocated(uint64_t cell, uint32_t j, uint32_t binSize, uint32_t k, int32_t size, uint32_t m,
                      bool afterFreeRun);
  void CellLine(FindingKind kind, uint64_t cell, uint32_t j, uint32_t binSize, uint32_t k, int32_t size) const;
  bool NotMultipleOfPage(uint32_t m) const {
    // A big-data segment of 16352 bytes is the one long cell of the new format
    // that need not fill whole pages.
    return m > kPageCell && m % kPageSize != 0 && (oldFormat_ || m != kSegmentCellSize);
  }

  PassState& ctx_;
  HiveImage image_;
  bool defragView_;
  bool listLayout_;
  bool oldFormat_;
  Statistics s_;
};

void StatisticsWalk::CellLine(FindingKind kind, uint64_t cell, uint32_t j, uint32_t binSize, uint32_t k,
                              int32_t size) const {
  ReportAs(ctx_, kind, static_cast<uint32_t>(cell), AsInt(j), AsInt(binSize), AsInt(k), size);
}

void StatisticsWalk::PlaceAllocated(uint64_t cell, uint32_t j, uint32_t binSize, uint32_t k, int32_t size, uint32_t m,
                                    bool afterFreeRun) {
  if (afterFreeRun) {
    ++s_.Unpacked;
    if (defragView_ && NotMultipleOfPage(m)) {
      CellLine(FindingKind::kStatNotPageMultiple, cell, j, binSize, k, size);
    }
  } else if (m > kPageCell && m % kPageSize != 0) {
    if (defragView_ && NotMultipleOfPage(m)) {
      CellLine(FindingKind::kStatNotPageMultiple, cell, j, binSize, k, size);
    }
  } else if (m > kPageCell) {
    if (!defragView_) return;
    if (k == 1) {
      if (uint64_t{m} + kPageSize != binSize) {
        CellLine(FindingKind::kStatBinSize, cell, j, binSize, k, size);
      }
    } else {
      CellLine(FindingKind::kStatNotFirst, cell, j, binSize, k, size);
    }
  } else if (defragView_ && k == 1 && binSize > kPageSize) {
    CellLine(FindingKind::kStatShortInLong, cell, j, binSize, k, size);
  }
}

void StatisticsWalk::WalkBin(uint64_t bin, uint32_t binSize, uint32_t j) {
  const uint64_t binEnd = bin + binSize;
  bool inFreeRun = false;
  uint32_t freeRunFirst = 0;
  uint32_t k = 0;
  for (CellCursor cells = CellCursor::OfBin(image_, bin, binEnd); !cells.AtEnd();) {
    ++k;
    const uint64_t cell = cells.Pos();
    CellView view(image_, cell);
    if (cell + 4 > binEnd || !view.Valid()) {
      Report<FindingKind::kStatCellsOverFlow>(ctx_, static_cast<uint32_t>(cell));
      break;
    }
    const int32_t size = view.Size();
    const uint32_t m = view.Length();
    // A size word of 0 would hold the walk on this cell for ever.
    if (size == 0) {
      CellLine(FindingKind::kStatCellsZero, cell, j, binSize, k, size);
      break;
    }
    if (listLayout_ && m > kPageCell) {
      LogLineF(ctx_, kBlack, "LongCells HbinCount=%d HbinsSize=%d CellCount=%d CellSize=%d", AsInt(j), AsInt(binSize), AsInt(k),
               size);
    }
    ++s_.AllCount;
    s_.AllBytes += m;
    if (size < 0) {
      s_.Alloc.Add(m);
      if (view.Signature() == kSigNk) ++s_.AllocKeyCells;
      PlaceAllocated(cell, j, binSize, k, size, m, inFreeRun);
      inFreeRun = false;
    } else {
      s_.Free.Add(m);
      if (inFreeRun) {
        ++s_.Continued;
      } else {
        inFreeRun = true;
        freeRunFirst = m;
      }
    }
    if (cells.Next() == WalkStop::kBadSize) {
      Report<FindingKind::kStatCellsOverFlow>(ctx_, static_cast<uint32_t>(cell));
      break;
    }
  }
  if (inFreeRun && freeRunFirst >= kPageCell) {
    ++s_.FreeBins;
    if (listLayout_) LogLineF(ctx_, kBlack, "UnallocHbins HbinCount=%d HbinsSize=%d", AsInt(j), AsInt(binSize));
  }
}

void StatisticsWalk::Run() {
  BinCursor bins(image_, uint64_t{kBaseBlockSize} + image_.HbinsDataSize());
  for (uint32_t j = 1;; ++j) {
    // A bin must lie inside the image, and a size below its own header would
    // never move the walk on.
    const BinHeader h = bins.Header();
    const uint64_t bin = bins.Pos();
    if (!h.Whole()) {
      Report<FindingKind::kStatHbinsOverFlow>(ctx_, static_cast<uint32_t>(bin));
      break;
    }
    const uint32_t binSize = h.Size();
    if (binSize < kBinHeaderSize) {
      Report<FindingKind::kStatHbinsSize>(ctx_, static_cast<uint32_t>(bin), AsInt(j), AsInt(binSize));
      break;
    }
    if (!image_.Contains(bin, binSize)) {
      Report<FindingKind::kStatHbinsOverFlow>(ctx_, static_cast<uint32_t>(bin));
      break;
    }
    ++s_.Bins;
    s_.BinSizes.Add(binSize);
    WalkBin(bin, binSize, j);
    const WalkStop step = bins.Next();
    if (step == WalkStop::kEnd) break;
    if (step == WalkStop::kBadSize) {
      Report<FindingKind::kStatHbinsOverFlow>(ctx_, static_cast<uint32_t>(bin));
      break;
    }
  }
}

}  // namespace

uint32_t StructureStatistics(PassState& ctx, bool defragView) {
  char now[64];
  FormatNow(now, kDateTimeFormat, sizeof now);
  LogLineF(ctx, kGreen, "[HbinsCellsStruct Status] %s", now);
  // Its findings measure layout and fragmentation; they state no fault.

  StatisticsWalk walk(ctx, defragView);
  walk.Run();
  const Statistics& s = walk.Result();

  const HiveImage image(ctx);
  const uint32_t fileSize = static_cast<uint32_t>(ctx.FileSize);
  const uint32_t hbinsLength = image.HbinsDataSize();
  const uint32_t lastHbin = ScanTotals(ctx).Get(Total::LastHbinOffset);
  LogLineF(ctx, kBlack, "FileSize(Byte)=%d 0x%08x", AsInt(fileSize), fileSize);
  LogLineF(ctx, kBlack, "HbinsLength(Byte)=%d 0x%08x", AsInt(hbinsLength), hbinsLength);
  LogLineF(ctx, kBlack, "HbinsLength2(Byte)=%d 0x%08x", AsInt(lastHbin), lastHbin);
  LogLineF(ctx, kBlack, "HbinsBlockCount=%d", AsInt(s.Bins));
  LogLineF(ctx, kBlack, "HbinsMaxSizeCount=%d", AsInt(s.BinSizes.MaxCount));
  LogLineF(ctx, kBlack, "HbinsMaxSize(Byte)=%d 0x%08x", AsInt(s.BinSizes.Max), s.BinSizes.Max);
  LogLineF(ctx, kBlack, "HbinsMinSizeCount=%d", AsInt(s.BinSizes.MinCount));
  LogLineF(ctx, kBlack, "HbinsMinSize(Byte)=%d 0x%08x", AsInt(s.BinSizes.Min), s.BinSizes.Min);
  LogLineF(ctx, kBlack, "AllCellsCount=%d", AsInt(s.AllCount));
  LogLineF(ctx, kBlack, "AllCells(Byte)=%d", AsInt(s.AllBytes));
  LogLineF(ctx, kBlack, "AllocCellsCount=%d", AsInt(s.Alloc.Count));
  LogLineF(ctx, kBlack, "AllocCells(Byte)=%d", AsInt(s.Alloc.Bytes));
  LogLineF(ctx, kBlack, "AllocCellsMaxCount=%d", AsInt(s.Alloc.Sizes.MaxCount));
  LogLineF(ctx, kBlack, "AllocCellsMaxSize(Byte)=%d", AsInt(s.Alloc.Sizes.Max));
  LogLineF(ctx, kBlack, "AllocCellsMinCount=%d", AsInt(s.Alloc.Sizes.MinCount));
  LogLineF(ctx, kBlack, "AllocCellsMinSize(Byte)=%d", AsInt(s.Alloc.Sizes.Min));
  LogLineF(ctx, kBlack, "UnallocCellsCount=%d", AsInt(s.Free.Count));
  LogLineF(ctx, kBlack, "UnallocCells(Byte)=%d", AsInt(s.Free.Bytes));
  LogLineF(ctx, kBlack, "UnallocCellsMaxCount=%d", AsInt(s.Free.Sizes.MaxCount));
  // A free cell of a page or more is space that a bin could give back.
  ReportIf<FindingKind::kStatFreeMax>(s.Free.Sizes.Max >= kPageCell, ctx, kNoOffset, AsInt(s.Free.Sizes.Max));
  LogLineF(ctx, kBlack, "UnallocCellsMinCount=%d", AsInt(s.Free.Sizes.MinCount));
  LogLineF(ctx, kBlack, "UnallocCellsMinSize(Byte)=%d", AsInt(s.Free.Sizes.Min));
  LogLineF(ctx, kBlack, "UnallocCellsRate=%3.1f%%", Rate(s.Free.Count, s.AllCount));
  LogLineF(ctx, kBlack, "UnallocCellsRate(Byte)=%3.1f%%", Rate(s.Free.Bytes, s.AllBytes));
  ReportIf<FindingKind::kStatContinued>(s.Continued != 0, ctx, kNoOffset, AsInt(s.Continued));
  ReportIf<FindingKind::kStatUnpacked>(s.Unpacked != 0, ctx, kNoOffset, AsInt(s.Unpacked));
  ReportIf<FindingKind::kStatFreeBins>(s.FreeBins != 0, ctx, kNoOffset, AsInt(s.FreeBins));
  return s.AllocKeyCells;
}

}  // namespace quelbrix
