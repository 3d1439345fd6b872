// SoundSecurityCells: after the sk update, the security cells as a loader
// counts them.  Under Repair a key whose descriptor became byte-identical to
// its parent's shares the parent's cell (so a second Repair finds nothing to
// merge); then every sk cell's RefCount is the number of keys recorded on it,
// cells no key uses leave the ring and are freed, and the ring links the
// used cells, in their old order as far as it held.
#include <algorithm>
#include <cstring>
#include <vector>

#include "hive/access_map.h"
#include "hive/base_block.h"
#include "hive/bins.h"
#include "hive/cells.h"
#include "repair/allocator.h"
#include "repair/free_index.h"
#include "repair/sound_hive.h"

namespace quelbrix {
namespace {

bool SameDescriptor(const SkCell& a, const SkCell& b) {
  return a.DescriptorLength() == b.DescriptorLength() && a.Descriptor() != nullptr && b.Descriptor() != nullptr &&
         std::memcmp(a.Descriptor(), b.Descriptor(), a.DescriptorLength()) == 0;
}

// Parents before children: a key is merged onto its parent's cell only after
// the parent found its own.
void ShareIdentical(PassState& ctx) {
  HiveImage image(ctx);
  AccessMap map(ctx);
  ScanTotals totals(map);
  std::vector<uint32_t> keys{static_cast<uint32_t>(CellPos(BaseBlock(image).RootCellOffset()))};
  std::vector<uint32_t> indexes;
  while (!keys.empty()) {
    uint32_t pos = keys.back();
    keys.pop_back();
    NkCell nk(image, pos);
    if (CellShadow(map, pos).Kind() != kKindNk) continue;
    if (nk.SubkeyCount() == 0 || nk.SubkeyOffset() == kNoCell) continue;
    SkCell parentSk(image, CellPos(nk.skOffset()));
    bool parentSound = CellShadow(map, parentSk.Pos()).Kind() == kKindSk && parentSk.Allocated();
    indexes.assign(1, static_cast<uint32_t>(CellPos(nk.SubkeyOffset())));
    while (!indexes.empty()) {
      IndexCell index(image, indexes.back());
      indexes.pop_back();
      uint8_t kind = CellShadow(map, index.Pos()).Kind();
      if (kind != kKindLf && kind != kKindLh && kind != kKindLi && kind != kKindRi) continue;
      for (uint32_t i = index.Count(); i-- > 0;) {
        uint32_t entry = static_cast<uint32_t>(CellPos(index.KeyOffset(i)));
        if (kind == kKindRi) {
          indexes.push_back(entry);
          continue;
        }
        NkCell child(image, entry);
        if (CellShadow(map, entry).Kind() != kKindNk) continue;
        keys.push_back(entry);
        SkCell sk(image, CellPos(child.skOffset()));
        if (!parentSound || sk.Pos() == parentSk.Pos() || CellShadow(map, sk.Pos()).Kind() != kKindSk ||
            !sk.Allocated() || !SameDescriptor(sk, parentSk))
          continue;
        MoveSkReferrer(map, entry, sk.Pos(), parentSk.Pos());
        parentSk.SetRefCount(parentSk.RefCount() + 1);
        sk.SetRefCount(sk.RefCount() - 1);
        child.SetskOffset(nk.skOffset());
        totals.Count(RepairCounter::nkskOffsetClean);
      }
    }
  }
}

}  // namespace

bool SharesDescriptors(const PassState& ctx) { return ctx.Rules.RepairOnlyFixes; }

void SoundSecurityCells(PassState& ctx) {
  if (ctx.Image == nullptr) return;
  if (SharesDescriptors(ctx)) ShareIdentical(ctx);
  HiveImage image(ctx);
  AccessMap map(ctx);
  ScanTotals totals(map);

  // Every allocated sk cell of the bins: the used ones keep a true count.
  std::vector<uint32_t> used, unused;
  uint64_t end = image.HbinsEnd();
  for (uint64_t bin = kBaseBlockSize; bin + kBinHeaderSize <= end;) {
    const BinHeader h(image, bin);
    uint32_t binSize = h.Size();
    if (!h.HasSignature() || binSize < kBinHeaderSize) break;
    uint64_t binEnd = std::min<uint64_t>(bin + binSize, end);
    for (uint64_t cell = bin + kBinHeaderSize; cell < binEnd;) {
      SkCell sk(image, cell);
      uint32_t m = sk.Length();
      if (m == 0 || m % 8 != 0 || m > binEnd - cell) break;
      if (sk.Allocated() && sk.Signature() == kSigSk) {
        CellShadow shadow(map, static_cast<uint32_t>(cell));
        uint32_t refs = shadow.References();
        // Unused when nothing reached it.  A cell the walk reached as
        // something else (a value's data that begins with "sk") is in use as
        // that: neither counted nor freed.
        if (refs == 0) {
          unused.push_back(static_cast<uint32_t>(cell));
        } else if (shadow.Kind() == kKindSk) {
          used.push_back(static_cast<uint32_t>(cell));
          if (sk.RefCount() != refs) {
            sk.SetRefCount(refs);
            totals.Count(RepairCounter::skRefCountClean);
          }
        }
      }
      cell += m;
    }
    bin += binSize;
  }
  if (used.empty()) return;

  // An unused sk cell leaves the ring as the access pass takes one out; one
  // that no ring member names is left as it is.
  auto indexOf = [&used](uint64_t pos) {
    auto it = std::lower_bound(used.begin(), used.end(), pos);
    return it != used.end() && *it == pos ? static_cast<size_t>(it - used.begin()) : SIZE_MAX;
  };
  for (uint32_t pos : unused) {
    SkCell sk(image, pos);
    SkCell prev(image, CellPos(sk.PrevskOffset())), next(image, CellPos(sk.NextskOffset()));
    bool linked = prev.Valid() && prev.Signature() == kSigSk && prev.NextskOffset() == CellOffsetOf(pos);
    linked = linked || (next.Valid() && next.Signature() == kSigSk && next.PrevskOffset() == CellOffsetOf(pos));
    if (!linked && CellShadow(map, pos).Kind() != kKindSk) continue;
    if (prev.Valid() && prev.NextskOffset() == CellOffsetOf(pos)) prev.SetNextskOffset(sk.NextskOffset());
    if (next.Valid() && next.PrevskOffset() == CellOffsetOf(pos)) next.SetPrevskOffset(sk.PrevskOffset());
    FreeCell(ctx, sk);
    totals.Count(RepairCounter::skCellsChaneClean);
  }

  // The ring: from the root key's cell as far as the old links hold, then
  // every used cell they missed, in address order.
  std::vector<uint32_t> order;
  order.reserve(used.size());
  std::vector<uint8_t> placed(used.size(), 0);
  uint64_t rootSk = CellPos(NkCell(image, CellPos(BaseBlock(image).RootCellOffset())).skOffset());
  size_t at = indexOf(rootSk);
  if (at == SIZE_MAX) at = 0;
  while (at != SIZE_MAX && !placed[at]) {
    placed[at] = 1;
    order.push_back(used[at]);
    at = indexOf(CellPos(SkCell(image, used[at]).NextskOffset()));
  }
  for (size_t i = 0; i < used.size(); ++i)
    if (!placed[i]) order.push_back(used[i]);

  bool relinked = false;
  for (size_t i = 0; i < order.size(); ++i) {
    SkCell sk(image, order[i]);
    uint32_t prev = CellOffsetOf(order[(i + order.size() - 1) % order.size()]);
    uint32_t next = CellOffsetOf(order[(i + 1) % order.size()]);
    if (sk.PrevskOffset() != prev || sk.NextskOffset() != next) relinked = true;
    sk.SetPrevskOffset(prev);
    sk.SetNextskOffset(next);
  }
  if (relinked) totals.Count(RepairCounter::skCellsRingClean);
}

}  // namespace quelbrix
