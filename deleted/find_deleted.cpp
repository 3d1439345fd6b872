#include <algorithm>
#include <unordered_map>

#include "deleted/deleted.h"
#include "hive/base_block.h"
#include "hive/bins.h"
#include "hive/cells.h"
#include "hive/names.h"

namespace quelbrix::deleted {
namespace {

// Last-write times outside 1980..2100 are no time stamp a system wrote:
// the bytes were never a key, or were overwritten.
constexpr uint64_t kTimeLow = 119600064000000000ull;
constexpr uint64_t kTimeHigh = 157469184000000000ull;

struct CellRec {
  uint32_t pos = 0;
  uint32_t len = 0;
  bool alloc = false;
  bool reached = false;  // the live tree refers to it
  bool liveKey = false;
  uint32_t used = 0;     // what the live tree uses of it
  uint32_t parent = 0;   // of a live key: its parent's position
};

struct Candidate {
  uint32_t pos = 0;
  bool isKey = false;
};

// `available`: the stored bytes that lie inside the image, when fewer.
std::u16string UnitsOf(const uint8_t* stored, uint32_t length, bool eightBit, uint32_t available = 0xFFFFFFFFu) {
  std::u16string out(length, u'\0');
  size_t n = NameUnits(stored, length, std::min(length, available), eightBit, out.data(), out.size());
  out.resize(n);
  return out;
}

class Finder {
 public:
  Finder(const uint8_t* bytes, size_t size)
      // Read only: the views take a writable pointer, nothing here writes.
      : image_(const_cast<uint8_t*>(bytes), static_cast<uint32_t>(std::min<size_t>(size, 0xFFFFFFF8u))) {}

  DeletedScan Run();

 private:
  void MapCells();
  void IndexPages();
  int CellAt(uint64_t pos) const;
  int CellContaining(uint64_t pos) const;
  bool Reach(uint64_t pos, uint64_t used);
  void WalkLive();
  void ReachValueData(const VkCell& vk);
  void ScanRegion(uint64_t start, uint64_t end);
  bool SoundKey(const NkCell& nk, uint64_t end) const;
  bool SoundValue(const VkCell& vk, uint64_t end) const;
  bool InBins(uint64_t pos) const { return pos >= kFirstCellPos && pos < areaEnd_ && pos % 8 == 0; }
  bool Held(uint64_t pos, uint64_t length) const;
  RecoveredValue ReadValue(uint32_t pos) const;
  int CandidateAt(uint64_t pos, bool key) const;
  std::u16string LivePath(uint32_t pos) const;
  bool LiveKey(uint64_t pos) const {
    int i = CellAt(pos);
    return i >= 0 && cells_[i].liveKey;
  }
  void BuildTree(DeletedScan& scan);

  HiveImage image_;
  uint64_t binsEnd_ = 0;
  // The bins and the slack behind them: bins a hive gave up when it shrank
  // stay in the file until it is written anew.
  uint64_t areaEnd_ = 0;
  bool bigData_ = false;
  std::vector<CellRec> cells_;
  // Per page of the image, the first cell that ends after the page's start:
  // a lookup searches only the cells of one page.
  std::vector<uint32_t> pageFirst_;
  uint32_t rootPos_ = 0;
  std::vector<std::pair<uint32_t, uint32_t>> liveValueLists_;  // list position, count
  std::vector<Candidate> candidates_;  // in position order
};

void Finder::MapCells() {
  cells_.reserve(binsEnd_ / 64);
  BinCursor bins(image_, binsEnd_);
  // Each step moves on by a checked size: a broken bin ends the map there.
  while (bins.Check() == WalkStop::kNone) {
    uint64_t binEnd = bins.Pos() + bins.Header().Size();
    for (CellCursor c = CellCursor::OfBin(image_, bins.Pos(), binEnd); c.Check() == WalkStop::kNone; c.Next())
      cells_.push_back(CellRec{static_cast<uint32_t>(c.Pos()), c.Length(), c.SizeWord() < 0});
    if (bins.Next() != WalkStop::kNone) break;
  }
  // Slack: each old bin of this hive (one that names its own place) whole
  // as one free region.  A bin that names another place came from another
  // file, whose offsets mean nothing here, and a page that begins no bin is
  // not known to be one of ours: both are passed over.
  uint64_t fileEnd = image_.Size() & ~uint64_t{kPageSize - 1};
  areaEnd_ = binsEnd_;
  if (bins.Pos() != binsEnd_ || fileEnd <= binsEnd_) return;
  areaEnd_ = fileEnd;
  for (uint64_t pos = binsEnd_; pos + kPageSize <= fileEnd;) {
    BinHeader h(image_, pos);
    uint32_t size = h.Size();
    bool whole = h.HasSignature() && size >= kPageSize && size % kPageSize == 0 && size <= fileEnd - pos;
    if (!whole) {
      pos += kPageSize;
      continue;
    }
    if (h.NamesItself()) cells_.push_back(CellRec{static_cast<uint32_t>(pos + kBinHeaderSize), size - kBinHeaderSize});
    pos += size;
  }
}

void Finder::IndexPages() {
  size_t pages = areaEnd_ / kPageSize + 2;
  pageFirst_.assign(pages, static_cast<uint32_t>(cells_.size()));
  size_t page = 0;
  for (size_t i = 0; i < cells_.size(); ++i) {
    uint64_t end = uint64_t{cells_[i].pos} + cells_[i].len;
    while (page < pages && uint64_t{page} * kPageSize < end) pageFirst_[page++] = static_cast<uint32_t>(i);
  }
}

int Finder::CellContaining(uint64_t pos) const {
  uint64_t page = pos / kPageSize;
  if (page + 1 >= pageFirst_.size()) return -1;
  auto from = cells_.begin() + pageFirst_[page], to = cells_.begin() + pageFirst_[page + 1];
  if (to != cells_.end()) ++to;
  auto it = std::upper_bound(from, to, pos, [](uint64_t p, const CellRec& c) { return p < c.pos; });
  if (it == cells_.begin()) return -1;
  --it;
  if (pos >= uint64_t{it->pos} + it->len) return -1;
  return static_cast<int>(it - cells_.begin());
}

int Finder::CellAt(uint64_t pos) const {
  int i = CellContaining(pos);
  return i >= 0 && cells_[i].pos == pos ? i : -1;
}

// Marks an allocated cell as the live tree's; false when there is none at
// `pos` or it was reached before (which also ends every loop of the walk).
bool Finder::Reach(uint64_t pos, uint64_t used) {
  int i = CellAt(pos);
  if (i < 0 || !cells_[i].alloc || cells_[i].reached) return false;
  cells_[i].reached = true;
  cells_[i].used = static_cast<uint32_t>(std::min<uint64_t>(used, cells_[i].len));
  return true;
}

void Finder::ReachValueData(const VkCell& vk) {
  if (vk.InlineData()) return;
  uint32_t length = vk.DataLength();
  if (length == 0 || vk.DataOffset() == kNoCell) return;
  uint64_t at = CellPos(vk.DataOffset());
  DbCell db(image_, at);
  if (bigData_ && length > kBigDataThreshold && db.Valid() && db.Signature() == kSigDb) {
    Reach(at, 16);
    uint32_t n = db.SegmentCount();
    uint64_t list = CellPos(db.ddlistOffset());
    if (!Reach(list, 4 + 4ull * n)) return;
    OffsetListCell segments(image_, list);
    uint64_t left = length;
    for (uint32_t i = 0; i < n && left > 0; ++i) {
      uint64_t part = std::min<uint64_t>(left, kSegmentData);
      Reach(CellPos(segments.Entry(i)), 4 + part);
      left -= part;
    }
    return;
  }
  Reach(at, 4ull + length);
}

// The tree as the hive reader sees it, with an explicit stack: every cell it
// reaches is kept out of the listing, and only the unused end of those cells
// is searched.
void Finder::WalkLive() {
  std::vector<std::pair<uint32_t, uint32_t>> keys{{rootPos_, 0}};  // nk, its parent
  std::vector<std::pair<uint32_t, uint32_t>> lists;                // index cell, owning nk
  while (!keys.empty() || !lists.empty()) {
    if (!lists.empty()) {
      auto [at, owner] = lists.back();
      lists.pop_back();
      IndexCell index(image_, at);
      uint16_t sig = index.Signature();
      if (sig != kSigLf && sig != kSigLh && sig != kSigLi && sig != kSigRi) continue;
      if (!Reach(at, IndexCell::kEntries + uint64_t{index.EntrySize()} * index.Count())) continue;
      for (uint32_t i = 0; i < index.Count(); ++i) {
        uint64_t to = CellPos(index.KeyOffset(i));
        if (to > 0xFFFFFFFFu) continue;
        if (sig == kSigRi)
          lists.emplace_back(static_cast<uint32_t>(to), owner);
        else
          keys.emplace_back(static_cast<uint32_t>(to), owner);
      }
      continue;
    }
    auto [at, parent] = keys.back();
    keys.pop_back();
    NkCell nk(image_, at);
    if (ShapeOf(nk) != Shape::kSound || !Reach(at, uint64_t{NkCell::kHeaderLength} + nk.KeyLength())) continue;
    CellRec& self = cells_[CellAt(at)];
    self.liveKey = true;
    self.parent = parent;
    if (nk.SubkeyOffset() != kNoCell && CellPos(nk.SubkeyOffset()) <= 0xFFFFFFFFu)
      lists.emplace_back(static_cast<uint32_t>(CellPos(nk.SubkeyOffset())), at);
    if (nk.ClassLength() > 0 && nk.ClassOffset() != kNoCell) Reach(CellPos(nk.ClassOffset()), 4ull + nk.ClassLength());
    SkCell sk(image_, CellPos(nk.skOffset()));
    if (nk.skOffset() != kNoCell && ShapeOf(sk) == Shape::kSound)
      Reach(sk.Pos(), uint64_t{SkCell::kHeaderLength} + sk.DescriptorLength());
    uint32_t count = nk.vklistCount();
    if (count == 0 || nk.vklistOffset() == kNoCell) continue;
    uint64_t listPos = CellPos(nk.vklistOffset());
    int li = CellAt(listPos);
    if (li < 0) continue;
    uint32_t n = std::min<uint32_t>(count, (cells_[li].len - 4) / 4);
    if (!Reach(listPos, 4 + 4ull * n)) continue;
    liveValueLists_.emplace_back(static_cast<uint32_t>(listPos), n);
    OffsetListCell list(image_, listPos);
    for (uint32_t i = 0; i < n; ++i) {
      VkCell vk(image_, CellPos(list.Entry(i)));
      if (ShapeOf(vk) != Shape::kSound || !Reach(vk.Pos(), uint64_t{VkCell::kHeaderLength} + vk.NameLength())) continue;
      ReachValueData(vk);
    }
  }
}

bool Finder::SoundKey(const NkCell& nk, uint64_t end) const {
  if (ShapeOf(nk) != Shape::kSound || nk.KeyLength() == 0) return false;
  if (nk.Pos() + uint64_t{NkCell::kHeaderLength} + nk.KeyLength() > end) return false;
  if ((nk.Flags() & NkCell::kFlagRoot) != 0) return false;
  if (nk.TimeStamp() < kTimeLow || nk.TimeStamp() >= kTimeHigh) return false;
  char16_t first = 0;
  if (NameUnits(nk.KeyName(), nk.KeyLength(), nk.KeyNameAvail(), nk.AsciiName(), &first, 1) == 0) return false;
  // The parent's cell may have been taken again since: whether it is still
  // a key decides where the key goes (BuildTree), not whether it is one.
  if (!InBins(CellPos(nk.ParentOffset()))) return false;
  for (uint32_t off : {nk.SubkeyOffset(), nk.vklistOffset(), nk.skOffset(), nk.ClassOffset()})
    if (off != kNoCell && !InBins(CellPos(off)) && off != 0) return false;
  if (nk.vklistCount() > 0 && !InBins(CellPos(nk.vklistOffset()))) return false;
  return true;
}

bool Finder::SoundValue(const VkCell& vk, uint64_t end) const {
  if (ShapeOf(vk) != Shape::kSound) return false;
  if (vk.Pos() + uint64_t{VkCell::kHeaderLength} + vk.NameLength() > end) return false;
  uint32_t length = vk.DataLength();
  if (vk.InlineData()) return (length & 0x7FFFFFFFu) <= 4;
  if (length == 0) return true;
  return length <= areaEnd_ && InBins(CellPos(vk.DataOffset()));
}

void Finder::ScanRegion(uint64_t start, uint64_t end) {
  for (uint64_t p = start; p + 8 <= end; p += 8) {
    uint16_t sig = image_.U16(p + 4);
    if (sig == kSigNk) {
      if (SoundKey(NkCell(image_, p), end)) candidates_.push_back(Candidate{static_cast<uint32_t>(p), true});
    } else if (sig == kSigVk) {
      if (SoundValue(VkCell(image_, p), end)) candidates_.push_back(Candidate{static_cast<uint32_t>(p), false});
    }
  }
}

// Whether the cell that once held `length` bytes at `pos` (size word
// included) still holds them: its old size word says it was that long, it
// lies in free space (or behind what a live cell uses), and no record found
// in the free space begins inside it.
bool Finder::Held(uint64_t pos, uint64_t length) const {
  if (!InBins(pos) || !image_.Contains(pos, length)) return false;
  int32_t word = static_cast<int32_t>(image_.U32(pos));
  uint32_t m = word < 0 ? 0u - static_cast<uint32_t>(word) : static_cast<uint32_t>(word);
  if (m % 8 != 0 || m < length) return false;
  int i = CellContaining(pos);
  if (i < 0 || pos + length > uint64_t{cells_[i].pos} + cells_[i].len) return false;
  const CellRec& c = cells_[i];
  if (c.alloc && !(c.reached && pos >= c.pos + RoundUp8(c.used))) return false;
  // A record at `pos` itself means the cell was taken for it.
  auto it = std::lower_bound(candidates_.begin(), candidates_.end(), pos,
                             [](const Candidate& k, uint64_t p) { return k.pos < p; });
  return it == candidates_.end() || it->pos >= pos + length;
}

RecoveredValue Finder::ReadValue(uint32_t pos) const {
  VkCell vk(image_, pos);
  RecoveredValue v;
  v.Offset = CellOffsetOf(pos);
  v.Flags = vk.Flags();
  v.Type = vk.DataType();
  v.NameBytes.assign(vk.Name(), vk.Name() + vk.NameLength());
  v.Name = UnitsOf(vk.Name(), vk.NameLength(), vk.AsciiName(), vk.NameAvail());
  uint32_t length = vk.DataLength() & 0x7FFFFFFFu;
  if (vk.InlineData()) {
    const uint8_t* held = vk.Ptr(VkCell::kDataOffset, 4);
    if (held != nullptr) v.Data.assign(held, held + length);
    return v;
  }
  if (length == 0) return v;
  uint64_t at = CellPos(vk.DataOffset());
  if (!(bigData_ && length > kBigDataThreshold)) {
    if (Held(at, 4ull + length)) {
      const uint8_t* data = image_.At(at + 4, length);
      v.Data.assign(data, data + length);
    } else {
      v.Complete = false;
    }
    return v;
  }
  uint32_t n = static_cast<uint32_t>((uint64_t{length} + kSegmentData - 1) / kSegmentData);
  DbCell db(image_, at);
  uint64_t list = CellPos(db.ddlistOffset());
  if (!Held(at, 16) || db.Signature() != kSigDb || db.SegmentCount() != n || !Held(list, 4 + 4ull * n)) {
    v.Complete = false;
    return v;
  }
  OffsetListCell segments(image_, list);
  uint64_t left = length;
  for (uint32_t i = 0; i < n; ++i) {
    uint64_t part = std::min<uint64_t>(left, kSegmentData);
    uint64_t seg = CellPos(segments.Entry(i));
    if (!Held(seg, 4 + part)) {
      v.Complete = false;
      return v;
    }
    const uint8_t* data = image_.At(seg + 4, part);
    v.Data.insert(v.Data.end(), data, data + part);
    left -= part;
  }
  return v;
}

int Finder::CandidateAt(uint64_t pos, bool key) const {
  auto it = std::lower_bound(candidates_.begin(), candidates_.end(), pos,
                             [](const Candidate& k, uint64_t p) { return k.pos < p; });
  if (it == candidates_.end() || it->pos != pos || it->isKey != key) return -1;
  return static_cast<int>(it - candidates_.begin());
}

std::u16string Finder::LivePath(uint32_t pos) const {
  std::vector<uint32_t> chain;
  // The live walk gave every key one parent and reached it first: no loop.
  for (uint32_t at = pos; at != rootPos_ && at != 0;) {
    chain.push_back(at);
    int i = CellAt(at);
    if (i < 0 || !cells_[i].liveKey) break;
    at = cells_[i].parent;
  }
  std::u16string path;
  for (size_t i = chain.size(); i-- > 0;) {
    NkCell nk(image_, chain[i]);
    if (!path.empty()) path += u'\\';
    path += UnitsOf(nk.KeyName(), nk.KeyLength(), nk.AsciiName(), nk.KeyNameAvail());
  }
  return path;
}

void Finder::BuildTree(DeletedScan& scan) {
  // Per key candidate: its parent among the candidates (-1), and whether
  // that parent is live.
  std::vector<int> keyIds;
  std::vector<int> slot(candidates_.size(), -1);
  for (size_t i = 0; i < candidates_.size(); ++i)
    if (candidates_[i].isKey) {
      slot[i] = static_cast<int>(keyIds.size());
      keyIds.push_back(static_cast<int>(i));
    }
  size_t n = keyIds.size();
  std::vector<int> parent(n, -1);
  std::vector<uint8_t> live(n, 0), named(n, 0);
  for (size_t k = 0; k < n; ++k) {
    NkCell nk(image_, candidates_[keyIds[k]].pos);
    uint64_t p = CellPos(nk.ParentOffset());
    int pc = CandidateAt(p, true);
    if (pc >= 0 && slot[pc] != static_cast<int>(k)) {
      parent[k] = slot[pc];
      named[slot[pc]] = 1;
    } else if (LiveKey(p)) {
      live[k] = 1;
    }
  }
  // A key counts when its chain reaches the live tree, or ends at a key
  // whose own parent is gone but which some other key names; a chain that
  // runs in a circle counts as neither.
  enum : uint8_t { kUnknown, kVisiting, kOut, kAnchored, kOrphan };
  std::vector<uint8_t> state(n, kUnknown);
  for (size_t k = 0; k < n; ++k) {
    std::vector<size_t> chain;
    size_t at = k;
    uint8_t result = kOut;
    while (true) {
      if (state[at] == kVisiting) break;  // a circle
      if (state[at] != kUnknown) {
        result = state[at];
        break;
      }
      state[at] = kVisiting;
      chain.push_back(at);
      if (live[at]) {
        result = kAnchored;
        break;
      }
      if (parent[at] < 0) {
        result = named[at] ? kOrphan : kOut;
        break;
      }
      at = static_cast<size_t>(parent[at]);
    }
    for (size_t c : chain) state[c] = result;
  }
  // Counted keys in tree order: tops first (complete paths before the rest),
  // each followed by its subtree in sibling order.
  std::vector<std::vector<size_t>> children(n);
  std::vector<size_t> tops;
  for (size_t k = 0; k < n; ++k) {
    if (state[k] != kAnchored && state[k] != kOrphan) continue;
    if (parent[k] >= 0)
      children[parent[k]].push_back(k);
    else
      tops.push_back(k);
  }
  std::vector<std::u16string> names(n);
  for (size_t k = 0; k < n; ++k) {
    if (state[k] != kAnchored && state[k] != kOrphan) continue;
    NkCell nk(image_, candidates_[keyIds[k]].pos);
    names[k] = UnitsOf(nk.KeyName(), nk.KeyLength(), nk.AsciiName(), nk.KeyNameAvail());
  }
  std::vector<std::u16string> topPath(n);
  for (size_t k : tops) {
    NkCell nk(image_, candidates_[keyIds[k]].pos);
    if (live[k]) {
      std::u16string base = LivePath(static_cast<uint32_t>(CellPos(nk.ParentOffset())));
      topPath[k] = base.empty() ? names[k] : base + u'\\' + names[k];
    } else {
      topPath[k] = names[k];
    }
  }
  auto byName = [&](size_t a, size_t b) {
    int c = CompareSiblingOrder(names[a], names[b]);
    return c != 0 ? c < 0 : keyIds[a] < keyIds[b];
  };
  std::sort(tops.begin(), tops.end(), [&](size_t a, size_t b) {
    if (live[a] != live[b]) return live[a] > live[b];
    int c = CompareSiblingOrder(topPath[a], topPath[b]);
    return c != 0 ? c < 0 : keyIds[a] < keyIds[b];
  });
  for (auto& list : children) std::sort(list.begin(), list.end(), byName);

  std::vector<uint8_t> claimed(candidates_.size(), 0);
  std::vector<std::pair<size_t, int>> pending;  // key, index of its parent in scan.Keys
  for (size_t i = tops.size(); i-- > 0;) pending.emplace_back(tops[i], -1);
  while (!pending.empty()) {
    auto [k, up] = pending.back();
    pending.pop_back();
    NkCell nk(image_, candidates_[keyIds[k]].pos);
    RecoveredKey key;
    key.Offset = CellOffsetOf(nk.Pos());
    key.ParentOffset = nk.ParentOffset();
    key.Name = names[k];
    key.NameBytes.assign(nk.KeyName(), nk.KeyName() + nk.KeyLength());
    key.Flags = nk.Flags();
    key.LastWrite = nk.TimeStamp();
    key.Parent = up;
    key.ParentLive = live[k] != 0;
    key.PathComplete = up >= 0 ? scan.Keys[up].PathComplete : live[k] != 0;
    key.Path = up >= 0 ? scan.Keys[up].Path + u'\\' + names[k] : topPath[k];
    uint64_t classPos = CellPos(nk.ClassOffset());
    if (nk.ClassLength() > 0 && nk.ClassOffset() != kNoCell && Held(classPos, 4ull + nk.ClassLength())) {
      key.HasClass = true;
      key.Class = UnitsOf(image_.At(classPos + 4, nk.ClassLength()), nk.ClassLength(), false);
    }
    // The value list, where its cell still holds it: only entries that are
    // deleted values themselves.
    uint32_t count = nk.vklistCount();
    uint64_t listPos = CellPos(nk.vklistOffset());
    if (count > 0 && count <= (areaEnd_ / 4) && Held(listPos, 4 + 4ull * count)) {
      OffsetListCell list(image_, listPos);
      for (uint32_t i = 0; i < count; ++i) {
        int vc = CandidateAt(CellPos(list.Entry(i)), false);
        if (vc < 0 || claimed[vc]) continue;
        claimed[vc] = 1;
        key.Values.push_back(ReadValue(candidates_[vc].pos));
      }
    }
    int index = static_cast<int>(scan.Keys.size());
    if (up >= 0) scan.Keys[up].Children.push_back(index);
    scan.Keys.push_back(std::move(key));
    for (size_t i = children[k].size(); i-- > 0;) pending.emplace_back(children[k][i], index);
  }
  // Values deleted from a live key: its list was shortened, so its cell may
  // still name them past the count.
  std::vector<std::pair<uint32_t, uint32_t>> owners;  // vk candidate, list
  for (auto [listPos, count] : liveValueLists_) {
    int li = CellAt(listPos);
    OffsetListCell list(image_, listPos);
    uint32_t slots = (cells_[li].len - 4) / 4;
    for (uint32_t i = count; i < slots; ++i) {
      int vc = CandidateAt(CellPos(list.Entry(i)), false);
      if (vc >= 0 && !claimed[vc]) owners.emplace_back(static_cast<uint32_t>(vc), listPos);
    }
  }
  std::unordered_map<uint32_t, uint32_t> listOwner;  // value list, its key
  for (const CellRec& c : cells_) {
    if (owners.empty()) break;
    if (!c.liveKey) continue;
    NkCell nk(image_, c.pos);
    if (nk.vklistCount() > 0) listOwner.emplace(static_cast<uint32_t>(CellPos(nk.vklistOffset())), c.pos);
  }
  std::unordered_map<uint32_t, uint32_t> ownerOf;
  for (auto [vc, listPos] : owners) ownerOf.emplace(vc, listPos);
  for (size_t i = 0; i < candidates_.size(); ++i) {
    if (candidates_[i].isKey || claimed[i]) continue;
    RecoveredValue v = ReadValue(candidates_[i].pos);
    auto it = ownerOf.find(static_cast<uint32_t>(i));
    if (it != ownerOf.end()) {
      auto key = listOwner.find(it->second);
      if (key != listOwner.end()) {
        v.LiveKey = CellOffsetOf(key->second);
        v.LiveKeyPath = LivePath(key->second);
      }
    }
    scan.Values.push_back(std::move(v));
  }
}

DeletedScan Finder::Run() {
  DeletedScan scan;
  BaseBlock bb(image_);
  if (image_.Size() < kFirstCellPos || !bb.HasSignature()) return scan;
  binsEnd_ = image_.HbinsEnd();
  bigData_ = HasBigData(bb.MajorVersion(), bb.MinorVersion());
  scan.BigData = bigData_;
  MapCells();
  if (cells_.empty()) return scan;
  IndexPages();
  scan.Readable = true;
  uint64_t root = CellPos(bb.RootCellOffset());
  if (root > 0xFFFFFFFFu) return scan;
  rootPos_ = static_cast<uint32_t>(root);
  WalkLive();
  for (const CellRec& c : cells_) {
    if (!c.alloc)
      ScanRegion(c.pos, uint64_t{c.pos} + c.len);
    else if (c.reached && RoundUp8(c.used) < c.len)
      ScanRegion(c.pos + RoundUp8(c.used), uint64_t{c.pos} + c.len);
  }
  BuildTree(scan);
  return scan;
}

}  // namespace

DeletedScan FindDeleted(const uint8_t* bytes, size_t size) {
  if (bytes == nullptr) return DeletedScan{};
  return Finder(bytes, size).Run();
}

int FindRecoveredKey(const DeletedScan& scan, std::u16string_view path) {
  while (!path.empty() && path.front() == u'\\') path.remove_prefix(1);
  while (!path.empty() && path.back() == u'\\') path.remove_suffix(1);
  for (size_t i = 0; i < scan.Keys.size(); ++i)
    if (scan.Keys[i].PathComplete && CompareSiblingOrder(scan.Keys[i].Path, path) == 0) return static_cast<int>(i);
  return -1;
}

int FindRecoveredKeyAt(const DeletedScan& scan, uint32_t offset) {
  for (size_t i = 0; i < scan.Keys.size(); ++i)
    if (scan.Keys[i].Offset == offset) return static_cast<int>(i);
  return -1;
}

}  // namespace quelbrix::deleted
