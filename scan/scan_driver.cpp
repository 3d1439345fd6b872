// ScanHive: the fixed order of phases of the scan commands.
#include <algorithm>
#include <cstring>
#include <vector>

#include "core/commands.h"
#include "core/report_log.h"
#include "hive/report_finding.h"
#include "core/texts.h"
#include "defrag/defrag.h"
#include "hive/access_map.h"
#include "hive/base_block.h"
#include "hive/bins.h"
#include "hive/cells.h"
#include "hive/check_cell.h"
#include "repair/allocator.h"
#include "repair/counters.h"
#include "repair/free_index.h"
#include "repair/relocate.h"
#include "repair/sound_hive.h"
#include "scan/key_walk.h"
#include "scan/scan_hive.h"
#include "scan/security.h"
#include "scan/statistics.h"

namespace quelbrix {
namespace {

bool RepairOrDefrag(const PassState& ctx) { return ctx.Rules.Repair; }
bool DiagnosticRepair(const PassState& ctx) { return ctx.Rules.ExtendedRepair; }

void Heading(PassState& ctx, const char* name) { LogLineF(ctx, kGreen, "[%s] %s", name, NowText().c_str()); }

// Clears the spare fields of a bin header (Repair in diagnostic mode); the
// first bin keeps its time stamp.
void CleanBinSpares(const BinHeader& h, bool first, ScanTotals& totals) {
  if (h.Spare1() == 0 && h.Spare2() == 0 && (first || h.TimeStamp() == 0)) return;
  h.SetSpare1(0);
  h.SetSpare2(0);
  if (!first) h.SetTimeStamp(0);
  totals.Count(RepairCounter::HbinUnknownClean);
}

// The cells of one bin in phase 2.  False when the scan must stop.
bool BinCellsWalk(PassState& ctx, const BinHeader& h, int j, BinShadow& shadow) {
  HiveImage image(ctx);
  AccessMap map(ctx);
  const uint32_t binSize = h.Size();
  CellCursor cells = CellCursor::OfBin(image, h.Pos(), h.Pos() + binSize);
  for (int k = 1; !cells.AtEnd(); ++k) {  // a bin of header only, or size below 32: nothing to walk
    const uint64_t cell = cells.Pos();
    const int32_t size = cells.SizeWord();
    if (CheckCellBounds(ctx, cell) != kCellOk) {
      const uint32_t at = static_cast<uint32_t>(cell);
      Report<FindingKind::kHbinsCellsAssert>(ctx, at);
      Report<FindingKind::kHbinsCellsFirstAssert>(ctx, at, j, static_cast<int>(binSize), k, size);
      return false;
    }
    if (size == 0) {
      Report<FindingKind::kHbinsCellsZero>(ctx, static_cast<uint32_t>(cell), j, static_cast<int>(binSize), k, size);
      return false;
    }
    if (cells.Length() % 8 != 0) {
      Report<FindingKind::kHbinsCellsNotMultiple8>(ctx, static_cast<uint32_t>(cell), j, static_cast<int>(binSize), k,
                                                   size);
      return false;
    }
    if (size > 0) {
      if (shadow.FreeTail() == 0) shadow.SetFreeTail(static_cast<uint32_t>(cell));
    } else {
      shadow.SetFreeTail(0);
      map.Place(cell);
    }
    if (cells.Next() == WalkStop::kBadSize) {
      Report<FindingKind::kHbinsCellsOverFlow>(ctx, static_cast<uint32_t>(cell));
      return false;
    }
  }
  return true;
}

// Phase 2.  False when the scan must stop.
bool BinWalk(PassState& ctx) {
  HiveImage image(ctx);
  AccessMap map(ctx);
  ScanTotals totals(map);
  Heading(ctx, "HbinsCellsStruct Test");
  if (MakesHiveSound(ctx)) SalvageBins(ctx);
  totals.Set(Total::LastHbinOffset, 0);
  const uint32_t hbinsSize = image.HbinsDataSize();
  uint32_t prevSize = 0;
  const bool oldFormat = IsOldFormat(ctx.HiveMajorVersion, ctx.HiveMinorVersion);
  BinCursor bins(image, uint64_t{kBaseBlockSize} + hbinsSize);
  // Ends: each bin moves the walk on by its size, at least a header (a
  // smaller one stops it), and each cell by a checked non-zero length.
  for (int j = 1; !bins.AtEnd(); ++j) {
    totals.Add(Total::HbinCount);
    const BinHeader h = bins.Header();
    const uint32_t binSize = h.Size();
    if (j == 1) {
      char time[64];
      LogLineF(ctx, kBlack, "HbinTimeStamp=%s", FormatFileTime(time, sizeof time, h.TimeStamp()));
    }
    if (DiagnosticRepair(ctx)) CleanBinSpares(h, j == 1, totals);
    const WalkStop stop = bins.Check();
    if (stop == WalkStop::kBadSignature) {
      const uint32_t at = static_cast<uint32_t>(h.Pos());
      Report<FindingKind::kHbinsSignature>(ctx, at);
      Report<FindingKind::kHbinsFirstAssert>(ctx, at, j, static_cast<int>(binSize));
      return false;
    }
    if (stop == WalkStop::kBadOffset) {
      Report<FindingKind::kHbinsChain>(ctx, static_cast<uint32_t>(h.Pos()));
      return false;
    }
    if (oldFormat && h.Spare() != binSize && DiagnosticRepair(ctx)) {
      h.SetSpare(binSize);
      totals.Count(RepairCounter::HbinOffsetClean);
    }
    BinShadow shadow(map, static_cast<uint32_t>(h.Pos()));
    shadow.SetFreeTail(0);
    if (!BinCellsWalk(ctx, h, j, shadow)) return false;
    shadow.SetPrevBinSize(prevSize);
    prevSize = binSize;
    totals.Set(Total::LastHbinOffset, hbinsSize - binSize);
    // A bin size below a header cannot advance the walk: treat it like a
    // bin that runs past the end.
    if (bins.Next() == WalkStop::kBadSize) {
      Report<FindingKind::kHbinsOverFlow>(ctx, static_cast<uint32_t>(h.Pos()));
      break;
    }
  }
  return true;
}

// Phase 4.  False when the scan must stop.
bool RootKeyTest(PassState& ctx) {
  HiveImage image(ctx);
  BaseBlock bb(image);
  Heading(ctx, "Root nkCells Test");
  uint32_t root = bb.RootCellOffset();
  // A root key elsewhere reads as well (the checks below say when it does
  // not); Repair and Defrag may leave it there.  Not damage.
  ReportIf<FindingKind::kRootOffset>(root != 0x20, ctx, CellPos(root), root);
  if (CheckCellBounds(ctx, CellPos(root)) != kCellOk) {
    Report<FindingKind::kRootAssert>(ctx, CellPos(root));
    return false;
  }
  NkCell nk(image, CellPos(root));
  if (nk.Signature() != kSigNk) {
    Report<FindingKind::kRootSignature>(ctx, CellPos(root));
    return false;
  }
  if ((nk.Flags() & NkCell::kFlagRoot) == 0) Report<FindingKind::kRootFlag>(ctx, CellPos(root));
  char time[64];
  LogLineF(ctx, kBlack, "Root nkCells Time=%s", FormatFileTime(time, sizeof time, nk.TimeStamp()));
  LogLineF(ctx, kBlack, "Rootkey ParentOffset=0x%08x", nk.ParentOffset());
  return true;
}

// Phase 5.
void SkRing(PassState& ctx) {
  HiveImage image(ctx);
  BaseBlock bb(image);
  Heading(ctx, "skCellsStruct Test");
  NkCell root(image, CellPos(bb.RootCellOffset()));
  uint32_t rootSk = root.skOffset();
  LogLineF(ctx, kBlack, "Root skCellsOffsetVaue=0x%08x", rootSk);
  if (CheckCellBounds(ctx, CellPos(rootSk)) != kCellOk) {
    Report<FindingKind::kRingRootSkAssert>(ctx, CellPos(rootSk));
    return;
  }
  LogLineF(ctx, kBlack, "Root sk RefCount=%d", static_cast<int>(SkCell(image, CellPos(rootSk)).RefCount()));
  int32_t chained = 0;
  uint32_t total = 0, minimum = 0, maximum = 0;
  uint64_t cur = CellPos(rootSk);
  // A ring can never hold more sk cells than there are 8-byte slots in the
  // bins; a damaged ring that never returns to its start ends there.
  uint64_t bound = image.HbinsDataSize() / 8 + 1;
  for (uint64_t step = 0; step < bound; ++step) {
    ++chained;
    SkCell sk(image, cur);
    if (sk.Signature() != kSigSk) {
      Report<FindingKind::kRingSkSignature>(ctx, static_cast<uint32_t>(cur));
      break;
    }
    uint32_t refs = sk.RefCount();
    if (refs == 0) Report<FindingKind::kRingSkRefCount>(ctx, static_cast<uint32_t>(cur));
    total += refs;
    if (minimum == 0 || minimum > refs) minimum = refs;
    if (refs > maximum) maximum = refs;
    uint64_t prev = CellPos(sk.PrevskOffset());
    uint64_t next = CellPos(sk.NextskOffset());
    if (CheckCellBounds(ctx, prev) != kCellOk) {
      Report<FindingKind::kRingPrevAssert>(ctx, static_cast<uint32_t>(cur));
      break;
    }
    if (CellView(image, prev).Signature() != kSigSk) {
      Report<FindingKind::kRingPrevNotSk>(ctx, static_cast<uint32_t>(cur));
      break;
    }
    if (CheckCellBounds(ctx, next) != kCellOk) {
      Report<FindingKind::kRingNextAssert>(ctx, static_cast<uint32_t>(cur));
      break;
    }
    if (CellView(image, next).Signature() != kSigSk) {
      Report<FindingKind::kRingNextNotSk>(ctx, static_cast<uint32_t>(cur));
      break;
    }
    const uint32_t at = static_cast<uint32_t>(cur);
    if (CellPos(SkCell(image, next).PrevskOffset()) != cur) Report<FindingKind::kRingPrevChain>(ctx, at);
    if (CellPos(SkCell(image, prev).NextskOffset()) != cur) Report<FindingKind::kRingNextChain>(ctx, at);
    cur = next;
    if (cur == CellPos(rootSk)) break;
    if (step + 1 == bound) Report<FindingKind::kRingLoop>(ctx, static_cast<uint32_t>(cur));
  }
  LogLineF(ctx, kBlack, "skCells chained Count=%d", chained);
  LogLineF(ctx, kBlack, "skCells RefCount Total=%d", static_cast<int>(total));
  LogLineF(ctx, kBlack, "skCells MaxRefCount=%d", static_cast<int>(maximum));
  LogLineF(ctx, kBlack, "skCells MinRefCount=%d", static_cast<int>(minimum));
}

// The findings of a walk of the cell chain, in order.
struct ChainFault {
  FindingKind Kind;
  uint32_t Offset;
};
using ChainFaults = std::vector<ChainFault>;

// Visits every cell of every bin in order; `visit(cell, j, binSize, k)`.
// Ends a bin on "CellsOverFlow" and the walk on "HbinssOverFlow"; returns
// those lines.
template <typename Visit>
ChainFaults ForEachCell(PassState& ctx, Visit visit) {
  ChainFaults faults;
  auto fault = [&](FindingKind kind, uint64_t at) {
    ReportAs(ctx, kind, static_cast<uint32_t>(at));
    faults.push_back({kind, static_cast<uint32_t>(at)});
  };
  HiveImage image(ctx);
  uint64_t end = uint64_t{kBaseBlockSize} + image.HbinsDataSize();
  if (end > image.Size()) end = image.Size();
  BinCursor bins(image, end);
  // Ends: bins step by a size of at least a header, cells by a non-zero length.
  for (int j = 1; !bins.AtEnd(); ++j) {
    const BinHeader h = bins.Header();
    const uint32_t binSize = h.Size();
    if (binSize < kBinHeaderSize || !h.HasSignature()) {
      fault(FindingKind::kChainHbinsOverFlow, h.Pos());
      return faults;
    }
    // A cell may run past its bin (but not past the bins): it is visited,
    // then the bin ends there.
    CellCursor cells = CellCursor::OfBin(image, h.Pos(), h.Pos() + binSize);
    for (int k = 1; !cells.AtEnd(); ++k) {
      CellView view(image, cells.Pos());
      uint32_t m = view.Length();
      if (!view.Valid() || m == 0 || cells.Pos() + m > end) {
        fault(FindingKind::kChainCellsOverFlow, cells.Pos());
        break;
      }
      visit(view, j, binSize, k);
      const uint64_t at = cells.Pos();
      if (cells.Next() == WalkStop::kBadSize) {
        fault(FindingKind::kChainCellsOverFlow, at);
        break;
      }
    }
    if (bins.Next() == WalkStop::kBadSize) {
      fault(FindingKind::kChainHbinsOverFlow, h.Pos());
      return faults;
    }
  }
  return faults;
}

struct AccessCounts {
  uint32_t accessed = 0, multiple = 0, multipleTotal = 0, nonAccessed = 0, nonAccessedBytes = 0;
  uint32_t minAccess = 0, maxAccess = 0;
  ChainFaults chainFaults;  // of the pass's walk, which changes no cell length or bin
};

// Phase 7.
AccessCounts AccessPass(PassState& ctx) {
  HiveImage image(ctx);
  AccessMap map(ctx);
  ScanTotals totals(map);
  AccessCounts counts;
  Heading(ctx, "SubkeyScan Result");
  counts.chainFaults = ForEachCell(ctx, [&](const CellView& cell, int j, uint32_t binSize, int k) {
    if (!cell.Allocated()) return;
    CellShadow shadow(map, cell.Pos());
    uint32_t a = shadow.References();
    if (shadow.Kind() == kKindSk) {
      SkCell sk(cell);
      if (a != sk.RefCount()) {
        Report<FindingKind::kSkRefCountMismatch>(ctx, sk.Pos(), static_cast<int>(a), static_cast<int>(sk.RefCount()));
      } else if (a == 0 && shadow.Kind() == kKindSk) {
        Report<FindingKind::kSkUnreferenced>(ctx, sk.Pos(), 0, 0);
        if (RepairOrDefrag(ctx)) {
          SkCell prev(image, CellPos(sk.PrevskOffset()));
          SkCell next(image, CellPos(sk.NextskOffset()));
          prev.SetNextskOffset(sk.NextskOffset());
          next.SetPrevskOffset(sk.PrevskOffset());
          FreeCell(ctx, sk);
          totals.Count(RepairCounter::skCellsChaneClean);
        }
      }
      if (sk.Allocated() && shadow.Kind() == kKindSk && sk.DescriptorLength() != 0 && sk.Descriptor() != nullptr) {
        if (DescriptorRecord* record = FindDescriptor(ctx, sk.Descriptor(), sk.DescriptorLength()))
          record->CellCount++;
      }
      if (!sk.Allocated()) return;
    }
    if (counts.minAccess == 0 || counts.minAccess > a) counts.minAccess = a;
    if (a > counts.maxAccess) counts.maxAccess = a;
    if (a >= 1) {
      counts.accessed++;
      if (a > 1) {
        counts.multiple++;
        counts.multipleTotal += a;
      }
    } else if (!ctx.Aborted()) {
      counts.nonAccessed++;
      counts.nonAccessedBytes += cell.Length();
      if (ctx.Rules.Defrag) {
        // Lost space that Defrag frees, not damage.
        Report<FindingKind::kNonaccessCells>(ctx, cell.Pos(), j, static_cast<int>(binSize), k, cell.Size());
        FreeCell(ctx, cell);
        totals.Count(RepairCounter::UnaccessCellsClean);
      }
    }
  });
  return counts;
}

// Phase 8.
void Totals(PassState& ctx, const AccessCounts& counts) {
  ScanTotals t(ctx);
  char time[64];
  auto line = [&](const char* format, uint32_t v) { LogLineF(ctx, kBlack, format, static_cast<int>(v)); };
  line("nkCells AccessCount=%d", t.Get(Total::nkCount));
  line(" MaxKeyLength=%d", t.Get(Total::MaxKeyLength));
  for (int i = 0; i < 2; ++i)
    LogLineF(ctx, kBlack, " Key %s Count=%d", NameEncodingRow(i), static_cast<int>(t.Get(Total::KeyNameCounts, i)));
  LogLineF(ctx, kBlack, " nkCells MinTime=%s", FormatFileTime(time, sizeof time, t.Time(Total::MinTime)));
  LogLineF(ctx, kBlack, " nkCells MaxTime=%s", FormatFileTime(time, sizeof time, t.Time(Total::MaxTime)));
  line("classCells AccessCount=%d", t.Get(Total::classCount));
  line("skCells AccessCount=%d", t.Get(Total::skCount));
  line(" skCells MaxAccessCount=%d", counts.maxAccess);
  line(" skCells MinAccessCount=%d", counts.minAccess);
  line(" skCells OverRideCount=%d", t.Get(Total::skOverRideCount));
  line("vklistCells AccessCount=%d", t.Get(Total::vklistCount));
  line("vkCells AccessCount=%d", t.Get(Total::vkCount));
  line(" MaxNameLength=%d", t.Get(Total::MaxNameLength));
  for (int i = 0; i < 3; ++i)
    LogLineF(ctx, kBlack, " Name %s Count=%d", NameEncodingRow(i), static_cast<int>(t.Get(Total::ValueNameCounts, i)));
  for (uint32_t i = 0; i < kValueTypeRows; ++i)
    LogLineF(ctx, kBlack, " DataType %s Count=%d", ValueTypeRow(i), static_cast<int>(t.Get(Total::DataTypeCounts, i)));
  line("dataCells AccessCount=%d", t.Get(Total::dataCount));
  line(" MaxdataLength=%d", t.Get(Total::MaxdataLength));
  line(" MaxdataCellsLength=%d", t.Get(Total::MaxdataCellsLength));
  line("dbCells AccessCount=%d", t.Get(Total::dbCount));
  line("ddlistCells AccessCount=%d", t.Get(Total::ddlistCount));
  line("dbdataCells AccessCount=%d", t.Get(Total::dbdataCount));
  auto listLine = [&](const char* name, Total cells, Total links) {
    LogLineF(ctx, kBlack, "%sCells AccessCount=%d -> LinkAccessCount=%d", name, static_cast<int>(t.Get(cells)),
             static_cast<int>(t.Get(links)));
  };
  listLine("lf", Total::lfListCount, Total::lfLinkCount);
  listLine("lh", Total::lhListCount, Total::lhLinkCount);
  listLine("ri", Total::riListCount, Total::riLinkCount);
  listLine("li", Total::liListCount, Total::liLinkCount);
  line("SubLink Count=%d", t.Get(Total::SubLinkCount));
  static const char* const kSubLinks[8] = {"nkCells -> lfCells", "nkCells -> lhCells", "nkCells -> riCells",
                                           "nkCells -> liCells", "riCells -> lfCells", "riCells -> lhCells",
                                           "riCells -> riCells", "riCells -> liCells"};
  for (uint32_t i = 0; i < 8; ++i)
    LogLineF(ctx, kBlack, " SubLink %s Count=%d", kSubLinks[i], static_cast<int>(t.Get(Total::SubLinkKinds, i)));
  if (t.Get(Total::SubLinkOther) != 0) line(" SubLink Other Count=%d", t.Get(Total::SubLinkOther));
  line("AccessedCells AccessCount=%d", t.Get(Total::AccessCount));
  line("AssertCells AssertCount=%d", t.Get(Total::AssertCount));
  line("AccessedCells CellCount=%d", counts.accessed);
  line("MultipleAccessedCells CellCount=%d", counts.multiple);
  line("MultipleAccessedCells AccessCount=%d", counts.multipleTotal);
  // Allocated cells nothing reaches are lost space, not damage: every key and
  // value still reads.
  ReportIf<FindingKind::kNonaccessCount>(counts.nonAccessed != 0, ctx, kNoOffset, static_cast<int>(counts.nonAccessed));
  ReportIf<FindingKind::kNonaccessBytes>(counts.nonAccessedBytes != 0, ctx, kNoOffset,
                                         static_cast<int>(counts.nonAccessedBytes));
}

// Phase 10.
// `chainFaults`: what the access pass's walk found, on the same chain.
void SkUpdate(PassState& ctx, const ChainFaults& chainFaults) {
  AccessMap map(ctx);
  ScanTotals totals(map);
  Heading(ctx, "skCells Update");
  // Only descriptors the summary changed are written back.  With none, a walk
  // would only report the chain faults again, as the access pass found them
  // (nothing since has changed a cell's length or a bin).
  const bool modified = ctx.Descriptors != nullptr &&
                        std::any_of(ctx.Descriptors->Records.begin(), ctx.Descriptors->Records.end(),
                                    [](const auto& record) { return record->Modified != 0; });
  if (!modified) {
    for (const ChainFault& f : chainFaults) ReportAs(ctx, f.Kind, f.Offset);
    return;
  }
  // Each moved cell sends the next request back to the first bin: the index
  // lets it pass the bins that already refused.
  FreeSpaceIndexScope index(ctx);
  ForEachCell(ctx, [&](const CellView& cell, int, uint32_t, int) {
    if (!cell.Allocated() || CellShadow(map, cell.Pos()).Kind() != kKindSk) return;
    SkCell sk(cell);
    if (sk.DescriptorLength() == 0 || sk.Descriptor() == nullptr) return;
    DescriptorRecord* record = FindDescriptor(ctx, sk.Descriptor(), sk.DescriptorLength());
    if (record == nullptr || !record->Modified) return;
    uint32_t workLength = record->WorkLength;
    uint32_t needed = (workLength + 31) & ~7u;
    if (sk.Length() >= uint64_t{workLength} + SkCell::kHeaderLength) {
      totals.Count(RepairCounter::skDescriptorClean);
      std::memcpy(sk.Bytes() + SkCell::kDescriptor, record->WorkCopy.data(), workLength);
      sk.SetDescriptorLength(workLength);
      AdjustCells(ctx, sk.Pos(), needed);
      if (ZeroTail(sk.Bytes(), int64_t{SkCell::kHeaderLength} + workLength, sk.Length()))
        totals.Count(RepairCounter::skPaddingClean);
      return;
    }
    uint32_t fresh = GetNewCells(ctx, false, 0, static_cast<int32_t>(needed));
    if (fresh == 0) {
      Report<FindingKind::kSkUpdateNoSpace>(ctx, sk.Pos());
      return;
    }
    MoveCells(ctx, fresh, sk.Pos());
    SkCell moved(HiveImage(ctx), fresh);
    totals.Count(RepairCounter::skDescriptorClean);
    moved.SetDescriptorLength(workLength);
    std::memcpy(moved.Bytes() + SkCell::kDescriptor, record->WorkCopy.data(), workLength);
    totals.Set(Total::AllocStartHbin, 0);
  });
}

}  // namespace

bool ScanCommandAvailable(int32_t id) {
  return id == kCmdSearchDates || id == kCmdSearchNoDates || id == kCmdRepair || id == kCmdDefrag ||
         id == kCmdRebuild;
}

void ScanHive(PassState& ctx) {
  ctx.ScanStopped = true;
  if (!BaseBlockPhase(ctx, MakesHiveSound(ctx))) return;
  if (!BinWalk(ctx)) return;
  const uint32_t keyCells = StructureStatistics(ctx, ctx.Rules.Defrag);
  if (!RootKeyTest(ctx)) return;
  ctx.ScanStopped = false;
  SkRing(ctx);

  if (MakesHiveSound(ctx)) SoundKeyTree(ctx);
  std::string start = NowText();
  LogLineF(ctx, kGreen, "[SubkeyScan Start] %s", start.c_str());
  if (PassOutput* out = ctx.StatusOut()) out->Progress(0, keyCells);
  WalkKeyTree(ctx, BaseBlock(HiveImage(ctx)).RootCellOffset(), keyCells);
  if (PassOutput* out = ctx.StatusOut()) {
    out->Progress(0, 0);
    bool aborted = ctx.Aborted();
    out->Status(0, aborted ? start + Ansi("中止") : start,
                       aborted ? FormatShown(ShownText(TextId::kAborted), start.c_str()) : start, "");
  }

  AccessCounts counts = AccessPass(ctx);
  Totals(ctx, counts);
  SecurityDescriptorSummary(ctx);
  if (RepairOrDefrag(ctx)) SkUpdate(ctx, counts.chainFaults);
  if (MakesHiveSound(ctx)) SoundSecurityCells(ctx);
  if (DiagnosticRepair(ctx)) RepairBaseBlock(ctx);

  switch (ctx.Rules.Finish) {
    case ScanFinish::kRebuildSummary:
      LogLineF(ctx, kGreen, "[Rebuild Summary] %s", NowText().c_str());
      PrintRepairCounters(ctx);
      break;
    case ScanFinish::kDefrag:
      LogLineF(ctx, kGreen, "[Repair Summary] %s", NowText().c_str());
      PrintRepairCounters(ctx);
      LogLineF(ctx, kGreen, "[Defrag Start] %s", NowText().c_str());
      if (!ctx.Aborted()) {
        DefragLoopEnd end = RunDefragLoop(ctx);
        if (PassOutput* out = ctx.StatusOut()) out->Progress(0, 0);
        if (end == DefragLoopEnd::kSettled) DefragUnallocHbins(ctx);
        if (end == DefragLoopEnd::kStopped) ctx.CommandFailed = true;
      }
      ClosingFixup(ctx);
      LogLineF(ctx, kGreen, "[Defrag Summary] %s", NowText().c_str());
      PrintRepairCounters(ctx);
      StructureStatistics(ctx, true);
      break;
    case ScanFinish::kRepair:
      DeleteTrailingHbins(ctx);
      ClosingFixup(ctx);
      LogLineF(ctx, kGreen, "[Repair Summary] %s", NowText().c_str());
      PrintRepairCounters(ctx);
      StructureStatistics(ctx, false);
      break;
    default: break;
  }
}

void FreeDescriptorList(PassState& ctx) {
  DeleteDescriptorList(ctx.Descriptors);
  ctx.Descriptors = nullptr;
}

}  // namespace quelbrix
