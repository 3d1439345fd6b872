#include "repair/relocate.h"

#include <cstring>

#include "core/report_log.h"
#include "hive/report_finding.h"
#include "hive/access_map.h"
#include "hive/cells.h"
#include "hive/image.h"
#include "repair/allocator.h"
#include "repair/free_index.h"

namespace quelbrix {
namespace {

constexpr uint32_t kRootCellOffsetField = 0x24;

class Mover {
 public:
  Mover(PassState& ctx, uint32_t newCell, uint32_t oldCell)
      : ctx_(ctx),
        image_(ctx),
        map_(ctx),
        newCell_(newCell),
        oldCell_(oldCell),
        old_(oldCell - kBaseBlockSize),
        new_(newCell - kBaseBlockSize),
        sOld_(map_, oldCell),
        sNew_(map_, newCell) {}

  bool Movable() const;
  void Move();

 private:
  // A shadow link names a cell inside the bins of the image.
  bool IsCellPos(uint32_t pos) const { return pos >= kFirstCellPos && image_.Contains(pos, 4); }
  // The shadow of a cell that a list entry names, 0 when the entry cannot name one.
  uint32_t EntryPos(uint32_t entry) const {
    uint64_t pos = CellPos(entry);
    return pos <= 0xFFFFFFFFu && IsCellPos(static_cast<uint32_t>(pos)) ? static_cast<uint32_t>(pos) : 0;
  }
  // Upper bound of any chain of distinct cells: each is at least 8 bytes.
  uint32_t ChainBound() const { return image_.Size() / 8 + 1; }

  void RepointChild(uint32_t child) const;
  void RepointChildLinks(uint32_t count) const;
  void RepointListEntries() const;
  void PatchEntry(const CellView& p, uint32_t first, uint32_t stride, uint64_t count) const;
  void PatchSlots(uint32_t p, uint64_t count) const;
  uint32_t Slots(uint32_t p, uint64_t wanted) const;
  bool ParentIs(uint8_t kindA, uint8_t kindB = 0xFF) const;
  void Failure(FindingKind what) const;

  void MoveValue();
  void MoveData(FindingKind what);
  void MoveBigData();
  void MoveSegmentList();
  void MoveSegment();
  void MoveValueList();
  void MoveClass();
  void MoveIndex();
  void MoveKey();
  void MoveSecurity();
  void MoveOther();

  PassState& ctx_;
  HiveImage image_;
  AccessMap map_;
  uint32_t newCell_, oldCell_;
  uint32_t old_, new_;
  CellShadow sOld_, sNew_;
  uint32_t oldLength_ = 0;
  uint32_t parent_ = 0;  // R: the shadow of the referring cell, 0 for none
  uint8_t parentKind_ = 0;
};

bool Mover::Movable() const {
  CellView oldView(image_, oldCell_);
  CellView newView(image_, newCell_);
  if (!IsCellPos(oldCell_) || !IsCellPos(newCell_) || oldCell_ == newCell_) return false;
  uint32_t oldLength = oldView.Length();
  uint32_t newLength = newView.Length();
  return oldLength >= 8 && oldLength <= newLength && image_.Contains(oldCell_, oldLength) &&
         image_.Contains(newCell_, newLength) && map_.Contains(oldCell_, oldLength) &&
         map_.Contains(newCell_, oldLength);
}

// Only a child that was recorded from the moved cell follows it: an entry of
// a damaged list may name a cell that another referrer owns.
void Mover::RepointChild(uint32_t child) const {
  if (!IsCellPos(child)) return;
  CellShadow c(map_, child);
  if (c.ParentLink() == oldCell_) c.SetParentLink(newCell_);
}

void Mover::RepointChildLinks(uint32_t count) const {
  uint32_t slots = Slots(oldCell_, count);
  for (uint32_t i = 0; i < slots; ++i) {
    uint32_t child = sOld_.ChildLink(i);
    if (child == 0) break;
    RepointChild(child);
  }
}

// Value lists and segment lists reach their children through their entries.
void Mover::RepointListEntries() const {
  OffsetListCell list(image_, oldCell_);
  uint32_t entries = oldLength_ >= 4 ? (oldLength_ - 4) / 4 : 0;
  for (uint32_t i = 0; i < entries; ++i) {
    uint32_t e = list.Entry(i);
    if (e == 0) continue;
    uint32_t child = EntryPos(e);
    if (child != 0) RepointChild(child);
  }
}

// The first of `count` entries (u32 at first + i * stride) that holds the
// old CellOffset gets the new one; a 0 entry ends the list.
void Mover::PatchEntry(const CellView& p, uint32_t first, uint32_t stride, uint64_t count) const {
  for (uint64_t i = 0; i < count; ++i) {
    uint64_t off = first + i * stride;
    if (!p.Has(off, 4)) return;
    uint32_t e = p.U32(off);
    if (e == 0) return;
    if (e == old_) {
      p.SetU32(off, new_);
      return;
    }
  }
}

// ChildLinks never reach beyond the shadow of their own cell.
uint32_t Mover::Slots(uint32_t p, uint64_t wanted) const {
  CellShadow s(map_, p);
  uint64_t room;
  if (s.Kind() == kKindNk) {
    room = CellShadow::kKeyChildSlots;
  } else {
    uint32_t length = CellView(image_, p).Length();
    room = length > CellShadow::kChildLinks ? (length - CellShadow::kChildLinks) / 4 : 0;
  }
  return static_cast<uint32_t>(wanted < room ? wanted : room);
}

void Mover::PatchSlots(uint32_t p, uint64_t count) const {
  CellShadow s(map_, p);
  uint32_t slots = Slots(p, count);
  for (uint32_t i = 0; i < slots; ++i) {
    uint32_t link = s.ChildLink(i);
    if (link == 0) return;
    if (link == oldCell_) {
      s.SetChildLink(i, newCell_);
      return;
    }
  }
}

bool Mover::ParentIs(uint8_t kindA, uint8_t kindB) const {
  return parent_ != 0 && (parentKind_ == kindA || parentKind_ == kindB);
}

// "xxSignatureError" without a referrer, "xxSignatureError %s" with one of
// an unexpected kind.
void Mover::Failure(FindingKind what) const {
  std::string referrer;
  if (parent_ != 0) referrer.append(" ").append(KindName(parentKind_));
  ReportAs(ctx_, what, oldCell_, referrer.c_str());
}

void Mover::MoveValue() {
  RepointChildLinks(1);
  if (!ParentIs(kKindVm)) return Failure(FindingKind::kMoveVkSignature);
  CellView p(image_, parent_);
  uint32_t length = p.Length();
  PatchEntry(p, OffsetListCell::kEntries, 4, length >= 4 ? (length - 4) / 4 : 0);
}

void Mover::MoveData(FindingKind what) {
  if (!ParentIs(kKindVk)) return Failure(what);
  VkCell(image_, parent_).SetDataOffset(new_);
  PatchSlots(parent_, 1);
}

void Mover::MoveBigData() {
  RepointChildLinks(1);
  MoveData(FindingKind::kMoveDbSignature);
}

void Mover::MoveSegmentList() {
  RepointListEntries();
  if (!ParentIs(kKindDb)) return Failure(FindingKind::kMoveDlSignature);
  DbCell(image_, parent_).SetddlistOffset(new_);
  PatchSlots(parent_, 1);
}

void Mover::MoveSegment() {
  if (!ParentIs(kKindDl)) return Failure(FindingKind::kMoveDdSignature);
  CellView p(image_, parent_);
  uint32_t length = p.Length();
  PatchEntry(p, OffsetListCell::kEntries, 4, length >= 4 ? (length - 4) / 4 : 0);
}

void Mover::MoveValueList() {
  RepointListEntries();
  if (!ParentIs(kKindNk)) return Failure(FindingKind::kMoveVmSignature);
  NkCell(image_, parent_).SetvklistOffset(new_);
  PatchSlots(parent_, CellShadow::kKeyChildSlots);
}

void Mover::MoveClass() {
  if (!ParentIs(kKindNk)) return Failure(FindingKind::kMoveClSignature);
  NkCell(image_, parent_).SetClassOffset(new_);
  PatchSlots(parent_, CellShadow::kKeyChildSlots);
}

void Mover::MoveIndex() {
  RepointChildLinks(oldLength_ >= 8 ? (oldLength_ - 8) / 4 : 0);
  if (ParentIs(kKindNk)) {
    NkCell(image_, parent_).SetSubkeyOffset(new_);
    PatchSlots(parent_, CellShadow::kKeyChildSlots);
  } else if (ParentIs(kKindLi, kKindRi)) {
    IndexCell p(image_, parent_);
    PatchEntry(p, IndexCell::kEntries, 4, p.Count());
    PatchSlots(parent_, p.Count());
  } else {
    Failure(FindingKind::kMoveLlSignature);
  }
}

void Mover::MoveKey() {
  // Every subkey names its parent by CellOffset.
  uint32_t bound = ChainBound();
  for (uint32_t child = sOld_.LastChild(); child != 0 && bound-- > 0;) {
    if (!IsCellPos(child)) break;
    CellShadow c(map_, child);
    if (c.Kind() != kKindNk) break;
    NkCell(image_, child).SetParentOffset(new_);
    uint32_t prev = c.PrevSibling();
    if (prev == child) break;
    child = prev;
  }
  RepointChildLinks(CellShadow::kKeyChildSlots);

  if (parent_ == 0) {
    if (image_.U32(kRootCellOffsetField) == old_) {
      image_.SetU32(kRootCellOffsetField, new_);
      if (ctx_.Rules.DefragDetail) Report<FindingKind::kMoveRootKey>(ctx_, newCell_);
    } else {
      Failure(FindingKind::kMoveNkSignature);
    }
  } else if (ParentIs(kKindLf, kKindLh)) {
    IndexCell p(image_, parent_);
    PatchEntry(p, IndexCell::kEntries, 8, p.Count());
    PatchSlots(parent_, p.Count());
  } else if (ParentIs(kKindLi, kKindRi)) {
    IndexCell p(image_, parent_);
    PatchEntry(p, IndexCell::kEntries, 4, p.Count());
    PatchSlots(parent_, p.Count());
  } else {
    Failure(FindingKind::kMoveNkSignature);
  }

  // The sibling, subkey and referrer links that name the key; all read from
  // its old shadow, which the copy below leaves as it is.
  auto relink = [&](uint32_t node, void (CellShadow::*set)(uint32_t) const) {
    if (node != 0 && IsCellPos(node)) (CellShadow(map_, node).*set)(newCell_);
  };
  relink(sOld_.NextSibling(), &CellShadow::SetPrevSibling);
  relink(sOld_.PrevSibling(), &CellShadow::SetNextSibling);
  relink(sOld_.ParentKey(), &CellShadow::SetLastChild);
  relink(sOld_.LastChild(), &CellShadow::SetParentKey);
  // A PrevReferrer is the previous key or the sk itself; both keep the
  // forward link at +0x14 (NextReferrer of a key, FirstReferrer of an sk).
  relink(sOld_.PrevReferrer(), &CellShadow::SetNextReferrer);
  relink(sOld_.NextReferrer(), &CellShadow::SetPrevReferrer);
}

void Mover::MoveSecurity() {
  uint32_t bound = ChainBound();
  for (uint32_t key = sOld_.FirstReferrer(); key != 0 && bound-- > 0;) {
    if (!IsCellPos(key)) break;
    CellShadow k(map_, key);
    if (k.Kind() != kKindNk) break;
    NkCell(image_, key).SetskOffset(new_);
    uint32_t next = k.NextReferrer();
    if (next == key) break;
    key = next;
  }
  // The ring neighbours; a ring of one names the moved cell itself, and the
  // content copy carries the new offsets along.
  SkCell sk(image_, oldCell_);
  auto neighbour = [&](uint32_t offset) -> SkCell {
    uint32_t pos = EntryPos(offset);
    SkCell n(image_, pos);
    return pos != 0 && n.Allocated() && n.Signature() == kSigSk ? n : SkCell();
  };
  uint32_t nextOffset = sk.NextskOffset();
  SkCell prev = neighbour(sk.PrevskOffset());
  if (prev.Valid()) prev.SetNextskOffset(new_);
  SkCell next = neighbour(nextOffset);
  if (next.Valid()) next.SetPrevskOffset(new_);
  uint32_t first = sOld_.FirstReferrer();
  if (first != 0 && IsCellPos(first)) CellShadow(map_, first).SetPrevReferrer(newCell_);
}

void Mover::MoveOther() {
  Report<FindingKind::kMoveOther>(ctx_, oldCell_, KindName(sOld_.Kind()), parent_ != 0 ? KindName(parentKind_) : "");
  DumpHex(image_.At(oldCell_, oldLength_), ctx_, oldLength_);
}

void Mover::Move() {
  oldLength_ = CellView(image_, oldCell_).Length();
  uint32_t r = sOld_.ParentLink();
  parent_ = IsCellPos(r) ? r : 0;
  parentKind_ = parent_ != 0 ? CellShadow(map_, parent_).Kind() : 0;

  switch (sOld_.Kind()) {
    case kKindVk: MoveValue(); break;
    case kKindVd: MoveData(FindingKind::kMoveVdSignature); break;
    case kKindDb: MoveBigData(); break;
    case kKindDl: MoveSegmentList(); break;
    case kKindDd: MoveSegment(); break;
    case kKindVm: MoveValueList(); break;
    case kKindCl: MoveClass(); break;
    case kKindLf:
    case kKindLh:
    case kKindLi:
    case kKindRi: MoveIndex(); break;
    case kKindNk: MoveKey(); break;
    case kKindSk: MoveSecurity(); break;
    default: MoveOther(); break;
  }

  map_.Move(newCell_, oldCell_, oldLength_);
  std::memmove(image_.Data() + newCell_ + 4, image_.Data() + oldCell_ + 4, oldLength_ - 4);
  FreeCell(ctx_, CellView(image_, oldCell_));
}

}  // namespace

uint32_t MoveCells(PassState& ctx, uint32_t newCell, uint32_t oldCell) {
  if (ctx.Image == nullptr) return newCell;
  Mover mover(ctx, newCell, oldCell);
  // A cell that cannot be copied whole stays where it is, with every
  // reference to it intact.
  if (mover.Movable()) mover.Move();
  return newCell;
}

}  // namespace quelbrix
