#include "app/context.h"
#include "repair/relocate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "core/report_log.h"
#include "hive/access_map.h"
#include "hive/base_block.h"
#include "hive/cells.h"
#include "hive/check_cell.h"
#include "hive/image.h"
#include "repair/allocator.h"
#include "support/hive_builder.h"
#include "support/hive_fixture.h"
#include "support/run_process.h"

namespace quelbrix {
namespace {

using testing::HiveBuilder;
using testing::HiveOptions;
using testing::HiveRun;
using testing::IndexKind;
using testing::IndexShape;
using testing::Key;
using testing::Security;
using testing::Value;

std::vector<uint8_t> Utf16z(std::u16string_view s) {
  std::vector<uint8_t> out;
  for (char16_t c : s) {
    out.push_back(static_cast<uint8_t>(c));
    out.push_back(static_cast<uint8_t>(c >> 8));
  }
  out.insert(out.end(), {0, 0});
  return out;
}

std::vector<uint8_t> Pattern(size_t n) {
  std::vector<uint8_t> d(n);
  for (size_t i = 0; i < n; ++i) d[i] = static_cast<uint8_t>(i * 13 + i / 253);
  return d;
}

// Lists every key with its class, values and their data, as an independent
// reader sees the hive.
constexpr const char* kHivexDump = R"(
import hivex, sys
h = hivex.Hivex(sys.argv[1])
def walk(node, path):
    print('K', path, h.node_timestamp(node))
    for v in h.node_values(node):
        t, data = h.value_value(v)
        print('V', path, repr(h.value_key(v)), t, data.hex())
    for c in h.node_children(node):
        walk(c, path + '\\' + h.node_name(c))
walk(h.root(), '')
)";

class RelocateTest : public ::testing::Test {
 protected:
  RelocateTest() : ctx(run.ctx) {}

  // Root (with a class) holding: A with a class, four values (inline, two
  // in data cells, one in big data) and three subkeys under an lh; B with an
  // sk of its own; C with its subkeys in lf leaves under an ri; D with an li.
  void BuildSample(uint32_t minor = 5) {
    HiveOptions o;
    o.minor = minor;
    b = HiveBuilder(o);
    b.SetClass(b.Root(), u"RootClass");
    a = b.AddKey(b.Root(), "A");
    b.SetClass(a, u"AClass");
    one = b.AddValue(a, "one", 4, {1, 2, 3, 4});
    two = b.AddValue(a, "two", 1, Utf16z(u"second value"));
    three = b.AddValue(a, "three", 3, Pattern(200));
    big = b.AddValue(a, "big", 3, Pattern(20000));
    for (const char* n : {"A1", "A2", "A3"}) b.AddKey(a, n);
    Key bKey = b.AddKey(b.Root(), "B");
    Security other = b.AddSecurity(HiveBuilder::DefaultDescriptor());
    b.SetSecurity(bKey, other);
    b.AddValue(bKey, "b", 1, Utf16z(u"bee"));
    Key c = b.AddKey(b.Root(), "C");
    b.Model(c).index = IndexShape{IndexKind::kLf, 2, 0};
    for (const char* n : {"c1", "c2", "c3", "c4", "c5"}) b.AddKey(c, n);
    Key d = b.AddKey(b.Root(), "D");
    b.Model(d).index.leaf = IndexKind::kLi;
    for (const char* n : {"d1", "d2"}) b.AddKey(d, n);
  }

  void Load(int32_t command = kCmdRepair) {
    ASSERT_TRUE(run.Load(b.Build()));
    ctx.CommandId = command;
    ctx.Rules = MakePassRules(ctx.CommandId, ctx.DiagnosticMode != 0);
    ctx.Shadow.Clear();
    Record();
  }

  // Records every reference the way the key walk does: keys from their index
  // cell with the parent key, lists, class and sk from the key, values from
  // the value list, data from the value.
  void Record() {
    run.ui.Clear();
    RecordKey(CellPos(Image().U32(0x24)), 0, 0);
  }
  void RecordKey(uint32_t pos, uint32_t referrer, uint32_t parentKey) {
    ASSERT_EQ(CheckCell(referrer, ctx, true, parentKey, pos, kSigNk), kCellOk) << pos;
    NkCell nk(Image(), pos);
    if (nk.ClassLength() != 0 && nk.ClassOffset() != kNoCell) {
      EXPECT_EQ(CheckCell(pos, ctx, true, 0, CellPos(nk.ClassOffset()), kSigCl), kCellOk);
    }
    if (nk.skOffset() != kNoCell) {
      EXPECT_EQ(CheckCell(pos, ctx, true, 0, CellPos(nk.skOffset()), kSigSk), kCellOk);
    }
    if (nk.vklistCount() != 0) {
      uint32_t list = static_cast<uint32_t>(CellPos(nk.vklistOffset()));
      ASSERT_EQ(CheckCell(pos, ctx, true, 0, list, kSigVm), kCellOk);
      for (uint32_t i = 0; i < nk.vklistCount(); ++i) {
        uint32_t vk = static_cast<uint32_t>(CellPos(OffsetListCell(Image(), list).Entry(i)));
        ASSERT_EQ(CheckCell(list, ctx, true, 0, vk, kSigVk), kCellOk);
        RecordData(vk);
      }
    }
    if (nk.SubkeyCount() != 0) RecordIndex(static_cast<uint32_t>(CellPos(nk.SubkeyOffset())), pos, pos);
  }
  void RecordData(uint32_t vkPos) {
    VkCell vk(Image(), vkPos);
    if (vk.InlineData() || vk.DataLength() == 0) return;
    uint32_t data = static_cast<uint32_t>(CellPos(vk.DataOffset()));
    if (vk.DataLength() <= kBigDataThreshold) {
      ASSERT_EQ(CheckCell(vkPos, ctx, true, 0, data, kSigVd), kCellOk);
      return;
    }
    ASSERT_EQ(CheckCell(vkPos, ctx, true, 0, data, kSigDb), kCellOk);
    DbCell db(Image(), data);
    uint32_t list = static_cast<uint32_t>(CellPos(db.ddlistOffset()));
    ASSERT_EQ(CheckCell(data, ctx, true, 0, list, kSigDl), kCellOk);
    for (uint32_t i = 0; i < db.SegmentCount(); ++i) {
      ASSERT_EQ(CheckCell(list, ctx, true, 0, CellPos(OffsetListCell(Image(), list).Entry(i)), kSigDd), kCellOk);
    }
  }
  void RecordIndex(uint32_t pos, uint32_t owner, uint32_t key) {
    IndexCell index(Image(), pos);
    ASSERT_EQ(CheckCell(owner, ctx, true, 0, pos, index.Signature()), kCellOk);
    for (uint32_t i = 0; i < index.Count(); ++i) {
      uint32_t entry = static_cast<uint32_t>(CellPos(index.KeyOffset(i)));
      if (index.Signature() == kSigRi)
        RecordIndex(entry, pos, key);
      else
        RecordKey(entry, pos, key);
    }
  }

  HiveImage Image() { return HiveImage(ctx); }
  AccessMap Map() { return AccessMap(ctx); }
  CellShadow Shadow(uint32_t pos) { return CellShadow(Map(), pos); }
  uint32_t Pos(testing::Cell c) { return static_cast<uint32_t>(CellPos(b.Offset(c))); }
  uint32_t KeyPos(const char* path) { return static_cast<uint32_t>(CellPos(b.NkOffset(path))); }
  int32_t SizeAt(uint32_t pos) { return CellView(Image(), pos).Size(); }
  std::vector<uint8_t> Bytes(uint32_t pos, uint32_t n) { return {ctx.Image + pos, ctx.Image + pos + n}; }
  std::vector<uint8_t> ShadowBytes(uint32_t pos, uint32_t n) {
    std::vector<uint8_t> bytes(n);
    for (uint32_t i = 0; i < n; ++i) bytes[i] = Map().Byte(pos + i);
    return bytes;
  }
  std::vector<std::string> PaneLines(uint32_t colour) {
    std::vector<std::string> lines;
    for (const auto& l : run.ui.Pane())
      if (l.colour == colour) lines.push_back(l.text);
    return lines;
  }
  std::vector<std::string> RedLines() { return PaneLines(kRed); }

  // Moves a cell into a fresh cell of its own length, checking the general
  // rules: the shadow travels along, the content is copied, the old place
  // is freed with its bytes left as they were.
  uint32_t Move(uint32_t oldPos, uint32_t limit = 0) {
    uint32_t length = CellView(Image(), oldPos).Length();
    std::vector<uint8_t> shadow = ShadowBytes(oldPos, length);
    std::vector<uint8_t> content = Bytes(oldPos + 4, length - 4);
    uint32_t newPos = GetNewCells(ctx, false, limit, static_cast<int32_t>(length));
    EXPECT_NE(newPos, 0u);
    if (newPos == 0) return 0;
    EXPECT_EQ(MoveCells(ctx, newPos, oldPos), newPos);
    EXPECT_EQ(SizeAt(newPos), -static_cast<int32_t>(length));
    EXPECT_EQ(SizeAt(oldPos), static_cast<int32_t>(length));
    EXPECT_EQ(ShadowBytes(newPos, length), shadow);
    // Self-references (a ring of one sk) were patched before the copy.
    if (CellShadow(Map(), newPos).Kind() != kKindSk) {
      EXPECT_EQ(Bytes(newPos + 4, length - 4), content);
      EXPECT_EQ(Bytes(oldPos + 4, length - 4), content);
    }
    return newPos;
  }

  uint32_t Off(uint32_t pos) { return CellOffsetOf(pos); }

  HiveRun run;
  HiveContext& ctx;
  HiveBuilder b;
  Key a;
  Value one, two, three, big;
};

// --- values and their data ---

TEST_F(RelocateTest, ValueMovePatchesOnlyItsListEntry) {
  BuildSample();
  Load();
  uint32_t list = Pos(b.ValueListCell(a));
  uint32_t oldVk = Pos(b.VkCell(three));
  uint32_t data = Pos(b.DataCell(three));
  std::vector<uint8_t> listShadow = ShadowBytes(list, CellView(Image(), list).Length());
  OffsetListCell entries(Image(), list);
  uint32_t before[4] = {entries.Entry(0), entries.Entry(1), entries.Entry(2), entries.Entry(3)};
  ASSERT_EQ(before[2], Off(oldVk));

  uint32_t newVk = Move(oldVk);
  EXPECT_EQ(entries.Entry(2), Off(newVk));
  EXPECT_EQ(entries.Entry(0), before[0]);
  EXPECT_EQ(entries.Entry(1), before[1]);
  EXPECT_EQ(entries.Entry(3), before[3]);
  EXPECT_EQ(ShadowBytes(list, CellView(Image(), list).Length()), listShadow);
  EXPECT_EQ(Shadow(data).ParentLink(), newVk);
  // A second move follows the re-pointed links.
  uint32_t newData = Move(data);
  EXPECT_EQ(VkCell(Image(), newVk).DataOffset(), Off(newData));
  EXPECT_EQ(Shadow(newVk).ChildLink(0), newData);
  EXPECT_TRUE(RedLines().empty());
}

TEST_F(RelocateTest, BigDataChainFollowsEachMove) {
  BuildSample();
  Load();
  uint32_t vk = Pos(b.VkCell(big));
  uint32_t db = Move(Pos(b.DataCell(big)));
  EXPECT_EQ(VkCell(Image(), vk).DataOffset(), Off(db));
  EXPECT_EQ(Shadow(vk).ChildLink(0), db);
  uint32_t oldList = Pos(b.SegmentListCell(big));
  EXPECT_EQ(Shadow(oldList).ParentLink(), db);

  uint32_t list = Move(oldList);
  EXPECT_EQ(DbCell(Image(), db).ddlistOffset(), Off(list));
  EXPECT_EQ(Shadow(db).ChildLink(0), list);
  for (size_t i = 0; i < 2; ++i) EXPECT_EQ(Shadow(Pos(b.SegmentCell(big, i))).ParentLink(), list) << i;

  // The moved list is the one a later segment move patches.
  uint32_t segment = Move(Pos(b.SegmentCell(big, 1)));
  EXPECT_EQ(OffsetListCell(Image(), list).Entry(1), Off(segment));
  EXPECT_EQ(OffsetListCell(Image(), list).Entry(0), b.Offset(b.SegmentCell(big, 0)));
  EXPECT_EQ(OffsetListCell(Image(), oldList).Entry(1), b.Offset(b.SegmentCell(big, 1)));
  EXPECT_TRUE(RedLines().empty());
}

TEST_F(RelocateTest, ValueListAndClassMovesPatchTheirKey) {
  BuildSample();
  Load();
  uint32_t key = KeyPos("A");
  uint32_t list = Move(Pos(b.ValueListCell(a)));
  EXPECT_EQ(NkCell(Image(), key).vklistOffset(), Off(list));
  for (uint32_t i = 0; i < 4; ++i)
    EXPECT_EQ(Shadow(static_cast<uint32_t>(CellPos(OffsetListCell(Image(), list).Entry(i)))).ParentLink(), list);
  uint32_t cls = Move(Pos(b.ClassCell(a)));
  EXPECT_EQ(NkCell(Image(), key).ClassOffset(), Off(cls));
  std::set<uint32_t> slots;
  for (uint32_t i = 0; i < CellShadow::kKeyChildSlots; ++i) slots.insert(Shadow(key).ChildLink(i));
  EXPECT_TRUE(slots.count(list) && slots.count(cls));
  EXPECT_FALSE(slots.count(Pos(b.ValueListCell(a))) || slots.count(Pos(b.ClassCell(a))));
  // The values still find their new list.
  uint32_t vk = Move(Pos(b.VkCell(two)));
  EXPECT_EQ(OffsetListCell(Image(), list).Entry(1), Off(vk));
  EXPECT_TRUE(RedLines().empty());
}

// --- subkey indexes ---

TEST_F(RelocateTest, IndexMovesPatchKeyOrOwningRi) {
  BuildSample();
  Load();
  uint32_t keyA = KeyPos("A");
  uint32_t lh = Move(Pos(b.IndexCell(a)));
  EXPECT_EQ(NkCell(Image(), keyA).SubkeyOffset(), Off(lh));
  for (const char* n : {"A\\A1", "A\\A2", "A\\A3"}) EXPECT_EQ(Shadow(KeyPos(n)).ParentLink(), lh) << n;

  // C: an ri of lf leaves; its second leaf moves.
  Key c = b.FindKey("C");
  std::vector<uint32_t> cells = b.IndexOffsets(c);
  ASSERT_GE(cells.size(), 3u);
  uint32_t ri = static_cast<uint32_t>(CellPos(cells[0]));
  uint32_t leaf = static_cast<uint32_t>(CellPos(cells[2]));
  ASSERT_EQ(IndexCell(Image(), ri).KeyOffset(1), Off(leaf));
  uint32_t moved = Move(leaf);
  EXPECT_EQ(IndexCell(Image(), ri).KeyOffset(1), Off(moved));
  EXPECT_EQ(IndexCell(Image(), ri).KeyOffset(0), cells[1]);
  EXPECT_EQ(Shadow(ri).ChildLink(1), moved);
  for (uint32_t i = 0; i < IndexCell(Image(), moved).Count(); ++i)
    EXPECT_EQ(Shadow(static_cast<uint32_t>(CellPos(IndexCell(Image(), moved).KeyOffset(i)))).ParentLink(), moved);
  // A key listed in the moved leaf is found there.
  uint32_t c3 = KeyPos("C\\c3");
  uint32_t c3New = Move(c3);
  EXPECT_EQ(IndexCell(Image(), moved).KeyOffset(0), Off(c3New));
  EXPECT_TRUE(RedLines().empty());
}

// --- keys ---

// The sibling list under a key, newest first, with its back links checked.
std::vector<uint32_t> Siblings(const AccessMap& map, uint32_t key) {
  std::vector<uint32_t> out;
  uint32_t next = 0;
  for (uint32_t k = CellShadow(map, key).LastChild(); k != 0 && out.size() < 100;
       k = CellShadow(map, k).PrevSibling()) {
    EXPECT_EQ(CellShadow(map, k).NextSibling(), next) << k;
    out.push_back(k);
    next = k;
  }
  if (!out.empty()) {
    EXPECT_EQ(CellShadow(map, out.front()).ParentKey(), key);
  }
  return out;
}

// The keys that use an sk, newest first, with the back links checked.
std::vector<uint32_t> Referrers(const AccessMap& map, uint32_t sk) {
  std::vector<uint32_t> out;
  uint32_t prev = sk;
  for (uint32_t k = CellShadow(map, sk).FirstReferrer(); k != 0 && out.size() < 100;
       k = CellShadow(map, k).NextReferrer()) {
    EXPECT_EQ(CellShadow(map, k).PrevReferrer(), prev) << k;
    out.push_back(k);
    prev = k;
  }
  return out;
}

TEST_F(RelocateTest, KeyMoveRewritesChildrenParentSiblingsAndReferrers) {
  BuildSample();
  Load();
  uint32_t root = KeyPos("");
  uint32_t oldA = KeyPos("A");
  uint32_t sk = Pos(b.SkCell(b.DefaultSecurity()));
  std::vector<uint32_t> siblings = Siblings(Map(), root);
  std::vector<uint32_t> referrers = Referrers(Map(), sk);
  IndexCell rootIndex(Image(), Pos(b.IndexCell(b.Root())));
  uint32_t entry = b.EntryOf(a).index;
  ASSERT_EQ(rootIndex.KeyOffset(entry), Off(oldA));

  uint32_t newA = Move(oldA);
  EXPECT_EQ(rootIndex.KeyOffset(entry), Off(newA));
  for (const char* n : {"A\\A1", "A\\A2", "A\\A3"}) {
    EXPECT_EQ(NkCell(Image(), KeyPos(n)).ParentOffset(), Off(newA));
  }
  for (uint32_t& s : siblings)
    if (s == oldA) s = newA;
  EXPECT_EQ(Siblings(Map(), root), siblings);
  for (uint32_t& r : referrers)
    if (r == oldA) r = newA;
  EXPECT_EQ(Referrers(Map(), sk), referrers);
  EXPECT_EQ(NkCell(Image(), newA).SubkeyOffset(), b.Offset(b.IndexCell(a)));
  EXPECT_EQ(Shadow(Pos(b.IndexCell(a))).ParentLink(), newA);
  EXPECT_EQ(Shadow(Pos(b.ValueListCell(a))).ParentLink(), newA);
  EXPECT_EQ(Shadow(Pos(b.ClassCell(a))).ParentLink(), newA);

  // Its newest subkey moves next: the moved key's new shadow learns of it.
  uint32_t newest = Shadow(newA).LastChild();
  ASSERT_NE(newest, 0u);
  uint32_t newestNew = Move(newest);
  EXPECT_EQ(Shadow(newA).LastChild(), newestNew);
  EXPECT_EQ(Siblings(Map(), newA).front(), newestNew);
  EXPECT_EQ(Siblings(Map(), newA).size(), 3u);
  EXPECT_TRUE(RedLines().empty());
}

TEST_F(RelocateTest, RootKeyMoveRewritesTheBaseBlock) {
  BuildSample();
  Load(kCmdDefrag);
  ctx.DiagnosticMode = 1;
  ctx.Rules = MakePassRules(ctx.CommandId, ctx.DiagnosticMode != 0);
  uint32_t root = KeyPos("");
  uint32_t newRoot = Move(root);
  EXPECT_EQ(Image().U32(0x24), Off(newRoot));
  EXPECT_EQ(NkCell(Image(), KeyPos("B")).ParentOffset(), Off(newRoot));
  // A note of Defrag's own work, not damage: black.
  EXPECT_TRUE(RedLines().empty());
  EXPECT_EQ(PaneLines(kBlack), std::vector<std::string>{"MoveRootnkCells"});

  // Under Repair the same move is silent.
  BuildSample();
  Load(kCmdRepair);
  ctx.DiagnosticMode = 1;
  ctx.Rules = MakePassRules(ctx.CommandId, ctx.DiagnosticMode != 0);
  newRoot = Move(KeyPos(""));
  EXPECT_EQ(Image().U32(0x24), Off(newRoot));
  EXPECT_TRUE(RedLines().empty());
  std::vector<std::string> black = PaneLines(kBlack);
  EXPECT_EQ(std::count(black.begin(), black.end(), "MoveRootnkCells"), 0);
}

TEST_F(RelocateTest, KeyWithoutReferrerThatIsNotTheRoot) {
  BuildSample();
  Load();
  uint32_t key = KeyPos("B");
  Shadow(key).SetParentLink(0);
  uint32_t index = Pos(b.IndexCell(b.Root()));
  uint32_t entry = b.EntryOf(b.FindKey("B")).index;
  uint32_t moved = Move(key);
  EXPECT_EQ(RedLines(), std::vector<std::string>{"nkSignatureError"});
  // The index still names the old place; the sibling links were repaired.
  EXPECT_EQ(IndexCell(Image(), index).KeyOffset(entry), Off(key));
  std::vector<uint32_t> siblings = Siblings(Map(), KeyPos(""));
  EXPECT_EQ(std::count(siblings.begin(), siblings.end(), moved), 1);
}

// --- security cells ---

TEST_F(RelocateTest, SkMoveRewritesEveryUserAndTheRing) {
  BuildSample();
  Load();
  uint32_t oldSk = Pos(b.SkCell(b.DefaultSecurity()));
  uint32_t otherSk = Pos(b.SkCell(Security{1}));
  std::vector<uint32_t> users = Referrers(Map(), oldSk);
  ASSERT_GT(users.size(), 10u);
  uint32_t sk = Move(oldSk);
  for (uint32_t k : users) EXPECT_EQ(NkCell(Image(), k).skOffset(), Off(sk)) << k;
  EXPECT_EQ(NkCell(Image(), KeyPos("B")).skOffset(), Off(otherSk));
  // Two cells in the ring: each names the other both ways.
  SkCell moved(Image(), sk), other(Image(), otherSk);
  EXPECT_EQ(moved.NextskOffset(), Off(otherSk));
  EXPECT_EQ(moved.PrevskOffset(), Off(otherSk));
  EXPECT_EQ(other.NextskOffset(), Off(sk));
  EXPECT_EQ(other.PrevskOffset(), Off(sk));
  EXPECT_EQ(Referrers(Map(), sk), users);
  // The head key names the new cell as its PrevReferrer; a key moved now
  // keeps the list whole.
  uint32_t newD = Move(KeyPos("D"));
  for (uint32_t& u : users)
    if (u == KeyPos("D")) u = newD;
  EXPECT_EQ(Referrers(Map(), sk), users);
  EXPECT_TRUE(RedLines().empty());
}

TEST_F(RelocateTest, OnlySkOfAHiveKeepsARingOfOne) {
  b = HiveBuilder();
  b.AddKey(b.Root(), "X");
  Load();
  uint32_t oldSk = Pos(b.SkCell(b.DefaultSecurity()));
  ASSERT_EQ(SkCell(Image(), oldSk).NextskOffset(), Off(oldSk));
  uint32_t sk = Move(oldSk);
  EXPECT_EQ(SkCell(Image(), sk).NextskOffset(), Off(sk));
  EXPECT_EQ(SkCell(Image(), sk).PrevskOffset(), Off(sk));
  EXPECT_EQ(NkCell(Image(), KeyPos("")).skOffset(), Off(sk));
  EXPECT_EQ(NkCell(Image(), KeyPos("X")).skOffset(), Off(sk));
  EXPECT_EQ(SkCell(Image(), sk).Descriptor() != nullptr, true);
  EXPECT_EQ(std::memcmp(SkCell(Image(), sk).Descriptor(), HiveBuilder::DefaultDescriptor().data(),
                        HiveBuilder::DefaultDescriptor().size()),
            0);
}

// --- referrers of an unexpected kind ---

TEST_F(RelocateTest, MismatchedReferrerIsReportedAndLeftAlone) {
  BuildSample();
  Load();
  uint32_t list = Pos(b.ValueListCell(a));
  uint32_t vk = Pos(b.VkCell(two));
  uint32_t data = Pos(b.DataCell(two));
  Shadow(vk).SetParentLink(KeyPos("A"));
  uint32_t moved = Move(vk);
  EXPECT_EQ(RedLines(), std::vector<std::string>{"vkSignatureError nk"});
  EXPECT_EQ(OffsetListCell(Image(), list).Entry(1), Off(vk));
  EXPECT_EQ(NkCell(Image(), KeyPos("A")).vklistOffset(), b.Offset(b.ValueListCell(a)));
  EXPECT_EQ(Shadow(data).ParentLink(), moved) << "children follow whatever the referrer";

  run.ui.Clear();
  uint32_t cls = Pos(b.ClassCell(a));
  Shadow(cls).SetParentLink(0);
  Move(cls);
  EXPECT_EQ(RedLines(), std::vector<std::string>{"clSignatureError"});
  EXPECT_EQ(NkCell(Image(), KeyPos("A")).ClassOffset(), b.Offset(b.ClassCell(a)));
}

TEST_F(RelocateTest, ListEntryOwnedByAnotherListKeepsItsReferrer) {
  BuildSample();
  Load();
  // B's value list also names A's value "two", which A's list recorded.
  uint32_t aList = Pos(b.ValueListCell(a));
  uint32_t vk = Pos(b.VkCell(two));
  OffsetListCell(Image(), Pos(b.ValueListCell(b.FindKey("B")))).SetEntry(0, Off(vk));
  Move(Pos(b.ValueListCell(b.FindKey("B"))));
  EXPECT_EQ(Shadow(vk).ParentLink(), aList);
  uint32_t moved = Move(vk);
  EXPECT_EQ(OffsetListCell(Image(), aList).Entry(1), Off(moved));
}

TEST_F(RelocateTest, FailureLinePerKind) {
  struct Case {
    const char* path;  // whose cell is moved
    int which;         // 0 nk, 1 index, 2 list, 3 class, 4 db, 5 segment list, 6 segment, 7 data
    const char* line;
  };
  const Case cases[] = {
      {"A", 1, "llSignatureError vm"}, {"A", 2, "vmSignatureError vm"}, {"A", 3, "clSignatureError vm"},
      {"A", 4, "dbSignatureError vm"}, {"A", 5, "dlSignatureError vm"}, {"A", 6, "ddSignatureError vm"},
      {"A", 7, "vdSignatureError vm"}, {"A\\A2", 0, "nkSignatureError vm"},
  };
  for (const Case& c : cases) {
    BuildSample();
    Load();
    uint32_t pos = 0;
    switch (c.which) {
      case 0: pos = KeyPos(c.path); break;
      case 1: pos = Pos(b.IndexCell(a)); break;
      case 2: pos = Pos(b.ValueListCell(a)); break;
      case 3: pos = Pos(b.ClassCell(a)); break;
      case 4: pos = Pos(b.DataCell(big)); break;
      case 5: pos = Pos(b.SegmentListCell(big)); break;
      case 6: pos = Pos(b.SegmentCell(big, 0)); break;
      case 7: pos = Pos(b.DataCell(two)); break;
    }
    Shadow(pos).SetParentLink(Pos(b.ValueListCell(b.FindKey("B"))));
    Move(pos);
    EXPECT_EQ(RedLines(), std::vector<std::string>{c.line}) << c.line;
  }
}

TEST_F(RelocateTest, CellOfNoKindIsDumped) {
  b = HiveBuilder();
  testing::Cell raw = b.AddRawCell({0x41, 0x42, 0x43, 0x44, 0x45}, 24);
  Load();
  uint32_t pos = Pos(raw);
  Shadow(pos).SetAccessWord(0x107);
  Move(pos);
  std::vector<std::string> pane = run.ui.PaneUtf8();
  ASSERT_GE(pane.size(), 3u);
  EXPECT_EQ(pane[0], "SignatureError2 u7 ");
  EXPECT_EQ(pane[1], "0000 e8ffffff414243444500000000000000");
  EXPECT_EQ(pane[2], "0010 0000000000000000");
}

// --- a whole hive ---

// Moves every cell the walk recorded once, each into space behind the old
// end of the hive, and checks that the hive reads as it did.
TEST_F(RelocateTest, MovingEveryCellKeepsTheTreeReadable) {
  BuildSample();
  Load();
  std::string before = run.HivePath();
  testing::ProcessResult original = testing::RunProcess({"/usr/bin/python3", "-c", kHivexDump, before});
  if (original.status != 0) GTEST_SKIP() << "python3-hivex is not usable: " << original.err;

  uint32_t oldEnd = kBaseBlockSize + Image().HbinsDataSize();
  std::vector<uint32_t> cells;
  std::set<uint8_t> kinds;
  for (uint32_t bin = kBaseBlockSize; bin < oldEnd; bin += Image().U32(bin + 8))
    for (uint32_t c = bin + 32; c < bin + Image().U32(bin + 8); c += CellView(Image(), c).Length())
      if (SizeAt(c) < 0 && Shadow(c).References() != 0) {
        cells.push_back(c);
        kinds.insert(Shadow(c).Kind());
      }
  // nk, sk, lf, lh, li, ri, vm, vk, vd, cl, db, dl, dd
  EXPECT_EQ(kinds.size(), 13u);
  for (uint32_t c : cells) {
    ASSERT_GE(Move(c, oldEnd), oldEnd);
  }
  EXPECT_TRUE(RedLines().empty());
  ClosingFixup(ctx);

  // Recorded afresh, every reference leads into the new bins.
  ctx.Shadow.Clear();
  Record();
  EXPECT_TRUE(RedLines().empty());
  for (uint32_t c : cells) EXPECT_EQ(Shadow(c).References(), 0u) << c;

  std::string after = run.dir.File("moved");
  ASSERT_TRUE(testing::WriteBytes(after, run.ImageBytes()));
  testing::ProcessResult moved = testing::RunProcess({"/usr/bin/python3", "-c", kHivexDump, after});
  ASSERT_EQ(moved.status, 0) << moved.err;
  EXPECT_EQ(moved.out, original.out);
  EXPECT_GT(original.out.size(), 200u);
}

// hivexml's listing without the byte runs, which name the cells' places.
std::string HivexmlTree(const std::string& path) {
  testing::ProcessResult r = testing::RunProcess({"hivexml", path});
  if (r.status != 0) return "<hivexml failed: " + r.err + ">";
  return std::regex_replace(r.out, std::regex("<byte_runs>.*?</byte_runs>"), "");
}

// The same, end to end: the scan records the links, every cell moves, and
// a Search of the written file finds nothing wrong.
TEST_F(RelocateTest, SearchFindsNothingWrongAfterEveryCellMoved) {
  BuildSample();
  ASSERT_TRUE(run.Load(b.Build()));
  std::string original = HivexmlTree(run.HivePath());
  testing::ProcessResult dump = testing::RunProcess({"/usr/bin/python3", "-c", kHivexDump, run.HivePath()});
  run.Run(kCmdSearchDates);
  ASSERT_TRUE(RedLines().empty()) << RedLines().front();

  uint32_t oldEnd = kBaseBlockSize + Image().HbinsDataSize();
  std::vector<uint32_t> cells;
  for (uint32_t bin = kBaseBlockSize; bin < oldEnd; bin += Image().U32(bin + 8))
    for (uint32_t c = bin + 32; c < bin + Image().U32(bin + 8); c += CellView(Image(), c).Length())
      if (SizeAt(c) < 0 && Shadow(c).References() != 0) cells.push_back(c);
  ASSERT_EQ(cells.size(), 40u) << "every cell of the sample is reached";
  for (uint32_t c : cells) {
    ASSERT_GE(Move(c, oldEnd), oldEnd);
  }
  ClosingFixup(ctx);
  ASSERT_TRUE(RedLines().empty()) << RedLines().front();

  HiveRun second;
  ASSERT_TRUE(second.Load(run.ImageBytes(), "moved"));
  second.Run(kCmdSearchDates);
  // The old places are free space now and the root no longer sits at 0x20:
  // the statistics (layout) and the root test (a note) say so in black.
  // Nothing may be red.
  int movedRoot = 0;
  for (const auto& l : second.ui.Pane()) {
    if (l.text.rfind("Root nkCellsOffsetVaue=0x", 0) == 0 && l.text != "Root nkCellsOffsetVaue=0x00000020") ++movedRoot;
    if (l.colour == kRed) ADD_FAILURE() << l.text;
  }
  EXPECT_EQ(movedRoot, 1);
  EXPECT_EQ(second.ctx.FaultLines, 0u) << "a root elsewhere is no fault";
  EXPECT_EQ(HivexmlTree(second.HivePath()), original);
  EXPECT_NE(original.find("<node name=\"c5\">"), std::string::npos);
  if (dump.status == 0) {
    EXPECT_EQ(testing::RunProcess({"/usr/bin/python3", "-c", kHivexDump, second.HivePath()}).out, dump.out);
  }
}

}  // namespace
}  // namespace quelbrix
