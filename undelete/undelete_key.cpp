#include <algorithm>
#include <cstring>

#include "hive/access_map.h"
#include "hive/base_block.h"
#include "hive/bins.h"
#include "hive/cells.h"
#include "hive/image.h"
#include "hive/names.h"
#include "repair/allocator.h"
#include "undelete/undelete.h"

namespace quelbrix::undelete {
namespace {

using deleted::RecoveredKey;
using deleted::RecoveredValue;

// More keys than this under one key go into leaves under an ri cell.
constexpr size_t kLeafEntries = 500;

// `available`: the stored bytes that lie inside the image, when fewer.
std::u16string UnitsOf(const uint8_t* stored, uint32_t length, bool eightBit, uint32_t available = 0xFFFFFFFFu) {
  std::u16string out(length, u'\0');
  out.resize(NameUnits(stored, length, std::min(length, available), eightBit, out.data(), out.size()));
  return out;
}

// A name as stored, with " (n)" after it in its own encoding.
std::vector<uint8_t> Suffixed(const std::vector<uint8_t>& stored, bool eightBit, int n) {
  std::vector<uint8_t> out = stored;
  std::string suffix = " (" + std::to_string(n) + ")";
  for (char c : suffix) {
    out.push_back(static_cast<uint8_t>(c));
    if (!eightBit) out.push_back(0);
  }
  return out;
}

class Writer {
 public:
  explicit Writer(PassState& ctx) : ctx_(ctx), image_(ctx) {
    uint32_t major = BaseBlock(image_).MajorVersion(), minor = BaseBlock(image_).MinorVersion();
    leaf_ = major > 1 || minor >= 5 ? kSigLh : minor >= 3 ? kSigLf : kSigLi;
    bigData_ = HasBigData(major, minor);
  }

  void PrepareAllocator();
  bool Restore(const deleted::DeletedScan& scan, int key, UndeleteResult& result);

 private:
  struct Child {
    uint32_t pos;
    std::u16string units;
  };
  uint32_t New(uint64_t length);
  // Bytes into a cell New gave; a cell that is not all inside the image
  // fails the restore rather than being written past.
  void Put(uint64_t pos, const uint8_t* bytes, size_t n) {
    uint8_t* at = image_.At(pos, n);
    if (at == nullptr) failed_ = true;
    if (at != nullptr && n > 0) std::memcpy(at, bytes, n);
  }
  std::vector<Child> LiveChildren(uint32_t key, std::vector<uint32_t>* indexCells) const;
  uint32_t WriteIndex(std::vector<Child>& kids);
  bool Link(uint32_t parent, uint32_t child, const std::u16string& units);
  uint32_t WriteKey(const RecoveredKey& key, const std::vector<uint8_t>& name, uint32_t parent, uint32_t sk,
                    UndeleteResult& result);
  uint32_t WriteValue(const RecoveredValue& value);
  uint32_t WriteData(const std::vector<uint8_t>& data);
  uint32_t FindOrMakeRecovered(uint32_t root, uint64_t time);
  std::u16string NameOf(uint32_t nk) const {
    NkCell cell(image_, nk);
    return UnitsOf(cell.KeyName(), cell.KeyLength(), cell.AsciiName(), cell.KeyNameAvail());
  }
  std::vector<uint8_t> UniqueName(const std::vector<uint8_t>& stored, bool eightBit, const std::vector<Child>& taken,
                                  int* suffix) const;

  PassState& ctx_;
  HiveImage image_;
  uint16_t leaf_ = kSigLh;
  bool bigData_ = true;
  bool failed_ = false;
};

// The bin shadows the allocator keeps, as the bin walk of a scan leaves
// them: where each bin's free space ends, the bins' sizes and the last bin.
void Writer::PrepareAllocator() {
  AccessMap map(ctx_);
  map.ClearAll();
  ctx_.AccessMapZero = false;
  ScanTotals totals(map);
  uint32_t hbinsSize = image_.HbinsDataSize();
  uint32_t prevSize = 0;
  BinCursor bins(image_, uint64_t{kBaseBlockSize} + hbinsSize);
  while (bins.Check() == WalkStop::kNone) {
    BinHeader h = bins.Header();
    BinShadow shadow(map, static_cast<uint32_t>(h.Pos()));
    for (CellCursor c = CellCursor::OfBin(image_, h.Pos(), h.Pos() + h.Size()); c.Check() == WalkStop::kNone;
         c.Next()) {
      if (c.SizeWord() > 0) {
        if (shadow.FreeTail() == 0) shadow.SetFreeTail(static_cast<uint32_t>(c.Pos()));
      } else {
        shadow.SetFreeTail(0);
      }
    }
    shadow.SetPrevBinSize(prevSize);
    prevSize = h.Size();
    totals.Set(Total::LastHbinOffset, hbinsSize - h.Size());
    if (bins.Next() != WalkStop::kNone) break;
  }
}

uint32_t Writer::New(uint64_t length) {
  if (failed_ || length > 0x7FFFFFF8u) {
    failed_ = true;
    return 0;
  }
  uint32_t cell = GetNewCells(ctx_, false, 0, static_cast<int32_t>(RoundUp8(length)));
  if (cell == 0) failed_ = true;
  image_ = HiveImage(ctx_);
  return cell;
}

// The keys a live key lists, and the index cells that list them.
std::vector<Writer::Child> Writer::LiveChildren(uint32_t key, std::vector<uint32_t>* indexCells) const {
  std::vector<Child> kids;
  NkCell nk(image_, key);
  if (nk.SubkeyOffset() == kNoCell) return kids;
  std::vector<std::pair<uint64_t, int>> pending{{CellPos(nk.SubkeyOffset()), 0}};
  while (!pending.empty()) {
    auto [at, depth] = pending.back();
    pending.pop_back();
    IndexCell cell(image_, at);
    uint16_t sig = cell.Signature();
    if (!cell.Valid() || !cell.Allocated() || depth > 64) continue;
    if (sig != kSigLf && sig != kSigLh && sig != kSigLi && sig != kSigRi) continue;
    indexCells->push_back(static_cast<uint32_t>(at));
    uint32_t fits = cell.Length() >= IndexCell::kEntries ? (cell.Length() - IndexCell::kEntries) / cell.EntrySize() : 0;
    uint32_t count = std::min<uint32_t>(cell.Count(), fits);
    for (uint32_t i = count; i-- > 0;) {
      uint64_t to = CellPos(cell.KeyOffset(i));
      if (sig == kSigRi) {
        pending.emplace_back(to, depth + 1);
        continue;
      }
      NkCell child(image_, to);
      if (ShapeOf(child) == Shape::kSound && child.Allocated())
        kids.push_back(Child{static_cast<uint32_t>(to), NameOf(static_cast<uint32_t>(to))});
    }
  }
  return kids;
}

// A subkey index for `kids` (sorted here): one leaf, or leaves under an ri.
uint32_t Writer::WriteIndex(std::vector<Child>& kids) {
  std::stable_sort(kids.begin(), kids.end(),
                   [](const Child& a, const Child& b) { return CompareSiblingOrder(a.units, b.units) < 0; });
  uint32_t entry = leaf_ == kSigLi ? 4 : 8;
  std::vector<uint32_t> leaves;
  for (size_t from = 0; from < kids.size(); from += kLeafEntries) {
    size_t n = std::min(kLeafEntries, kids.size() - from);
    uint32_t at = New(IndexCell::kEntries + uint64_t{entry} * n);
    if (at == 0) return 0;
    IndexCell cell(image_, at);
    cell.SetU16(4, leaf_);
    cell.SetCount(static_cast<uint16_t>(n));
    for (size_t i = 0; i < n; ++i) {
      const Child& kid = kids[from + i];
      cell.SetKeyOffset(static_cast<uint32_t>(i), CellOffsetOf(kid.pos));
      if (leaf_ == kSigLh) cell.SetHash(static_cast<uint32_t>(i), LhNameHash(kid.units));
      if (leaf_ == kSigLf) cell.SetHash(static_cast<uint32_t>(i), LfNameHint(kid.units));
    }
    leaves.push_back(at);
  }
  if (leaves.size() == 1) return leaves[0];
  uint32_t ri = New(IndexCell::kEntries + 4ull * leaves.size());
  if (ri == 0) return 0;
  IndexCell top(image_, ri);
  top.SetU16(4, kSigRi);
  top.SetCount(static_cast<uint16_t>(leaves.size()));
  for (size_t i = 0; i < leaves.size(); ++i) top.SetKeyOffset(static_cast<uint32_t>(i), CellOffsetOf(leaves[i]));
  return ri;
}

// Adds `child` to the live key `parent`: a new index with it, the old
// index cells given back, the counts of the parent made to follow.
bool Writer::Link(uint32_t parent, uint32_t child, const std::u16string& units) {
  std::vector<uint32_t> old;
  std::vector<Child> kids = LiveChildren(parent, &old);
  kids.push_back(Child{child, units});
  if (kids.size() > 0xFFFFu * kLeafEntries) return false;
  uint32_t index = WriteIndex(kids);
  if (index == 0) return false;
  for (uint32_t cell : old) FreeCell(ctx_, CellView(image_, cell));
  NkCell nk(image_, parent);
  nk.SetSubkeyCount(static_cast<uint32_t>(kids.size()));
  nk.SetSubkeyOffset(CellOffsetOf(index));
  if (units.size() > nk.MaxSubkey()) nk.SetMaxSubkey(static_cast<uint16_t>(std::min<size_t>(units.size(), 0xFFFF)));
  return true;
}

std::vector<uint8_t> Writer::UniqueName(const std::vector<uint8_t>& stored, bool eightBit,
                                        const std::vector<Child>& taken, int* suffix) const {
  *suffix = 0;
  std::vector<uint8_t> name = stored;
  for (int n = 2;; ++n) {
    std::u16string units = UnitsOf(name.data(), static_cast<uint32_t>(name.size()), eightBit);
    bool clash = std::any_of(taken.begin(), taken.end(),
                             [&](const Child& c) { return CompareSiblingOrder(c.units, units) == 0; });
    if (!clash) return name;
    *suffix = n;
    name = Suffixed(stored, eightBit, n);
  }
}

uint32_t Writer::WriteData(const std::vector<uint8_t>& data) {
  if (!(bigData_ && data.size() > kBigDataThreshold)) {
    uint32_t cell = New(4ull + data.size());
    if (cell != 0) Put(cell + 4, data.data(), data.size());
    return cell;
  }
  uint32_t n = static_cast<uint32_t>((data.size() + kSegmentData - 1) / kSegmentData);
  uint32_t db = New(16);
  uint32_t list = New(4 + 4ull * n);
  if (db == 0 || list == 0) return 0;
  OffsetListCell segments(image_, list);
  for (uint32_t i = 0; i < n; ++i) {
    size_t from = size_t{i} * kSegmentData;
    size_t part = std::min<size_t>(kSegmentData, data.size() - from);
    uint32_t seg = New(kSegmentCellSize);
    if (seg == 0) return 0;
    Put(seg + 4, data.data() + from, part);
    segments = OffsetListCell(image_, list);
    segments.SetEntry(i, CellOffsetOf(seg));
  }
  DbCell cell(image_, db);
  cell.SetU16(4, kSigDb);
  cell.SetSegmentCount(static_cast<uint16_t>(n));
  cell.SetddlistOffset(CellOffsetOf(list));
  cell.SetUnknown(0);
  return db;
}

uint32_t Writer::WriteValue(const RecoveredValue& value) {
  uint32_t data = 0;
  if (value.Data.size() > 4) {
    data = WriteData(value.Data);
    if (data == 0) return 0;
  }
  uint32_t at = New(VkCell::kHeaderLength + uint64_t{value.NameBytes.size()});
  if (at == 0) return 0;
  VkCell vk(image_, at);
  vk.SetU16(4, kSigVk);
  vk.SetNameLength(static_cast<uint16_t>(value.NameBytes.size()));
  vk.SetDataType(value.Type);
  vk.SetFlags(value.Flags);
  if (value.Data.size() > 4) {
    vk.SetDataLength(static_cast<uint32_t>(value.Data.size()));
    vk.SetDataOffset(CellOffsetOf(data));
  } else {
    uint32_t held = 0;
    for (size_t i = 0; i < value.Data.size(); ++i) held |= uint32_t{value.Data[i]} << (8 * i);
    vk.SetDataLength(VkCell::kInlineFlag | static_cast<uint32_t>(value.Data.size()));
    vk.SetDataOffset(held);
  }
  Put(at + VkCell::kName, value.NameBytes.data(), value.NameBytes.size());
  return at;
}

// One key with its class and complete values; its subkeys come later.
uint32_t Writer::WriteKey(const RecoveredKey& key, const std::vector<uint8_t>& name, uint32_t parent, uint32_t sk,
                          UndeleteResult& result) {
  std::vector<uint32_t> values;
  uint32_t maxName = 0, maxData = 0;
  for (const RecoveredValue& value : key.Values) {
    if (!value.Complete) {
      ++result.LeftOut;
      continue;
    }
    uint32_t vk = WriteValue(value);
    if (vk == 0) return 0;
    values.push_back(vk);
    maxName = std::max<uint32_t>(maxName, static_cast<uint32_t>(value.Name.size() * 2));
    maxData = std::max<uint32_t>(maxData, static_cast<uint32_t>(value.Data.size()));
  }
  uint32_t list = 0;
  if (!values.empty()) {
    list = New(4 + 4ull * values.size());
    if (list == 0) return 0;
    OffsetListCell cells(image_, list);
    for (size_t i = 0; i < values.size(); ++i) cells.SetEntry(static_cast<uint32_t>(i), CellOffsetOf(values[i]));
  }
  uint32_t classCell = 0;
  size_t classBytes = key.HasClass ? key.Class.size() * 2 : 0;
  if (classBytes > 0) {
    classCell = New(4 + classBytes);
    if (classCell == 0) return 0;
    std::vector<uint8_t> units;
    for (char16_t u : key.Class) units.insert(units.end(), {static_cast<uint8_t>(u), static_cast<uint8_t>(u >> 8)});
    Put(classCell + 4, units.data(), units.size());
  }
  uint32_t at = New(NkCell::kHeaderLength + uint64_t{name.size()});
  if (at == 0) return 0;
  NkCell nk(image_, at);
  nk.SetU16(4, kSigNk);
  // Volatile keys never reach a file and the root flag belongs to the root alone.
  nk.SetFlags(static_cast<uint16_t>(key.Flags & ~(NkCell::kFlagRoot | 0x0001)));
  nk.SetTimeStamp(key.LastWrite);
  nk.SetParentOffset(CellOffsetOf(parent));
  nk.SetSubkeyOffset(kNoCell);
  nk.SetSubkeyOffset1(kNoCell);
  nk.SetvklistCount(static_cast<uint32_t>(values.size()));
  nk.SetvklistOffset(list ? CellOffsetOf(list) : kNoCell);
  nk.SetskOffset(sk);
  nk.SetClassOffset(classCell ? CellOffsetOf(classCell) : kNoCell);
  nk.SetClassLength(static_cast<uint16_t>(classBytes));
  nk.SetMaxName(maxName);
  nk.SetMaxData(maxData);
  nk.SetKeyLength(static_cast<uint16_t>(name.size()));
  Put(at + NkCell::kKeyName, name.data(), name.size());
  if (sk != kNoCell) {
    SkCell cell(image_, CellPos(sk));
    if (cell.Signature() == kSigSk) cell.SetRefCount(cell.RefCount() + 1);
  }
  result.Values += values.size();
  ++result.Keys;
  return at;
}

uint32_t Writer::FindOrMakeRecovered(uint32_t root, uint64_t time) {
  std::vector<uint32_t> old;
  const std::u16string name = u"Recovered";
  for (const Child& kid : LiveChildren(root, &old))
    if (CompareSiblingOrder(kid.units, name) == 0) return kid.pos;
  RecoveredKey made;
  made.Flags = NkCell::kFlagAsciiName;
  made.LastWrite = time;
  std::vector<uint8_t> stored(name.begin(), name.end());
  UndeleteResult ignored;
  uint32_t sk = NkCell(image_, root).skOffset();
  uint32_t at = WriteKey(made, stored, root, sk, ignored);
  if (at == 0 || !Link(root, at, name)) return 0;
  return at;
}

bool Writer::Restore(const deleted::DeletedScan& scan, int index, UndeleteResult& result) {
  const RecoveredKey& key = scan.Keys[index];
  BaseBlock bb(image_);
  uint32_t root = static_cast<uint32_t>(CellPos(bb.RootCellOffset()));
  uint64_t parentPos = CellPos(key.ParentOffset);
  NkCell parentNk(image_, parentPos);
  uint32_t parent = 0;
  std::u16string parentPath;
  if (key.ParentLive && parentNk.Allocated() && ShapeOf(parentNk) == Shape::kSound) {
    parent = static_cast<uint32_t>(parentPos);
    size_t cut = key.Path.rfind(u'\\');
    parentPath = cut == std::u16string::npos ? u"" : key.Path.substr(0, cut);
  } else {
    parent = FindOrMakeRecovered(root, key.LastWrite);
    if (parent == 0) {
      result.Problem = "no room for the key Recovered";
      return false;
    }
    parentPath = u"Recovered";
    result.UnderRecovered = true;
  }
  bool eightBit = (key.Flags & NkCell::kFlagAsciiName) != 0;
  std::vector<uint32_t> old;
  int suffix = 0;
  std::vector<uint8_t> name = UniqueName(key.NameBytes, eightBit, LiveChildren(parent, &old), &suffix);
  std::u16string units = UnitsOf(name.data(), static_cast<uint32_t>(name.size()), eightBit);
  if (suffix != 0) result.Renames.push_back(Renamed{parentPath.empty() ? key.Name : parentPath + u'\\' + key.Name, units});
  uint32_t sk = NkCell(image_, parent).skOffset();
  uint32_t top = WriteKey(key, name, parent, sk, result);
  if (top == 0) {
    result.Problem = "no room in the hive for the key";
    return false;
  }
  result.KeyOffset = CellOffsetOf(top);
  result.Path = parentPath.empty() ? units : parentPath + u'\\' + units;
  // The subtree, parents first; each key's subkeys get their index once
  // they are all written.
  struct Pending {
    int index;
    uint32_t pos;
    std::u16string path;
  };
  std::vector<Pending> pending{{index, top, result.Path}};
  while (!pending.empty()) {
    Pending at = std::move(pending.back());
    pending.pop_back();
    const RecoveredKey& k = scan.Keys[at.index];
    if (k.Children.empty()) continue;
    std::vector<Child> kids;
    for (int c : k.Children) {
      const RecoveredKey& child = scan.Keys[c];
      bool childEightBit = (child.Flags & NkCell::kFlagAsciiName) != 0;
      std::vector<uint8_t> childName = UniqueName(child.NameBytes, childEightBit, kids, &suffix);
      std::u16string childUnits = UnitsOf(childName.data(), static_cast<uint32_t>(childName.size()), childEightBit);
      if (suffix != 0) result.Renames.push_back(Renamed{at.path + u'\\' + child.Name, childUnits});
      uint32_t pos = WriteKey(child, childName, at.pos, sk, result);
      if (pos == 0) {
        result.Problem = "no room in the hive for a subkey";
        return false;
      }
      kids.push_back(Child{pos, childUnits});
      pending.push_back(Pending{c, pos, at.path + u'\\' + childUnits});
    }
    size_t longest = 0;
    for (const Child& kid : kids) longest = std::max(longest, kid.units.size());
    uint32_t list = WriteIndex(kids);
    if (list == 0) {
      result.Problem = "no room in the hive for a subkey list";
      return false;
    }
    NkCell nk(image_, at.pos);
    nk.SetSubkeyCount(static_cast<uint32_t>(kids.size()));
    nk.SetSubkeyOffset(CellOffsetOf(list));
    nk.SetMaxSubkey(static_cast<uint16_t>(std::min<size_t>(longest, 0xFFFF)));
  }
  if (!Link(parent, top, units)) {
    result.Problem = "no room in the hive for the parent's subkey list";
    return false;
  }
  return !failed_;
}

}  // namespace

UndeleteResult UndeleteKey(PassState& ctx, const deleted::DeletedScan& scan, int key) {
  UndeleteResult result;
  if (ctx.Image == nullptr || key < 0 || static_cast<size_t>(key) >= scan.Keys.size()) {
    result.Problem = "no such recovered key";
    return result;
  }
  Writer writer(ctx);
  writer.PrepareAllocator();
  result.Done = writer.Restore(scan, key, result);
  if (!result.Done && result.Problem.empty()) result.Problem = "no room in the hive";
  return result;
}

}  // namespace quelbrix::undelete
