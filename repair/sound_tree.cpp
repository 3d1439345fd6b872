// SoundKeyTree: the key tree as the key walk will find it under Repair and
// Defrag.  It follows every reference in the order the walk does and refuses
// exactly what the walk would refuse (a cell out of the bins, free, reached a
// second time, of the wrong signature or too short), so that the walk then
// meets no reference it cannot follow.
#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/report_log.h"
#include "hive/report_finding.h"
#include "hive/access_map.h"
#include "hive/base_block.h"
#include "hive/bins.h"
#include "hive/cells.h"
#include "hive/names.h"
#include "platform/memory.h"
#include "repair/allocator.h"
#include "repair/free_index.h"
#include "repair/slot_bits.h"
#include "repair/sound_hive.h"

namespace quelbrix {
namespace {

constexpr size_t kUnits = 256;

// A listed key that passed; its name (W, as the hashes and the order see
// it) is held in its parent's KeyState::names.
struct Child {
  uint32_t pos = 0;  // nk image position
  uint32_t at = 0;   // where its name starts in names
  uint32_t size = 0;
};

// One index cell of a key as found: its kind, and its entries once checked
// (leaves: key positions; ri: positions of index cells that passed).
struct IndexNode {
  uint32_t pos = 0;
  uint16_t kind = 0;
  uint32_t capacity = 0;  // entries the cell holds room for, as it was
  std::vector<uint32_t> entries;
  std::vector<size_t> subnodes;  // ri only: indexes into the node table
};

struct KeyState {
  uint32_t pos = 0;
  int parent = -1;               // index in the key table
  std::vector<IndexNode> nodes;  // nodes[0] is the top index cell
  std::vector<uint32_t> pending;  // listed keys in stored order
  size_t next = 0;
  std::vector<Child> kids;       // keys that passed, in stored order
  std::u16string names;          // the kids' names, end to end
  bool listChanged = false;      // an entry or a whole index cell was refused

  std::u16string_view Units(const Child& kid) const { return std::u16string_view(names).substr(kid.at, kid.size); }
  void AddKid(uint32_t kidPos, std::u16string_view units) {
    kids.push_back(Child{kidPos, static_cast<uint32_t>(names.size()), static_cast<uint32_t>(units.size())});
    names.append(units);
  }
};

// A key that two lists name, by its position: the key whose list keeps it
// (the parent its own parent field names).
using Owners = std::unordered_map<uint32_t, uint32_t>;

class TreeMender {
 public:
  TreeMender(PassState& ctx, Owners& owners)
      : ctx_(ctx), image_(ctx), totals_(ctx), seen_(ctx.ImageSize / 8 + 1), owners_(owners) {
    MarkCellStarts();
  }

  // Returns true when another round is due: a sibling list was reordered (the
  // walk's order changed, so a cell may now be reached a second time), or a
  // key named by two lists is to move to the parent its own field names.
  bool Run();

 private:
  static constexpr uint8_t kRecorded = 1, kShared = 2, kHow = 3, kCellStart = 4;
  // Positions come from the file: one outside the image was never seen.
  uint8_t How(uint64_t pos) const { return pos / 8 < seen_.size() ? seen_.Get(pos / 8) & kHow : 0; }
  bool Seen(uint64_t pos) const { return How(pos) != 0; }
  void Claim(uint64_t pos, uint8_t how) { seen_.Set(pos / 8, static_cast<uint8_t>((seen_.Get(pos / 8) & ~kHow) | how)); }
  void MarkCellStarts();
  // The bounds CheckCell tests, a size word that is allocated, and a place in
  // its bin's chain of cells (a position inside another cell is no cell).
  bool Allocated(uint64_t pos) const {
    if (pos < kFirstCellPos || !image_.Contains(pos, 4) || pos % 8 != 0 || (seen_.Get(pos / 8) & kCellStart) == 0)
      return false;
    CellView cell(image_, pos);
    uint32_t m = cell.Length();
    return m % 8 == 0 && cell.Allocated() && pos + m <= image_.HbinsEnd();
  }
  // A cell the walk may record: allocated and not yet reached.
  bool Free(uint64_t pos) const { return Allocated(pos) && !Seen(pos); }

  void Found(FindingKind kind, uint32_t pos);
  size_t KeyPasses(uint64_t pos, char16_t* units) const;
  bool KeyCellPasses(uint64_t pos) const;
  std::string Path() const;
  void KeyBody(KeyState& key);
  void Class(const NkCell& nk);
  void Security(KeyState& key, const NkCell& nk);
  bool SoundSk(uint64_t pos) const;
  uint32_t RootSecurity();
  void Values(const NkCell& nk);
  void Reclaim(uint64_t pos, uint64_t needed);
  bool ValuePasses(uint64_t pos);
  void Data(const VkCell& vk);
  void BigData(const VkCell& vk);
  void Detach(const VkCell& vk);
  size_t Gather(KeyState& key, uint64_t pos, uint16_t ownerKind, int depth);
  void Finish(KeyState& key);
  void Rewrite(KeyState& key, const std::vector<Child>& kids);
  bool Rename(KeyState& key, Child& child, const std::vector<Child>& kids, bool nameless);
  void FreeCell(uint64_t pos);
  bool ClaimedHere(uint64_t child, size_t k) const;
  void NameAsParent(const NkCell& nk, uint32_t offset);
  void PushKey(uint32_t pos, int parent);
  void PopKey();

  PassState& ctx_;
  HiveImage image_;
  ScanTotals totals_;
  SlotBits seen_;  // 1: recorded once; 2: an sk cell (may be shared); 4: a cell starts here
  std::vector<KeyState> keys_;
  // States of keys that are done, kept for their buffers: a state comes and
  // goes for every key of the hive.
  std::vector<KeyState> spare_;
  bool reordered_ = false;
  Owners& owners_;
};

// The bins are whole here (SalvageBins ran before the bin walk).
void TreeMender::MarkCellStarts() {
  uint64_t end = image_.HbinsEnd();
  for (uint64_t bin = kBaseBlockSize; bin + kBinHeaderSize <= end;) {
    uint32_t binSize = BinHeader(image_, bin).Size();
    if (binSize < kBinHeaderSize) break;
    CellCursor cells = CellCursor::OfBin(image_, bin, std::min<uint64_t>(bin + binSize, end));
    for (; cells.Check() == WalkStop::kNone; cells.Next()) seen_.Add(cells.Pos() / 8, kCellStart);
    bin += binSize;
  }
}

// The kind's line, then the key's path: a path may be longer than any line
// buffer.
void TreeMender::Found(FindingKind kind, uint32_t pos) {
  QUELBRIX_INVARIANT(finding_detail::Matches<unsigned>(InfoOf(kind).Format));
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  char text[kLineBuffer];
  FormatText(text, sizeof text, InfoOf(kind).Format, pos);
#pragma GCC diagnostic pop
  std::string line(text);
  line.append(" ").append(Path());
  EmitFinding(ctx_, kind, pos, line);
}

// The refusals of the key visit: the cell check, the signature, the length
// and a name that decodes to nothing.  A key that passes leaves its name's
// units in `units` (room for kUnits) and returns their count; 0 refuses.
size_t TreeMender::KeyPasses(uint64_t pos, char16_t* units) const {
  if (!KeyCellPasses(pos)) return 0;
  NkCell nk(image_, pos);
  if (nk.KeyLength() == 0) return 0;
  return NameUnits(nk.KeyName(), nk.KeyLength(), nk.KeyNameAvail(), nk.AsciiName(), units, kUnits);
}

// The refusals of the key visit but the name's.
bool TreeMender::KeyCellPasses(uint64_t pos) const {
  if (!Free(pos)) return false;
  NkCell nk(image_, pos);
  return ShapeOf(nk) == Shape::kSound;
}

// The path of the key in hand (keys_ runs from the root to it), for a
// finding's line: decoded only when a line needs it, since nearly every key
// passes without one.
std::string TreeMender::Path() const {
  std::string path;
  char name[kUnits * 4 + 1];
  for (const KeyState& key : keys_) {
    NkCell nk(image_, key.pos);
    DecodeName(nk.KeyName(), nk.KeyLength(), nk.KeyNameAvail(), nk.AsciiName(), name, sizeof name);
    if (key.parent >= 0) path.push_back('\\');
    path.append(name);
  }
  return path;
}

void TreeMender::FreeCell(uint64_t pos) { quelbrix::FreeCell(ctx_, CellView(image_, pos)); }

void TreeMender::Class(const NkCell& nk) {
  // A length beside no class cell is the key walk's count repair, with its
  // own line and counter.
  if (nk.ClassLength() == 0 || nk.ClassOffset() == kNoCell) return;
  uint64_t pos = CellPos(nk.ClassOffset());
  if (!Free(pos)) {
    Found(FindingKind::kMendClassDetach, nk.Pos());
    nk.SetClassOffset(kNoCell);
    nk.SetClassLength(0);
    totals_.Count(RepairCounter::classDetachClean);
    return;
  }
  Claim(pos, 1);
  DataCell cell(image_, pos);
  uint32_t length = nk.ClassLength();
  if (cell.Length() < uint64_t{length} + 4) length = (cell.Length() - 4) & ~1u;
  char text[kUnits * 4 + 1];
  DecodedName decoded = DecodeName(cell.Ptr(DataCell::kData, 0), length, cell.Avail() - DataCell::kData, false, text,
                                   sizeof text);
  if (decoded.ComputedLength < length ||
      EvenUpUtf16Name(cell.Bytes() + DataCell::kData, length, decoded.ComputedLength, cell.Room(DataCell::kData)))
    length = decoded.ComputedLength;
  if (length == nk.ClassLength()) return;
  Found(FindingKind::kMendClassLength, cell.Pos());
  nk.SetClassLength(static_cast<uint16_t>(length));
  if (length == 0) nk.SetClassOffset(kNoCell);
  totals_.Count(RepairCounter::classDetachClean);
}

bool TreeMender::SoundSk(uint64_t pos) const {
  SkCell sk(image_, pos);
  return Allocated(pos) && How(pos) != kRecorded && ShapeOf(sk) == Shape::kSound && sk.DescriptorLength() != 0 &&
         sk.Descriptor() != nullptr;
}

// The root key's stand-in for a descriptor it cannot read: the first sound sk
// cell of the bins, or else a new one that gives Administrators and
// LocalSystem full control, in a ring of its own.
uint32_t TreeMender::RootSecurity() {
  uint64_t end = image_.HbinsEnd();
  for (uint64_t pos = kFirstCellPos; pos + SkCell::kHeaderLength <= end; pos += 8)
    if ((seen_.Get(pos / 8) & kCellStart) != 0 && SoundSk(pos)) return static_cast<uint32_t>(pos);
  static const uint8_t kDescriptor[] = {
      0x01, 0x00, 0x04, 0x80, 0x48, 0x00, 0x00, 0x00, 0x58, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x14, 0x00,
      0x00, 0x00, 0x02, 0x00, 0x34, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x12, 0x14, 0x00, 0x3F, 0x00, 0x0F, 0x00,
      0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x12, 0x00, 0x00, 0x00, 0x00, 0x12, 0x18, 0x00, 0x3F, 0x00,
      0x0F, 0x00, 0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x20, 0x00, 0x00, 0x00, 0x20, 0x02, 0x00, 0x00,
      0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x20, 0x00, 0x00, 0x00, 0x20, 0x02, 0x00, 0x00, 0x01, 0x01,
      0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x12, 0x00, 0x00, 0x00};
  uint32_t length = static_cast<uint32_t>(RoundUp8(SkCell::kHeaderLength + sizeof kDescriptor));
  uint32_t fresh = GetNewCells(ctx_, false, 0, static_cast<int32_t>(length));
  if (fresh == 0) return 0;
  SkCell sk(image_, fresh);
  sk.SetU16(4, kSigSk);
  sk.SetPrevskOffset(CellOffsetOf(fresh));
  sk.SetNextskOffset(CellOffsetOf(fresh));
  sk.SetRefCount(1);
  sk.SetDescriptorLength(sizeof kDescriptor);
  std::memcpy(sk.Bytes() + SkCell::kDescriptor, kDescriptor, sizeof kDescriptor);
  seen_.Add(fresh / 8, kCellStart);
  return fresh;
}

void TreeMender::Security(KeyState& key, const NkCell& nk) {
  uint64_t pos = CellPos(nk.skOffset());
  if (nk.skOffset() != kNoCell && SoundSk(pos)) {
    Claim(pos, kShared);
    return;
  }
  // A key without a readable descriptor takes its parent's.
  uint64_t stand = 0;
  if (key.parent < 0) {
    stand = RootSecurity();
  } else {
    NkCell parent(image_, keys_[static_cast<size_t>(key.parent)].pos);
    uint64_t parentSk = CellPos(parent.skOffset());
    if (parent.skOffset() != kNoCell && image_.Contains(parentSk, 4) && How(parentSk) == kShared) stand = parentSk;
  }
  if (stand == 0) return;
  Found(FindingKind::kMendSkDetach, nk.Pos());
  nk.SetskOffset(CellOffsetOf(stand));
  Claim(stand, kShared);
  totals_.Count(RepairCounter::skDetachClean);
}

bool TreeMender::ValuePasses(uint64_t pos) {
  if (!Free(pos)) return false;
  VkCell vk(image_, pos);
  return ShapeOf(vk) == Shape::kSound;
}

// No data, held inline: nothing for the walk to follow.
void TreeMender::Detach(const VkCell& vk) {
  Found(FindingKind::kMendDataDetach, vk.Pos());
  vk.SetDataLength(VkCell::kInlineFlag);
  vk.SetDataOffset(kNoCell);
  totals_.Count(RepairCounter::dataDetachClean);
}

void TreeMender::Data(const VkCell& vk) {
  if (vk.InlineData()) return;
  uint32_t b = vk.DataLength() & 0x7FFFFFFFu;
  if (b > kBigDataThreshold && HasBigData(ctx_.HiveMajorVersion, ctx_.HiveMinorVersion)) return BigData(vk);
  uint64_t pos = CellPos(vk.DataOffset());
  if (vk.DataOffset() == kNoCell || !Free(pos)) return Detach(vk);
  Claim(pos, 1);
  DataCell cell(image_, pos);
  if (cell.Length() >= uint64_t{b} + 4) return;
  // The bytes the cell holds are kept; the length claims no more.
  Found(FindingKind::kMendDataLength, vk.Pos());
  uint32_t held = cell.Length() - 4;
  if (held > kBigDataThreshold && HasBigData(ctx_.HiveMajorVersion, ctx_.HiveMinorVersion)) held = kBigDataThreshold;
  vk.SetDataLength(held);
  totals_.Count(RepairCounter::dataDetachClean);
}

// A value in big-data form keeps the segments that pass, from the first on;
// at the first that fails it ends.
void TreeMender::BigData(const VkCell& vk) {
  uint32_t b = vk.DataLength() & 0x7FFFFFFFu;
  uint64_t dbPos = CellPos(vk.DataOffset());
  if (!Free(dbPos)) return Detach(vk);
  DbCell db(image_, dbPos);
  if (db.Signature() != kSigDb || db.Length() < 16) return Detach(vk);
  uint64_t listPos = CellPos(db.ddlistOffset());
  if (listPos == dbPos || !Free(listPos)) return Detach(vk);
  OffsetListCell list(image_, listPos);
  uint32_t count = db.SegmentCount();
  if (list.Length() < OffsetListCell::kEntries + 4 * uint64_t{count}) return Detach(vk);
  Claim(dbPos, 1);
  Claim(listPos, 1);
  uint32_t whole = 0;  // segments that pass, from the first on
  bool broken = false;
  for (uint32_t i = 0; i < count; ++i) {
    int64_t r = int64_t{b} - int64_t{kSegmentData} * i;
    uint64_t segPos = CellPos(list.Entry(i));
    if (!Free(segPos)) {
      broken = broken || r > 0;
      continue;
    }
    Claim(segPos, 1);
    if (r <= 0 || broken) continue;
    uint64_t carried = static_cast<uint64_t>(std::min<int64_t>(r, kSegmentData));
    if (CellView(image_, segPos).Length() < carried + 4) {
      broken = true;
      continue;
    }
    ++whole;
  }
  uint64_t expected = (uint64_t{b} + kSegmentData - 1) / kSegmentData;
  if (whole >= expected) return;
  // Too few segments for the length: the key walk would say so, but the
  // length cut to the segments leaves it nothing to see.
  if (count < expected)
    Report<FindingKind::kDbCellsNumberError>(ctx_, static_cast<uint32_t>(dbPos), static_cast<int>(expected),
                                             static_cast<int>(count));
  Found(FindingKind::kMendDataLength, vk.Pos());
  totals_.Count(RepairCounter::dataDetachClean);
  if (whole == 0) {
    vk.SetDataLength(VkCell::kInlineFlag);
    vk.SetDataOffset(kNoCell);
    return;
  }
  if (whole == 1) {
    // One segment is a plain data cell of 16344 bytes.
    vk.SetDataOffset(list.Entry(0));
    vk.SetDataLength(kSegmentData);
    return;
  }
  vk.SetDataLength(kSegmentData * whole);
  db.SetSegmentCount(static_cast<uint16_t>(whole));
}

// A cell the bin salvage freed at a break in the chain, named exactly here
// and long enough for what it should hold, is the cell with a broken size
// word: it is allocated again, and its entries are checked as any list's.
void TreeMender::Reclaim(uint64_t pos, uint64_t needed) {
  const std::vector<uint32_t>& freed = ctx_.SalvagedFree;
  if (pos > UINT32_MAX || !std::binary_search(freed.begin(), freed.end(), static_cast<uint32_t>(pos)) || Seen(pos))
    return;
  CellView cell(image_, pos);
  if (cell.Allocated() || cell.Length() < needed) return;
  cell.SetSize(-static_cast<int32_t>(cell.Length()));
}

void TreeMender::Values(const NkCell& nk) {
  uint32_t count = nk.vklistCount();
  // A count beside no list is the key walk's count repair, with its own line
  // and counter.
  if (count == 0 || nk.vklistOffset() == kNoCell) return;
  uint64_t pos = CellPos(nk.vklistOffset());
  Reclaim(pos, RoundUp8(uint64_t{OffsetListCell::kEntries} + 4ull * count));
  // A list cell that starts like a key or another structure cell is that
  // cell, named here by a damaged offset: taking it as the list would free it.
  if (!Free(pos) || CellView(image_, pos).Length() < 8 ||
      IsStructureSignature(CellView(image_, pos).Signature())) {
    Found(FindingKind::kMendVklistDetach, nk.Pos());
    nk.SetvklistOffset(kNoCell);
    nk.SetvklistCount(0);
    totals_.Count(RepairCounter::vklistDetachClean);
    return;
  }
  Claim(pos, 1);
  OffsetListCell list(image_, pos);
  uint32_t fits = (list.Length() - OffsetListCell::kEntries) / 4;
  uint32_t listed = std::min(count, fits);
  uint32_t kept = 0;
  for (uint32_t i = 0; i < listed; ++i) {
    uint32_t entry = list.Entry(i);
    if (!ValuePasses(CellPos(entry))) {
      Found(FindingKind::kMendVkDetach, static_cast<uint32_t>(CellPos(entry)));
      totals_.Count(RepairCounter::vkDetachClean);
      continue;
    }
    Claim(CellPos(entry), 1);
    list.SetEntry(kept++, entry);
    Data(VkCell(image_, CellPos(entry)));
  }
  if (kept == count) return;
  for (uint32_t i = kept; i < listed; ++i) list.SetEntry(i, 0);
  if (listed < count) {
    Found(FindingKind::kMendVklistLength, list.Pos());
    totals_.Count(RepairCounter::vklistDetachClean);
  }
  nk.SetvklistCount(kept);
  if (kept == 0) {
    nk.SetvklistOffset(kNoCell);
    FreeCell(pos);
  }
}

void TreeMender::KeyBody(KeyState& key) {
  NkCell nk(image_, key.pos);
  bool root = key.parent < 0;
  if (root != ((nk.Flags() & NkCell::kFlagRoot) != 0)) {
    nk.SetFlags(static_cast<uint16_t>(root ? nk.Flags() | NkCell::kFlagRoot : nk.Flags() & ~NkCell::kFlagRoot));
    totals_.Count(RepairCounter::nkRootFlagClean);
  }
  Class(nk);
  Security(key, nk);
  Values(nk);
}

// Checks the index cell at `pos` and, for an ri, the cells it lists; adds the
// keys of every leaf that passes to key.pending.  Returns the node index, or
// SIZE_MAX when the cell is refused.
size_t TreeMender::Gather(KeyState& key, uint64_t pos, uint16_t ownerKind, int depth) {
  (void)ownerKind;
  if (!Free(pos) || depth > 64) return SIZE_MAX;
  IndexCell cell(image_, pos);
  uint16_t kind = cell.Signature();
  if (kind != kSigLf && kind != kSigLh && kind != kSigLi && kind != kSigRi) return SIZE_MAX;
  Claim(pos, 1);
  uint32_t entrySize = cell.EntrySize();
  uint32_t fits = cell.Length() >= IndexCell::kEntries ? (cell.Length() - IndexCell::kEntries) / entrySize : 0;
  uint32_t count = std::min<uint32_t>(cell.Count(), fits);
  if (count < cell.Count()) key.listChanged = true;
  size_t self = key.nodes.size();
  key.nodes.push_back(IndexNode{static_cast<uint32_t>(pos), kind, count, {}, {}});
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t entry = cell.KeyOffset(i);
    if (kind == kSigRi) {
      size_t sub = Gather(key, CellPos(entry), kSigRi, depth + 1);
      if (sub == SIZE_MAX) {
        key.listChanged = true;
        continue;
      }
      key.nodes[self].entries.push_back(entry);
      key.nodes[self].subnodes.push_back(sub);
    } else {
      key.nodes[self].entries.push_back(entry);
      key.pending.push_back(static_cast<uint32_t>(CellPos(entry)));
    }
  }
  return self;
}

// Writes the sorted keys back into the key's own leaves, in order; leaves
// left empty leave their ri, and an index left empty leaves the key.
void TreeMender::Rewrite(KeyState& key, const std::vector<Child>& kids) {
  size_t at = 0;
  std::vector<uint32_t> held(key.nodes.size(), 0);  // keys under each node
  // Leaves in walk order: a depth-first pass from the top.
  std::vector<size_t> order;
  std::vector<size_t> stack{0};
  while (!stack.empty()) {
    size_t n = stack.back();
    stack.pop_back();
    order.push_back(n);
    const IndexNode& node = key.nodes[n];
    for (size_t i = node.subnodes.size(); i-- > 0;) stack.push_back(node.subnodes[i]);
  }
  for (size_t n : order) {
    IndexNode& node = key.nodes[n];
    if (node.kind == kSigRi) continue;
    IndexCell cell(image_, node.pos);
    uint32_t take = static_cast<uint32_t>(std::min<size_t>(node.capacity, kids.size() - at));
    for (uint32_t i = 0; i < take; ++i, ++at) {
      const Child& kid = kids[at];
      cell.SetKeyOffset(i, CellOffsetOf(kid.pos));
      if (node.kind == kSigLf) cell.SetHash(i, LfNameHint(key.Units(kid)));
      if (node.kind == kSigLh) cell.SetHash(i, LhNameHash(key.Units(kid)));
    }
    cell.SetCount(static_cast<uint16_t>(take));
    held[n] = take;
  }
  // ri cells from the deepest up: keep the sub-cells that hold keys.
  for (size_t k = order.size(); k-- > 0;) {
    size_t n = order[k];
    IndexNode& node = key.nodes[n];
    if (node.kind != kSigRi) continue;
    IndexCell cell(image_, node.pos);
    uint32_t kept = 0;
    for (size_t i = 0; i < node.subnodes.size(); ++i) {
      size_t sub = node.subnodes[i];
      if (held[sub] == 0) {
        FreeCell(key.nodes[sub].pos);
        continue;
      }
      cell.SetKeyOffset(kept++, node.entries[i]);
      held[n] += held[sub];
    }
    cell.SetCount(static_cast<uint16_t>(kept));
  }
  NkCell nk(image_, key.pos);
  if (held[0] == 0) {
    FreeCell(key.nodes[0].pos);
    nk.SetSubkeyOffset(kNoCell);
  }
}

// A key already taken by an earlier list whose own parent field names the
// key at keys_[k], which is not below it.
bool TreeMender::ClaimedHere(uint64_t child, size_t k) const {
  NkCell nk(image_, child);
  if (How(child) != kRecorded || nk.Signature() != kSigNk || nk.ParentOffset() != CellOffsetOf(keys_[k].pos) ||
      owners_.count(static_cast<uint32_t>(child)) != 0)
    return false;
  for (const KeyState& above : keys_)
    if (above.pos == child) return false;
  return true;
}

// Its subkeys, through the list the key's own visit left sound, name the key
// at `offset` as their parent.
void TreeMender::NameAsParent(const NkCell& nk, uint32_t offset) {
  if (nk.SubkeyCount() == 0 || nk.SubkeyOffset() == kNoCell) return;
  std::vector<uint64_t> cells{CellPos(nk.SubkeyOffset())};
  while (!cells.empty()) {
    IndexCell index(image_, cells.back());
    cells.pop_back();
    for (uint32_t i = 0; i < index.Count(); ++i) {
      uint64_t entry = CellPos(index.KeyOffset(i));
      if (index.Signature() == kSigRi)
        cells.push_back(entry);
      else
        NkCell(image_, entry).SetParentOffset(offset);
    }
  }
}

// A name made unique among its siblings by a suffix " (n)", or for a key
// whose name reads as nothing, "Unnamed" (with a suffix when that is taken);
// the key moves to a new cell when its own has no room for the longer name.
bool TreeMender::Rename(KeyState& key, Child& child, const std::vector<Child>& kids, bool nameless) {
  NkCell nk(image_, child.pos);
  bool eightBit = nk.AsciiName();
  const std::u16string_view base = nameless ? std::u16string_view(u"Unnamed") : key.Units(child);
  for (int n = nameless ? 1 : 2; n < 1000; ++n) {
    std::string suffix = n == 1 ? "" : " (" + std::to_string(n) + ")";
    std::u16string units(base.substr(0, std::min<size_t>(base.size(), 255 - suffix.size())));
    for (char c : suffix) units.push_back(static_cast<char16_t>(c));
    bool taken = false;
    for (const Child& other : kids) taken = taken || CompareSiblingOrder(key.Units(other), units) == 0;
    if (taken) continue;
    uint32_t length = static_cast<uint32_t>(units.size() * (eightBit ? 1 : 2));
    uint64_t needed = RoundUp8(uint64_t{NkCell::kHeaderLength} + length);
    uint64_t pos = child.pos;
    if (nk.Length() < uint64_t{NkCell::kHeaderLength} + length) {
      uint32_t fresh = GetNewCells(ctx_, false, 0, static_cast<int32_t>(needed));
      if (fresh == 0) return false;
      std::memcpy(image_.Data() + fresh + 4, nk.Bytes() + 4, NkCell::kHeaderLength - 4);
      NkCell moved(image_, fresh);
      NameAsParent(moved, CellOffsetOf(fresh));
      FreeCell(child.pos);
      seen_.Add(fresh / 8, kCellStart);
      Claim(fresh, kRecorded);
      pos = fresh;
      nk = moved;
    }
    uint8_t* name = image_.At(pos + NkCell::kKeyName, length);
    if (name == nullptr) return false;
    for (size_t i = 0; i < units.size(); ++i) {
      if (eightBit) {
        name[i] = static_cast<uint8_t>(units[i]);
      } else {
        name[2 * i] = static_cast<uint8_t>(units[i]);
        name[2 * i + 1] = static_cast<uint8_t>(units[i] >> 8);
      }
    }
    nk.SetKeyLength(static_cast<uint16_t>(length));
    char text[kUnits * 4 + 1];
    DecodeName(nk.KeyName(), length, nk.KeyNameAvail(), eightBit, text, sizeof text);
    const FindingKind kind = nameless ? FindingKind::kMendNamelessRename : FindingKind::kMendDuplicateRename;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    char head[kLineBuffer];
    FormatText(head, sizeof head, InfoOf(kind).Format, static_cast<uint32_t>(pos));
#pragma GCC diagnostic pop
    std::string line(head);
    line.append(" ").append(Path()).append("\\").append(text);
    EmitFinding(ctx_, kind, static_cast<uint32_t>(pos), line);
    totals_.Count(nameless ? RepairCounter::nkKeyLengthClean : RepairCounter::nkSubkeyDuplicateClean);
    child.pos = static_cast<uint32_t>(pos);
    child.at = static_cast<uint32_t>(key.names.size());
    child.size = static_cast<uint32_t>(units.size());
    key.names.append(units);
    return true;
  }
  return false;
}

// After the key's subkeys: the list as the walk must find it.
void TreeMender::Finish(KeyState& key) {
  NkCell nk(image_, key.pos);
  // The list is sorted in place: the key leaves when it is done.
  std::vector<Child>& kids = key.kids;
  bool changed = key.listChanged || kids.size() != key.pending.size();
  // Keys whose names read as nothing get one now that their siblings' names
  // are known; one that cannot (no room for a cell) leaves the list.
  for (size_t i = 0; i < kids.size();) {
    if (kids[i].size != 0) {
      ++i;
    } else if (Rename(key, kids[i], kids, true)) {
      reordered_ = true;
      changed = true;
      ++i;
    } else {
      Found(FindingKind::kMendNkDetach, kids[i].pos);
      totals_.Count(RepairCounter::SublistDetachClean);
      kids.erase(kids.begin() + static_cast<std::ptrdiff_t>(i));
      changed = true;
    }
  }
  auto before = [&key](const Child& a, const Child& b) {
    return CompareSiblingOrder(key.Units(a), key.Units(b)) < 0;
  };
  // A stable sort leaves a sorted list as it is, and most lists are sorted.
  bool ordered = std::is_sorted(kids.begin(), kids.end(), before);
  if (!ordered) {
    std::stable_sort(kids.begin(), kids.end(), before);
    Found(FindingKind::kMendSubkeySequence, key.pos);
    totals_.Count(RepairCounter::nkSubkeySequenceClean);
    reordered_ = true;
  }
  for (size_t i = 1; i < kids.size(); ++i) {
    if (CompareSiblingOrder(key.Units(kids[i - 1]), key.Units(kids[i])) != 0) continue;
    if (!Rename(key, kids[i], kids, false)) continue;
    std::stable_sort(kids.begin(), kids.end(), before);
    reordered_ = true;
    changed = true;
    i = 0;
  }
  // Hashes are the walk's to check and mend; a list that changed is written
  // whole, with its hashes.
  if ((changed || !ordered) && !key.nodes.empty()) Rewrite(key, kids);
  if (nk.SubkeyCount() != kids.size() && (nk.SubkeyCount() != 0 || !kids.empty())) {
    nk.SetSubkeyCount(static_cast<uint32_t>(kids.size()));
    totals_.Count(RepairCounter::nkSubkeyCountClean);
  }
}

void TreeMender::PushKey(uint32_t pos, int parent) {
  if (spare_.empty()) {
    keys_.emplace_back();
  } else {
    keys_.push_back(std::move(spare_.back()));
    spare_.pop_back();
  }
  KeyState& key = keys_.back();
  key.pos = pos;
  key.parent = parent;
  key.nodes.clear();
  key.pending.clear();
  key.next = 0;
  key.kids.clear();
  key.names.clear();
  key.listChanged = false;
}

void TreeMender::PopKey() {
  spare_.push_back(std::move(keys_.back()));
  keys_.pop_back();
}

bool TreeMender::Run() {
  uint32_t rootOffset = BaseBlock(image_).RootCellOffset();
  uint64_t rootPos = CellPos(rootOffset);
  char16_t units[kUnits];
  if (KeyPasses(rootPos, units) == 0) return false;
  Claim(rootPos, 1);
  PushKey(static_cast<uint32_t>(rootPos), -1);
  // keys_ is the path from the root to the key in hand: a key's subkeys are
  // visited one at a time, and a key leaves when its list is done.
  bool entered = false;
  while (!keys_.empty()) {
    size_t k = keys_.size() - 1;
    if (!entered) {
      NkCell nk(image_, keys_[k].pos);
      KeyBody(keys_[k]);
      // As the walk: a key that counts no subkeys is not descended into.
      if (nk.SubkeyCount() > 0 && nk.SubkeyOffset() != kNoCell) {
        if (Gather(keys_[k], CellPos(nk.SubkeyOffset()), kSigNk, 0) == SIZE_MAX) {
          Found(FindingKind::kMendSublistDetach, keys_[k].pos);
          nk.SetSubkeyOffset(kNoCell);
          totals_.Count(RepairCounter::SublistDetachClean);
        }
        keys_[k].kids.reserve(keys_[k].pending.size());
      }
    }
    entered = true;
    KeyState& key = keys_[k];
    if (key.next < key.pending.size()) {
      uint64_t child = key.pending[key.next++];
      auto owner = owners_.find(static_cast<uint32_t>(child));
      bool elsewhere = owner != owners_.end() && owner->second != key.pos;
      size_t n = elsewhere ? 0 : KeyPasses(child, units);
      if (!elsewhere && n == 0 && Seen(child) && ClaimedHere(child, k)) {
        // Kept in this list; the next round takes it out of the earlier one.
        owners_[static_cast<uint32_t>(child)] = key.pos;
        reordered_ = true;
        NkCell nk(image_, child);
        n = NameUnits(nk.KeyName(), nk.KeyLength(), nk.KeyNameAvail(), nk.AsciiName(), units, kUnits);
        key.AddKid(static_cast<uint32_t>(child), std::u16string_view(units, n));
        continue;
      }
      // A key refused for its name alone: one that reads as nothing.
      if (n == 0 && !elsewhere && KeyCellPasses(child)) {
        // Named when this list is done; until then it is visited as any key,
        // so that nothing under it is lost.
        Claim(child, 1);
        key.AddKid(static_cast<uint32_t>(child), std::u16string_view());
        PushKey(static_cast<uint32_t>(child), static_cast<int>(k));
        entered = false;
        continue;
      }
      if (n == 0) {
        Found(FindingKind::kMendNkDetach, static_cast<uint32_t>(child));
        totals_.Count(RepairCounter::SublistDetachClean);
        continue;
      }
      Claim(child, 1);
      key.AddKid(static_cast<uint32_t>(child), std::u16string_view(units, n));
      PushKey(static_cast<uint32_t>(child), static_cast<int>(k));
      entered = false;
      continue;
    }
    Finish(key);
    PopKey();
  }
  return reordered_;
}

}  // namespace

void SoundKeyTree(PassState& ctx) {
  if (ctx.Image == nullptr) return;
  // A reordered list changes the order in which the walk reaches cells; one
  // more round finds what is now reached a second time.  A key that moves to
  // the parent its field names moves in the next round.
  Owners owners;
  for (int round = 0; round < 4; ++round)
    if (!TreeMender(ctx, owners).Run()) break;
}

}  // namespace quelbrix
