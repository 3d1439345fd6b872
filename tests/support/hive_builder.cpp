#include "support/hive_builder.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "platform/text.h"

namespace quelbrix::testing {
namespace {

constexpr uint32_t kNone = 0xFFFFFFFFu;
constexpr uint32_t kBaseBlock = 4096;
constexpr uint32_t kBinHeader = 32;
constexpr uint32_t kSegmentData = 16344;
constexpr uint32_t kSegmentCell = 16352;

uint32_t R8(uint64_t x) { return static_cast<uint32_t>((x + 7) & ~uint64_t{7}); }

void Put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
  if (b.size() < at + 2) b.resize(at + 2);
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  if (b.size() < at + 4) b.resize(at + 4);
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void Put64(std::vector<uint8_t>& b, size_t at, uint64_t v) {
  Put32(b, at, static_cast<uint32_t>(v));
  Put32(b, at + 4, static_cast<uint32_t>(v >> 32));
}
void PutBytes(std::vector<uint8_t>& b, size_t at, const void* p, size_t n) {
  if (b.size() < at + n) b.resize(at + n);
  if (n > 0) std::copy_n(static_cast<const uint8_t*>(p), n, b.data() + at);
}
uint32_t Get32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }

// The stored bytes of a name: 8-bit as given, or UTF-16LE.
std::vector<uint8_t> StoredName(const std::string& name8, const std::u16string& name16, bool utf16) {
  std::vector<uint8_t> out;
  if (!utf16) return std::vector<uint8_t>(name8.begin(), name8.end());
  for (char16_t u : name16) {
    out.push_back(static_cast<uint8_t>(u));
    out.push_back(static_cast<uint8_t>(u >> 8));
  }
  return out;
}

std::vector<uint8_t> Utf16Bytes(const std::u16string& s) { return StoredName("", s, true); }

}  // namespace

std::u16string NameUnitsOf(const KeyModel& key) {
  if (key.utf16) return key.name16;
  std::u16string units;
  for (unsigned char c : key.name8) units.push_back(c);
  return units;
}

namespace {

// Every non-ASCII key name the tests use, with its upper-cased units and lh
// hash worked out apart from the engine (python3: str.upper of each UTF-16
// unit where that gives one BMP unit, else the unit; h = 37 h + unit): a test
// hive then agrees with the engine's upcase table only where the engine is
// right.
constexpr NameFact kNameFacts[] = {
    {u"\u0416\u0443\u043a", u"\u0416\u0423\u041a", 0x001676CFu},                    // Cyrillic
    {u"\u0436\u0443\u043a", u"\u0416\u0423\u041a", 0x001676CFu},                    // its lower case
    {u"\u00e9t\u00e9", u"\u00c9T\u00c9", 0x00043FCEu},                                // Latin-1 letters
    {u"\u00c9t\u00c9", u"\u00c9T\u00c9", 0x00043FCEu},                                // as an 8-bit name
    {u"caf\u00e9", u"CAF\u00c9", 0x00352F57u},                                         // 8-bit Latin-1
    {u"\u00dcn\u00efcode Latin", u"\u00dcN\u00cfCODE LATIN", 0x1F20A680u},
    {u"\u00ff", u"\u0178", 0x00000178u},                                              // upper case outside Latin-1
    {u"\u00df", u"\u00df", 0x000000DFu},                                              // no one-unit upper case
    {u"\u3042\u3044", u"\u3042\u3044", 0x000729CEu},                                  // CJK (kana)
    {u"\u65e5\u672c\u8a9e\u30ad\u30fc", u"\u65e5\u672c\u8a9e\u30ad\u30fc", 0xB496527Cu},  // CJK
    {u"\U0001F600", u"\U0001F600", 0x00201ED1u},                                      // a surrogate pair
    {u"\u05e2\u05d1\u05e8\u05d9\u05ea", u"\u05e2\u05d1\u05e8\u05d9\u05ea", 0xACDB081Eu},  // Hebrew: no case
    {u"\u041a\u0438\u0440\u0438\u043b\u043b\u0438\u0446\u0430 \U0001F600",
     u"\u041a\u0418\u0420\u0418\u041b\u041b\u0418\u0426\u0410 \U0001F600", 0xE50A2C53u},
};

bool Ascii(std::u16string_view name) {
  return std::all_of(name.begin(), name.end(), [](char16_t u) { return u < 0x80; });
}

const NameFact& FactOf(std::u16string_view name) {
  for (const NameFact& f : kNameFacts)
    if (f.name == name) return f;
  throw std::invalid_argument("hive builder: no worked-out hash for a non-ASCII key name; add it to kNameFacts");
}

}  // namespace

std::span<const NameFact> NameFacts() { return kNameFacts; }

std::u16string BuilderOrderKey(std::u16string_view name) {
  if (!Ascii(name)) return std::u16string(FactOf(name).upper);
  std::u16string upper(name);
  for (char16_t& u : upper)
    if (u >= u'a' && u <= u'z') u = static_cast<char16_t>(u - 0x20);
  return upper;
}

uint32_t BuilderLhHash(std::u16string_view name) {
  if (!Ascii(name)) return FactOf(name).lhHash;
  uint32_t h = 0;
  for (char16_t u : BuilderOrderKey(name)) h = h * 37 + u;
  return h;
}

uint32_t BuilderLfHint(std::u16string_view name) {
  uint32_t hint = 0;
  for (size_t i = 0; i < name.size() && i < 4; ++i) {
    if (name[i] >= 0x100) return 0;
    hint |= static_cast<uint32_t>(name[i]) << (8 * i);
  }
  return hint;
}

HiveBuilder::HiveBuilder(HiveOptions options) : options_(std::move(options)) {
  KeyModel root;
  root.name8 = options_.rootName;
  root.timeStamp = options_.timeStamp;
  root.extraFlags = 0x0C;  // KEY_HIVE_ENTRY | KEY_NO_DELETE
  keys_.push_back(std::move(root));
  keys_[0].nkCell = NewCell(What::kNk, 0);
  AddSecurity(DefaultDescriptor());
}

int HiveBuilder::NewCell(What what, int owner, int part) {
  Plan plan;
  plan.what = what;
  plan.owner = owner;
  plan.part = part;
  plans_.push_back(std::move(plan));
  return static_cast<int>(plans_.size() - 1);
}

Key HiveBuilder::NewKey(Key parent, KeyModel model) {
  int id = static_cast<int>(keys_.size());
  model.parent = parent.id;
  model.timeStamp = options_.timeStamp;
  KeyModel& p = keys_.at(parent.id);
  if (p.children.empty()) p.indexCell = NewCell(What::kIndex, parent.id);
  p.children.push_back(id);
  keys_.push_back(std::move(model));
  keys_[id].nkCell = NewCell(What::kNk, id);
  return Key{id};
}

Key HiveBuilder::AddKey(Key parent, std::string_view name8) {
  KeyModel m;
  m.name8 = std::string(name8);
  return NewKey(parent, std::move(m));
}

Key HiveBuilder::AddKey(Key parent, std::u16string_view name16) {
  KeyModel m;
  m.name16 = std::u16string(name16);
  m.utf16 = true;
  return NewKey(parent, std::move(m));
}

void HiveBuilder::SetClass(Key key, std::u16string_view className) {
  KeyModel& k = keys_.at(key.id);
  k.className = std::u16string(className);
  k.hasClass = true;
  if (k.classCell < 0) k.classCell = NewCell(What::kClass, key.id);
}

Value HiveBuilder::NewValue(Key key, ValueModel model) {
  int id = static_cast<int>(values_.size());
  model.key = key.id;
  KeyModel& k = keys_.at(key.id);
  if (k.values.empty()) k.valueListCell = NewCell(What::kValueList, key.id);
  k.values.push_back(id);
  values_.push_back(std::move(model));
  ValueModel& v = values_.back();
  v.vkCell = NewCell(What::kVk, id);
  size_t n = v.data.size();
  bool bigData = n > kSegmentData && (options_.major > 1 || (options_.major == 1 && options_.minor >= 4));
  if (bigData) {
    v.dataCell = NewCell(What::kDb, id);
    v.segmentListCell = NewCell(What::kSegmentList, id);
    for (size_t i = 0; i * kSegmentData < n; ++i)
      v.segmentCells.push_back(NewCell(What::kSegment, id, static_cast<int>(i)));
  } else if (n > 4) {
    v.dataCell = NewCell(What::kData, id);
  }
  return Value{id};
}

Value HiveBuilder::AddValue(Key key, std::string_view name8, uint32_t type, std::vector<uint8_t> data) {
  ValueModel m;
  m.name8 = std::string(name8);
  m.type = type;
  m.data = std::move(data);
  return NewValue(key, std::move(m));
}

Value HiveBuilder::AddValue(Key key, std::u16string_view name16, uint32_t type, std::vector<uint8_t> data) {
  ValueModel m;
  m.name16 = std::u16string(name16);
  m.utf16 = true;
  m.type = type;
  m.data = std::move(data);
  return NewValue(key, std::move(m));
}

Security HiveBuilder::AddSecurity(std::vector<uint8_t> descriptor) {
  int id = static_cast<int>(securities_.size());
  securities_.push_back(SecurityModel{std::move(descriptor), -1});
  securities_.back().cell = NewCell(What::kSk, id);
  return Security{id};
}

std::vector<uint8_t> HiveBuilder::DefaultDescriptor() {
  // Self-relative: header, DACL at 20 (LocalSystem then Administrators, both
  // full control, the order the ACE ranking wants), owner at 72, group at 88.
  static const uint8_t kBytes[] = {
      0x01, 0x00, 0x04, 0x80, 0x48, 0x00, 0x00, 0x00, 0x58, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  //
      0x14, 0x00, 0x00, 0x00,                                                                          //
      0x02, 0x00, 0x34, 0x00, 0x02, 0x00, 0x00, 0x00,                                                  // ACL
      0x00, 0x12, 0x14, 0x00, 0x3F, 0x00, 0x0F, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05,  //
      0x12, 0x00, 0x00, 0x00,                                                                          // S-1-5-18
      0x00, 0x12, 0x18, 0x00, 0x3F, 0x00, 0x0F, 0x00, 0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05,  //
      0x20, 0x00, 0x00, 0x00, 0x20, 0x02, 0x00, 0x00,                                                  // S-1-5-32-544
      0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x20, 0x00, 0x00, 0x00, 0x20, 0x02, 0x00, 0x00,  // owner
      0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x12, 0x00, 0x00, 0x00,                          // group
  };
  return std::vector<uint8_t>(std::begin(kBytes), std::end(kBytes));
}

void HiveBuilder::AddHole(uint32_t length) {
  int c = NewCell(What::kHole, -1);
  plans_[c].forcedLength = length;
}

void HiveBuilder::EndBin() { NewCell(What::kEndBin, -1); }

void HiveBuilder::AddEmptyBin(uint32_t size) {
  int c = NewCell(What::kEmptyBin, -1);
  plans_[c].forcedLength = size;
}

Cell HiveBuilder::AddRawCell(std::vector<uint8_t> payload, uint32_t length) {
  int c = NewCell(What::kRaw, -1);
  plans_[c].raw = std::move(payload);
  plans_[c].forcedLength = length;
  return Cell{c};
}

void HiveBuilder::SetCellLength(Cell cell, uint32_t length, uint8_t padByte) {
  plans_.at(cell.id).forcedLength = length;
  plans_.at(cell.id).padByte = padByte;
}

std::vector<int> HiveBuilder::SortedChildren(int key) const {
  std::vector<int> children = keys_[key].children;
  if (!keys_[key].sortSubkeys) return children;
  auto upper = [this](int k) { return BuilderOrderKey(NameUnitsOf(keys_[k])); };
  std::stable_sort(children.begin(), children.end(), [&](int a, int b) { return upper(a) < upper(b); });
  return children;
}

void HiveBuilder::PlanIndex(int key) {
  const KeyModel& k = keys_[key];
  std::vector<IndexNode>& out = indexes_[key];
  out.clear();
  if (k.children.empty()) return;
  std::vector<int> sorted = SortedChildren(key);
  char leafKind = k.index.leaf == IndexKind::kLf ? 'f' : k.index.leaf == IndexKind::kLh ? 'h' : 'i';
  // Levels from the leaves up; an ri entry is a node number of the level below.
  std::vector<std::vector<IndexNode>> levels(1);
  size_t perLeaf = k.index.leafEntries > 0 ? k.index.leafEntries : sorted.size();
  for (size_t i = 0; i < sorted.size(); i += perLeaf) {
    IndexNode leaf{leafKind, {}, 0};
    for (size_t j = i; j < sorted.size() && j < i + perLeaf; ++j) leaf.entries.push_back(sorted[j]);
    levels[0].push_back(std::move(leaf));
  }
  if (k.index.leafEntries > 0) {
    do {
      const std::vector<IndexNode>& below = levels.back();
      size_t perRi = k.index.riEntries > 0 ? k.index.riEntries : below.size();
      std::vector<IndexNode> level;
      for (size_t i = 0; i < below.size(); i += perRi) {
        IndexNode ri{'r', {}, 0};
        for (size_t j = i; j < below.size() && j < i + perRi; ++j) ri.entries.push_back(static_cast<int>(j));
        level.push_back(std::move(ri));
      }
      levels.push_back(std::move(level));
    } while (levels.back().size() > 1);
  }
  // Flatten top first; ri entries become node numbers of the flat list.
  std::vector<size_t> base(levels.size());
  size_t at = 0;
  for (size_t l = levels.size(); l-- > 0;) {
    base[l] = at;
    at += levels[l].size();
  }
  for (size_t l = levels.size(); l-- > 0;) {
    for (IndexNode node : levels[l]) {
      if (node.kind == 'r')
        for (int& e : node.entries) e = static_cast<int>(base[l - 1] + static_cast<size_t>(e));
      out.push_back(std::move(node));
    }
  }
  for (const IndexNode& node : out)
    if (node.kind != 'r')
      for (uint32_t i = 0; i < node.entries.size(); ++i) entries_[node.entries[i]] = Entry{0, i};
}

uint32_t HiveBuilder::NaturalLength(const Plan& p, uint32_t indexNode) const {
  switch (p.what) {
    case What::kNk: {
      const KeyModel& k = keys_[p.owner];
      return R8(80 + StoredName(k.name8, k.name16, k.utf16).size());
    }
    case What::kClass: return R8(4 + 2 * keys_[p.owner].className.size());
    case What::kValueList: return R8(4 + 4 * keys_[p.owner].values.size());
    case What::kIndex: {
      const IndexNode& n = indexes_[p.owner][indexNode];
      bool wide = n.kind == 'f' || n.kind == 'h';
      return R8(8 + (wide ? 8 : 4) * n.entries.size());
    }
    case What::kVk: {
      const ValueModel& v = values_[p.owner];
      return R8(24 + StoredName(v.name8, v.name16, v.utf16).size());
    }
    case What::kData: return R8(4 + values_[p.owner].data.size());
    case What::kDb: return 16;
    case What::kSegmentList: return R8(4 + 4 * values_[p.owner].segmentCells.size());
    case What::kSegment: return kSegmentCell;
    case What::kSk: return R8(24 + securities_[p.owner].descriptor.size());
    case What::kRaw: return R8(4 + p.raw.size());
    default: return 0;
  }
}

std::vector<uint8_t> HiveBuilder::Content(const Plan& p, uint32_t indexNode, uint32_t length) const {
  std::vector<uint8_t> content;
  Put32(content, 0, static_cast<uint32_t>(-static_cast<int32_t>(length)));
  switch (p.what) {
    case What::kNk: {
      const KeyModel& k = keys_[p.owner];
      std::vector<uint8_t> name = StoredName(k.name8, k.name16, k.utf16);
      uint16_t maxSubkey = 0;
      uint32_t maxClass = 0, maxName = 0, maxData = 0;
      for (int c : k.children) {
        maxSubkey = std::max<uint16_t>(maxSubkey, static_cast<uint16_t>(NameUnitsOf(keys_[c]).size()));
        maxClass = std::max<uint32_t>(maxClass, static_cast<uint32_t>(2 * keys_[c].className.size()));
      }
      for (int v : k.values) {
        const ValueModel& vm = values_[v];
        maxName = std::max<uint32_t>(maxName, static_cast<uint32_t>(vm.utf16 ? 2 * vm.name16.size() : 2 * vm.name8.size()));
        maxData = std::max<uint32_t>(maxData, static_cast<uint32_t>(vm.data.size()));
      }
      PutBytes(content, 4, "nk", 2);
      Put16(content, 0x06, static_cast<uint16_t>((k.utf16 ? 0 : 0x20) | k.extraFlags));
      Put64(content, 0x08, k.timeStamp);
      Put32(content, 0x14, k.parent >= 0 ? plans_[keys_[k.parent].nkCell].offset : p.offset);
      Put32(content, 0x18, static_cast<uint32_t>(k.children.size()));
      Put32(content, 0x20, k.children.empty() ? kNone : plans_[k.indexCell].offset);
      Put32(content, 0x24, kNone);
      Put32(content, 0x28, static_cast<uint32_t>(k.values.size()));
      Put32(content, 0x2C, k.values.empty() ? kNone : plans_[k.valueListCell].offset);
      Put32(content, 0x30, plans_[securities_.at(k.security).cell].offset);
      Put32(content, 0x34, k.hasClass ? plans_[k.classCell].offset : kNone);
      Put16(content, 0x38, maxSubkey);
      Put32(content, 0x3C, maxClass);
      Put32(content, 0x40, maxName);
      Put32(content, 0x44, maxData);
      Put16(content, 0x4C, static_cast<uint16_t>(name.size()));
      Put16(content, 0x4E, static_cast<uint16_t>(k.hasClass ? 2 * k.className.size() : 0));
      PutBytes(content, 0x50, name.data(), name.size());
      break;
    }
    case What::kClass: {
      std::vector<uint8_t> text = Utf16Bytes(keys_[p.owner].className);
      PutBytes(content, 4, text.data(), text.size());
      break;
    }
    case What::kValueList: {
      const KeyModel& k = keys_[p.owner];
      for (size_t i = 0; i < k.values.size(); ++i) Put32(content, 4 + 4 * i, plans_[values_[k.values[i]].vkCell].offset);
      break;
    }
    case What::kIndex: {
      const std::vector<IndexNode>& nodes = indexes_[p.owner];
      const IndexNode& n = nodes[indexNode];
      const char sig[2] = {n.kind == 'r' ? 'r' : 'l', n.kind == 'r' ? 'i' : n.kind};
      PutBytes(content, 4, sig, 2);
      Put16(content, 6, static_cast<uint16_t>(n.entries.size()));
      bool wide = n.kind == 'f' || n.kind == 'h';
      for (size_t i = 0; i < n.entries.size(); ++i) {
        int e = n.entries[i];
        uint32_t target = n.kind == 'r' ? nodes[e].offset : plans_[keys_[e].nkCell].offset;
        Put32(content, 8 + (wide ? 8 : 4) * i, target);
        if (n.kind == 'f') Put32(content, 12 + 8 * i, BuilderLfHint(NameUnitsOf(keys_[e])));
        if (n.kind == 'h') Put32(content, 12 + 8 * i, BuilderLhHash(NameUnitsOf(keys_[e])));
      }
      break;
    }
    case What::kVk: {
      const ValueModel& v = values_[p.owner];
      std::vector<uint8_t> name = StoredName(v.name8, v.name16, v.utf16);
      PutBytes(content, 4, "vk", 2);
      Put16(content, 6, static_cast<uint16_t>(name.size()));
      if (v.data.size() <= 4) {
        Put32(content, 8, 0x80000000u | static_cast<uint32_t>(v.data.size()));
        PutBytes(content, 12, v.data.data(), v.data.size());
        if (content.size() < 16) content.resize(16);
      } else {
        Put32(content, 8, static_cast<uint32_t>(v.data.size()));
        Put32(content, 12, plans_[v.dataCell].offset);
      }
      Put32(content, 0x10, v.type);
      Put16(content, 0x14, v.utf16 ? 0 : 1);
      Put16(content, 0x16, 0);
      PutBytes(content, 0x18, name.data(), name.size());
      break;
    }
    case What::kData: PutBytes(content, 4, values_[p.owner].data.data(), values_[p.owner].data.size()); break;
    case What::kDb: {
      const ValueModel& v = values_[p.owner];
      PutBytes(content, 4, "db", 2);
      Put16(content, 6, static_cast<uint16_t>(v.segmentCells.size()));
      Put32(content, 8, plans_[v.segmentListCell].offset);
      Put32(content, 12, 0);
      break;
    }
    case What::kSegmentList: {
      const ValueModel& v = values_[p.owner];
      for (size_t i = 0; i < v.segmentCells.size(); ++i) Put32(content, 4 + 4 * i, plans_[v.segmentCells[i]].offset);
      break;
    }
    case What::kSegment: {
      const std::vector<uint8_t>& d = values_[p.owner].data;
      size_t from = size_t{kSegmentData} * static_cast<size_t>(p.part);
      PutBytes(content, 4, d.data() + from, std::min<size_t>(kSegmentData, d.size() - from));
      break;
    }
    case What::kSk: {
      size_t n = securities_.size(), i = static_cast<size_t>(p.owner);
      uint32_t refs = 0;
      for (const KeyModel& k : keys_) refs += k.security == p.owner ? 1 : 0;
      const std::vector<uint8_t>& d = securities_[i].descriptor;
      PutBytes(content, 4, "sk", 2);
      Put32(content, 8, plans_[securities_[(i + n - 1) % n].cell].offset);
      Put32(content, 12, plans_[securities_[(i + 1) % n].cell].offset);
      Put32(content, 16, refs);
      Put32(content, 20, static_cast<uint32_t>(d.size()));
      PutBytes(content, 24, d.data(), d.size());
      break;
    }
    case What::kRaw: PutBytes(content, 4, p.raw.data(), p.raw.size()); break;
    default: break;
  }
  return content;
}

const std::vector<uint8_t>& HiveBuilder::Build() {
  indexes_.assign(keys_.size(), {});
  entries_.assign(keys_.size(), Entry{});
  for (size_t k = 0; k < keys_.size(); ++k) PlanIndex(static_cast<int>(k));

  // Layout: cells in creation order, each in the current bin when it fits.
  struct Placed {
    size_t plan;
    uint32_t node;  // index node for kIndex
    uint32_t offset, length;
  };
  std::vector<Placed> placed;
  std::vector<std::pair<uint32_t, uint32_t>> bins;   // offset, size
  std::vector<std::pair<uint32_t, uint32_t>> frees;  // offset, length
  uint32_t total = 0, pos = 0, binEnd = 0;
  bool open = false;
  auto closeBin = [&] {
    if (open && pos < binEnd) frees.push_back({pos, binEnd - pos});
    open = false;
  };
  auto place = [&](uint32_t length) {
    if (!open || pos + length > binEnd) {
      closeBin();
      uint32_t size = std::max(kBinSize, (kBinHeader + length + kBinSize - 1) / kBinSize * kBinSize);
      bins.push_back({total, size});
      pos = total + kBinHeader;
      binEnd = total + size;
      total += size;
      open = true;
    }
    uint32_t at = pos;
    pos += length;
    return at;
  };
  for (size_t i = 0; i < plans_.size(); ++i) {
    Plan& p = plans_[i];
    switch (p.what) {
      case What::kEndBin: closeBin(); break;
      case What::kEmptyBin:
        closeBin();
        bins.push_back({total, p.forcedLength});
        frees.push_back({total + kBinHeader, p.forcedLength - kBinHeader});
        total += p.forcedLength;
        break;
      case What::kHole: frees.push_back({p.offset = place(p.forcedLength), p.forcedLength}); break;
      case What::kIndex: {
        uint32_t nodes = static_cast<uint32_t>(indexes_[p.owner].size());
        for (uint32_t n = 0; n < nodes; ++n) {
          uint32_t length = NaturalLength(p, n);
          if (n == 0 && p.forcedLength != 0) length = p.forcedLength;
          uint32_t at = place(length);
          indexes_[p.owner][n].offset = at;
          if (n == 0) p.offset = at;
          placed.push_back({i, n, at, length});
        }
        break;
      }
      default: {
        uint32_t length = p.forcedLength != 0 ? p.forcedLength : NaturalLength(p, 0);
        p.offset = place(length);
        placed.push_back({i, 0, p.offset, length});
      }
    }
  }
  closeBin();
  for (size_t k = 0; k < keys_.size(); ++k)
    for (const IndexNode& node : indexes_[k])
      if (node.kind != 'r')
        for (int child : node.entries) entries_[child].leafOffset = node.offset;

  image_.assign(kBaseBlock + total, 0);
  bool oldFormat = options_.major == 0 || (options_.major == 1 && options_.minor <= 3);
  for (size_t b = 0; b < bins.size(); ++b) {
    uint8_t* h = image_.data() + kBaseBlock + bins[b].first;
    std::copy_n("hbin", 4, h);
    std::vector<uint8_t> hdr(32, 0);
    Put32(hdr, 4, bins[b].first);
    Put32(hdr, 8, bins[b].second);
    if (b == 0) Put64(hdr, 0x14, options_.timeStamp);
    if (oldFormat) Put32(hdr, 0x1C, bins[b].second);
    std::copy(hdr.begin() + 4, hdr.end(), h + 4);
  }
  for (auto [offset, length] : frees) {
    std::vector<uint8_t> w;
    Put32(w, 0, length);
    std::copy(w.begin(), w.end(), image_.data() + kBaseBlock + offset);
  }
  for (const Placed& pc : placed) {
    const Plan& p = plans_[pc.plan];
    std::vector<uint8_t> content = Content(p, pc.node, pc.length);
    uint8_t* cell = image_.data() + kBaseBlock + pc.offset;
    size_t used = std::min<size_t>(content.size(), pc.length);
    std::copy_n(content.begin(), used, cell);
    // A cell made longer than it needs carries its pad bytes after the content.
    if (p.forcedLength != 0 && (p.what != What::kIndex || pc.node == 0))
      std::fill(cell + used, cell + pc.length, p.padByte);
  }
  WriteBaseBlock();
  return image_;
}

void HiveBuilder::WriteBaseBlock() {
  std::vector<uint8_t> bb(kBaseBlock, 0);
  PutBytes(bb, 0, "regf", 4);
  Put32(bb, 0x04, options_.primarySequence);
  Put32(bb, 0x08, options_.secondarySequence);
  Put64(bb, 0x0C, options_.timeStamp);
  Put32(bb, 0x14, options_.major);
  Put32(bb, 0x18, options_.minor);
  Put32(bb, 0x1C, 0);
  Put32(bb, 0x20, 1);
  Put32(bb, 0x24, plans_[keys_[0].nkCell].offset);
  Put32(bb, 0x28, static_cast<uint32_t>(image_.size() - kBaseBlock));
  Put32(bb, 0x2C, 1);
  std::vector<uint8_t> name = Utf16Bytes(options_.fileName);
  PutBytes(bb, 0x30, name.data(), std::min<size_t>(name.size(), 62));
  std::copy(bb.begin(), bb.end(), image_.begin());
  RecomputeChecksum();
}

void HiveBuilder::RecomputeChecksum() {
  uint32_t sum = 0;
  for (int i = 0; i < 127; ++i) sum ^= Get32(image_.data() + 4 * i);
  SetFileU32(0x1FC, sum);
}

bool HiveBuilder::WriteTo(const std::string& path) const {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = std::fwrite(image_.data(), 1, image_.size(), f) == image_.size();
  return std::fclose(f) == 0 && ok;
}

uint32_t HiveBuilder::Offset(Cell cell) const {
  if (cell.id < 0 || static_cast<size_t>(cell.id) >= plans_.size())
    throw std::out_of_range("HiveBuilder::Offset: no such cell");
  return plans_[cell.id].offset;
}

Key HiveBuilder::FindKey(std::string_view path) const {
  int at = 0;
  while (!path.empty()) {
    size_t cut = path.find('\\');
    std::string_view part = path.substr(0, cut);
    path = cut == std::string_view::npos ? std::string_view() : path.substr(cut + 1);
    std::u16string wide = platform::Utf8ToUtf16(part);
    int found = -1;
    for (int c : keys_[at].children) {
      const KeyModel& k = keys_[c];
      if (k.utf16 ? k.name16 == wide : k.name8 == part) found = c;
    }
    if (found < 0) return Key{-1};
    at = found;
  }
  return Key{at};
}

std::vector<uint32_t> HiveBuilder::IndexOffsets(Key k) const {
  std::vector<uint32_t> out;
  for (const IndexNode& n : indexes_.at(k.id)) out.push_back(n.offset);
  return out;
}

HiveBuilder::Entry HiveBuilder::EntryOf(Key k) const { return entries_.at(k.id); }

uint32_t HiveBuilder::HashField(Key k) const { return 0x0C + 8 * entries_.at(k.id).index; }

uint32_t HiveBuilder::HbinsDataSize() const { return FileU32(0x28); }

void HiveBuilder::SetFileU32(uint32_t pos, uint32_t v) {
  if (pos + 4 > image_.size()) throw std::out_of_range("HiveBuilder: poke outside the image");
  for (int i = 0; i < 4; ++i) image_[pos + i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t HiveBuilder::FileU32(uint32_t pos) const {
  if (pos + 4 > image_.size()) throw std::out_of_range("HiveBuilder: read outside the image");
  return Get32(image_.data() + pos);
}

void HiveBuilder::SetU16(uint32_t cellOffset, uint32_t field, uint16_t v) {
  uint32_t pos = kBaseBlock + cellOffset + field;
  if (pos + 2 > image_.size()) throw std::out_of_range("HiveBuilder: poke outside the image");
  image_[pos] = static_cast<uint8_t>(v);
  image_[pos + 1] = static_cast<uint8_t>(v >> 8);
}

void HiveBuilder::SetU32(uint32_t cellOffset, uint32_t field, uint32_t v) {
  SetFileU32(kBaseBlock + cellOffset + field, v);
}

uint16_t HiveBuilder::U16(uint32_t cellOffset, uint32_t field) const {
  uint32_t pos = kBaseBlock + cellOffset + field;
  if (pos + 2 > image_.size()) throw std::out_of_range("HiveBuilder: read outside the image");
  return static_cast<uint16_t>(image_[pos] | image_[pos + 1] << 8);
}

uint32_t HiveBuilder::U32(uint32_t cellOffset, uint32_t field) const { return FileU32(kBaseBlock + cellOffset + field); }

}  // namespace quelbrix::testing
