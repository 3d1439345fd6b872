// The subkey index steps of the key walk: lf, lh, li and ri cells (nested ri
// included), their checks, the SubLink statistics, the per-entry visits and
// the trim and padding clean-up of each index cell.
#include <algorithm>

#include "core/report_log.h"
#include "hive/access_map.h"
#include "hive/check_cell.h"
#include "hive/report_finding.h"
#include "repair/allocator.h"
#include "scan/key_walk.h"

namespace quelbrix::walk {
namespace {

struct IndexKind {
  uint16_t Signature;
  FindingKind AssertError;
  FindingKind LengthError;
  Total Cells;
  Total Links;
  uint32_t SubLinkRow;  // nk -> this kind; ri -> this kind is the row + 4
  RepairCounter Padding;
};

const IndexKind* KindOf(uint16_t sig) {
  static const IndexKind kKinds[] = {
      {kSigLf, FindingKind::kLfCellsAssertError, FindingKind::kLfCellsLengthError, Total::lfListCount,
       Total::lfLinkCount, 0, RepairCounter::lfPaddingClean},
      {kSigLh, FindingKind::kLhCellsAssertError, FindingKind::kLhCellsLengthError, Total::lhListCount,
       Total::lhLinkCount, 1, RepairCounter::lhPaddingClean},
      {kSigRi, FindingKind::kRiCellsAssertError, FindingKind::kRiCellsLengthError, Total::riListCount,
       Total::riLinkCount, 2, RepairCounter::riPaddingClean},
      {kSigLi, FindingKind::kLiCellsAssertError, FindingKind::kLiCellsLengthError, Total::liListCount,
       Total::liLinkCount, 3, RepairCounter::liPaddingClean},
  };
  for (const IndexKind& k : kKinds)
    if (k.Signature == sig) return &k;
  return nullptr;
}

bool RepairMode(const PassState& ctx) { return ctx.Rules.Repair; }

}  // namespace

bool EnterIndex(WalkState& state, IndexFrame& frame, const KeyFrame& owner) {
  (void)owner;
  PassState& ctx = *state.Ctx;
  HiveImage image(ctx);
  ScanTotals totals(ctx);
  totals.Add(Total::SubLinkCount);
  totals.Add(Total::AccessCount);
  if (CheckCellBounds(ctx, frame.Pos) != kCellOk) {
    Report<FindingKind::kSublistCellsAssertError>(ctx, frame.Pos);
    LogPane(kBlack, ctx, state.Path);
    return false;
  }
  IndexCell cell(image, frame.Pos);
  const IndexKind* kind = KindOf(cell.Signature());
  if (kind == nullptr) {
    Report<FindingKind::kSublistError>(ctx, frame.Pos, frame.Pos);
    return false;
  }
  if (frame.OwnerKind == kSigNk)
    totals.Add(Total::SubLinkKinds, kind->SubLinkRow, 1);
  else if (frame.OwnerKind == kSigRi)
    totals.Add(Total::SubLinkKinds, kind->SubLinkRow + 4, 1);
  else
    totals.Add(Total::SubLinkOther);
  totals.Add(kind->Cells);
  if (CheckCell(frame.OwnerPos, ctx, true, 0, frame.Pos, kind->Signature) != kCellOk) {
    ReportAs(ctx, kind->AssertError, frame.Pos);
    LogPane(kBlack, ctx, state.Path);
    return false;
  }
  uint64_t needed = NeedsFor(KindCode(kind->Signature), cell.Count()).Minimum;
  if (cell.Length() < needed) {
    ReportAs(ctx, kind->LengthError, frame.Pos, frame.Pos);
    LogPane(kBlack, ctx, state.Path);
    return false;
  }
  frame.Kind = kind->Signature;
  frame.Count = cell.Count();
  frame.Next = 0;
  return true;
}

bool NextIndexEntry(WalkState& state, size_t frameIndex) {
  PassState& ctx = *state.Ctx;
  HiveImage image(ctx);
  ScanTotals totals(ctx);
  IndexFrame& frame = state.Stack[frameIndex].IndexPart;
  const IndexKind* kind = KindOf(frame.Kind);
  IndexCell cell(image, frame.Pos);
  // Count was held against the cell's length when the index was entered.
  while (frame.Next < frame.Count) {
    uint32_t i = frame.Next++;
    totals.Add(kind->Links);
    // After an abort the remaining entries are counted, never entered.
    if (ctx.Aborted()) continue;
    uint32_t entry = cell.KeyOffset(i);
    Frame child;
    if (frame.Kind == kSigRi) {
      child.IsKey = false;
      child.IndexPart.Pos = static_cast<uint32_t>(std::min<uint64_t>(CellPos(entry), 0xFFFFFFFFu));
      child.IndexPart.OwnerPos = frame.Pos;
      child.IndexPart.OwnerKind = kSigRi;
      child.IndexPart.Key = frame.Key;
    } else {
      const KeyFrame& owner = state.Stack[static_cast<size_t>(frame.Key)].KeyPart;
      child.IsKey = true;
      child.KeyPart.Pos = static_cast<uint32_t>(std::min<uint64_t>(CellPos(entry), 0xFFFFFFFFu));
      child.KeyPart.IndexPos = frame.Pos;
      child.KeyPart.IndexKind = frame.Kind;
      child.KeyPart.HashSlot = uint64_t{frame.Pos} + IndexCell::kEntries + 8ull * i + 4;
      child.KeyPart.Depth = owner.Depth + 1;
      child.KeyPart.Parent = frame.Key;
    }
    state.Stack.push_back(child);
    return true;
  }
  return false;
}

void FinishIndex(WalkState& state, const IndexFrame& frame) {
  PassState& ctx = *state.Ctx;
  HiveImage image(ctx);
  const IndexKind* kind = KindOf(frame.Kind);
  IndexCell cell(image, frame.Pos);
  CellNeeds needs = NeedsFor(KindCode(frame.Kind), frame.Count);
  AdjustCells(ctx, frame.Pos, needs.Trim);
  if (RepairMode(ctx) && ZeroTail(cell.Bytes(), static_cast<int64_t>(needs.PaddingStart), cell.Length()))
    ScanTotals(ctx).Count(kind->Padding);
}

}  // namespace quelbrix::walk
