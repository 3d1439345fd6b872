// FindDeleted on hives with keys and values deleted as the system deletes
// them: what it lists is exactly what was deleted (by cell offset), with the
// data the free space still holds and nothing of the live tree.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "deleted/deleted.h"
#include "support/hive_builder.h"
#include "support/windows_delete.h"

namespace quelbrix::testing {
namespace {

using deleted::DeletedScan;
using deleted::FindDeleted;
using deleted::RecoveredKey;
using deleted::RecoveredValue;

std::vector<uint8_t> Bytes(size_t n, uint8_t seed) {
  std::vector<uint8_t> out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(seed + i * 13);
  return out;
}

DeletedScan Scan(HiveBuilder& b) { return FindDeleted(b.Image().data(), b.Image().size()); }

std::set<uint32_t> KeyOffsets(const DeletedScan& s) {
  std::set<uint32_t> out;
  for (const RecoveredKey& k : s.Keys) out.insert(k.Offset);
  return out;
}

const RecoveredKey* ByPath(const DeletedScan& s, std::u16string_view path) {
  for (const RecoveredKey& k : s.Keys)
    if (k.Path == path) return &k;
  return nullptr;
}

const RecoveredValue* ValueNamed(const std::vector<RecoveredValue>& values, std::u16string_view name) {
  for (const RecoveredValue& v : values)
    if (v.Name == name) return &v;
  return nullptr;
}

// Root with a live key Live (values a, b, c), and Gone\{Child\Leaf, Other}
// with values of every storage form: inline, a data cell, big data.
struct Tree {
  HiveBuilder b;
  Key live, gone, child, leaf, other;
  Value a, c, small, cell, big;
};

std::unique_ptr<Tree> MakeTree() {
  auto t = std::make_unique<Tree>();
  HiveBuilder& b = t->b;
  t->live = b.AddKey(b.Root(), "Live");
  t->a = b.AddValue(t->live, "a", 3, Bytes(40, 1));
  b.AddValue(t->live, "b", 4, {1, 2, 3, 4});
  t->c = b.AddValue(t->live, "c", 3, Bytes(64, 2));
  t->gone = b.AddKey(b.Root(), "Gone");
  b.SetClass(t->gone, u"GoneClass");
  t->small = b.AddValue(t->gone, "small", 4, {9, 8, 7, 6});
  t->cell = b.AddValue(t->gone, "cell", 1, {'h', 0, 'i', 0, 0, 0});
  t->child = b.AddKey(t->gone, u"caf\u00e9");
  t->big = b.AddValue(t->child, "big", 3, Bytes(40000, 3));
  t->leaf = b.AddKey(t->child, "Leaf");
  b.AddValue(t->leaf, "", 3, Bytes(100, 4));
  t->other = b.AddKey(t->gone, "Other");
  b.Build();
  return t;
}

TEST(FindDeleted, NothingInASoundHive) {
  auto t = MakeTree();
  DeletedScan s = Scan(t->b);
  EXPECT_TRUE(s.Readable);
  EXPECT_TRUE(s.Keys.empty());
  EXPECT_TRUE(s.Values.empty());
}

// A subtree deleted whole: every key of it, with its path from the root, its
// class and values byte for byte, big data too; nothing else.
TEST(FindDeleted, DeletedSubtreeExactly) {
  auto t = MakeTree();
  HiveBuilder& b = t->b;
  std::set<uint32_t> deletedKeys;
  for (Key k : {t->gone, t->child, t->leaf, t->other}) deletedKeys.insert(b.Offset(b.NkCell(k)));
  DeleteKeyAsWindows(b, t->gone);
  DeletedScan s = Scan(b);
  EXPECT_EQ(KeyOffsets(s), deletedKeys);
  EXPECT_TRUE(s.Values.empty());
  ASSERT_EQ(s.Keys.size(), 4u);
  EXPECT_EQ(s.Keys[0].Path, u"Gone") << "parents come before their subkeys";
  const RecoveredKey* gone = ByPath(s, u"Gone");
  const RecoveredKey* child = ByPath(s, u"Gone\\caf\u00e9");
  const RecoveredKey* leaf = ByPath(s, u"Gone\\caf\u00e9\\Leaf");
  ASSERT_TRUE(gone && child && leaf && ByPath(s, u"Gone\\Other"));
  for (const RecoveredKey& k : s.Keys) EXPECT_TRUE(k.PathComplete) << std::string(k.Path.begin(), k.Path.end());
  EXPECT_TRUE(gone->ParentLive);
  EXPECT_EQ(gone->ParentOffset, b.Offset(b.NkCell(b.Root())));
  EXPECT_EQ(gone->LastWrite, b.Model(t->gone).timeStamp);
  EXPECT_TRUE(gone->HasClass);
  EXPECT_EQ(gone->Class, u"GoneClass");
  EXPECT_EQ(gone->Children.size(), 2u);
  ASSERT_EQ(gone->Values.size(), 2u);
  EXPECT_EQ(gone->Values[0].Name, u"small");
  EXPECT_EQ(gone->Values[0].Data, (std::vector<uint8_t>{9, 8, 7, 6}));
  EXPECT_EQ(gone->Values[1].Data, b.Model(t->cell).data);
  EXPECT_EQ(gone->Values[1].Type, 1u);
  ASSERT_EQ(child->Values.size(), 1u);
  EXPECT_TRUE(child->Values[0].Complete);
  EXPECT_EQ(child->Values[0].Data, b.Model(t->big).data);
  ASSERT_EQ(leaf->Values.size(), 1u);
  EXPECT_EQ(leaf->Values[0].Name, u"");
  EXPECT_EQ(leaf->Values[0].Data, Bytes(100, 4));
}

// The parent deleted too, and then its cell reused: the subkeys still
// count (the orphan is named by its own subkey), without a path from the
// root; an orphan that nothing names does not.
TEST(FindDeleted, DeletedParentToo) {
  auto t = MakeTree();
  HiveBuilder& b = t->b;
  uint32_t goneNk = b.Offset(b.NkCell(t->gone));
  DeleteKeyAsWindows(b, t->gone);
  ASSERT_EQ(Scan(b).Keys.size(), 4u);
  // Gone's cell taken by something else: its bytes are no key any more.
  TakeCellAt(b, goneNk, 16);
  b.SetU32(goneNk, 4, 0x12345678);
  b.RecomputeChecksum();
  DeletedScan s = Scan(b);
  std::set<uint32_t> expected = {b.Offset(b.NkCell(t->child)), b.Offset(b.NkCell(t->leaf))};
  EXPECT_EQ(KeyOffsets(s), expected) << "Other's parent is gone and nothing names it";
  const RecoveredKey* child = ByPath(s, u"caf\u00e9");
  ASSERT_NE(child, nullptr);
  EXPECT_FALSE(child->PathComplete);
  EXPECT_FALSE(child->ParentLive);
  EXPECT_EQ(child->ParentOffset, goneNk);
  ASSERT_NE(ByPath(s, u"caf\u00e9\\Leaf"), nullptr);
  EXPECT_FALSE(ByPath(s, u"caf\u00e9\\Leaf")->PathComplete);
  EXPECT_EQ(deleted::FindRecoveredKey(s, u"caf\u00e9"), -1) << "undelete takes complete paths only";
}

// Data whose cells were taken again reads as incomplete, never as the
// bytes that are there now: a data cell, and one segment of big data.
TEST(FindDeleted, ReusedDataIsIncomplete) {
  auto t = MakeTree();
  HiveBuilder& b = t->b;
  uint32_t data = b.Offset(b.DataCell(t->cell));
  uint32_t segment = b.Offset(b.SegmentCell(t->big, 1));
  DeleteKeyAsWindows(b, t->gone);
  TakeCellAt(b, data, 16);
  TakeCellAt(b, segment, 16);
  DeletedScan s = Scan(b);
  const RecoveredKey* gone = ByPath(s, u"Gone");
  const RecoveredKey* child = ByPath(s, u"Gone\\caf\u00e9");
  ASSERT_TRUE(gone && child);
  const RecoveredValue* cell = ValueNamed(gone->Values, u"cell");
  ASSERT_NE(cell, nullptr);
  EXPECT_FALSE(cell->Complete);
  EXPECT_TRUE(cell->Data.empty());
  EXPECT_TRUE(ValueNamed(gone->Values, u"small")->Complete) << "inline data lives in the vk cell";
  ASSERT_EQ(child->Values.size(), 1u);
  EXPECT_FALSE(child->Values[0].Complete);
  // What it gives is the first segment's bytes, the ones still held.
  std::vector<uint8_t> first(b.Model(t->big).data.begin(), b.Model(t->big).data.begin() + 16344);
  EXPECT_EQ(child->Values[0].Data, first);
}

// Values deleted from a live key: the one that was last in the list is
// still named past the shortened count, so its key is known; the other is
// listed without one.  The live values are not listed.
TEST(FindDeleted, ValuesDeletedFromALiveKey) {
  auto t = MakeTree();
  HiveBuilder& b = t->b;
  uint32_t aVk = b.Offset(b.VkCell(t->a)), cVk = b.Offset(b.VkCell(t->c));
  DeleteValueAsWindows(b, t->c);
  DeleteValueAsWindows(b, t->a);
  DeletedScan s = Scan(b);
  EXPECT_TRUE(s.Keys.empty());
  ASSERT_EQ(s.Values.size(), 2u);
  const RecoveredValue* a = ValueNamed(s.Values, u"a");
  const RecoveredValue* c = ValueNamed(s.Values, u"c");
  ASSERT_TRUE(a && c);
  EXPECT_EQ(a->Offset, aVk);
  EXPECT_EQ(c->Offset, cVk);
  EXPECT_EQ(c->LiveKey, b.Offset(b.NkCell(t->live)));
  EXPECT_EQ(c->LiveKeyPath, u"Live");
  EXPECT_EQ(a->LiveKey, deleted::kNone);
  EXPECT_EQ(a->Data, Bytes(40, 1));
  EXPECT_EQ(c->Data, Bytes(64, 2));
  EXPECT_TRUE(a->Complete && c->Complete);
}

// A hive that shrank after the deletion keeps its old last bins in the file
// behind the declared end: what they hold is found there.
TEST(FindDeleted, SlackBehindTheBins) {
  HiveBuilder b;
  Key live = b.AddKey(b.Root(), "Live");
  b.AddValue(live, "x", 4, {1, 2, 3, 4});
  b.EndBin();
  Key gone = b.AddKey(b.Root(), "Gone");
  b.AddValue(gone, "v", 3, Bytes(100, 5));
  b.AddKey(gone, "Sub");
  b.Build();
  uint32_t goneNk = b.Offset(b.NkCell(gone));
  DeleteKeyAsWindows(b, gone);
  uint32_t cut = 4096;
  while (cut + b.FileU32(cut + 8) <= 4096 + goneNk) cut += b.FileU32(cut + 8);
  ASSERT_GT(cut, 4096u);
  b.SetFileU32(0x28, cut - 4096);
  b.RecomputeChecksum();
  DeletedScan s = Scan(b);
  ASSERT_EQ(s.Keys.size(), 2u);
  EXPECT_EQ(s.Keys[0].Path, u"Gone");
  EXPECT_TRUE(s.Keys[0].PathComplete);
  EXPECT_EQ(s.Keys[1].Path, u"Gone\\Sub");
  ASSERT_EQ(s.Keys[0].Values.size(), 1u);
  EXPECT_EQ(s.Keys[0].Values[0].Data, Bytes(100, 5));
}

// Damaged and cut bytes: never a read outside them, whatever is left.
TEST(FindDeleted, CutAndDamagedBytes) {
  auto t = MakeTree();
  HiveBuilder& b = t->b;
  DeleteKeyAsWindows(b, t->gone);
  std::vector<uint8_t> image = b.Image();
  for (size_t cut : {size_t{0}, size_t{100}, size_t{4096}, size_t{4200}, image.size() / 2, image.size() - 8}) {
    std::vector<uint8_t> part(image.begin(), image.begin() + cut);
    DeletedScan s = FindDeleted(part.data(), part.size());
    EXPECT_LE(s.Keys.size(), 4u);
  }
  // A parent offset that points outside the bins makes no key.
  std::vector<uint8_t> bad = image;
  uint32_t child = b.Offset(b.NkCell(t->child));
  for (int i = 0; i < 4; ++i) bad[4096 + child + 0x14 + i] = 0xFE;
  DeletedScan s = FindDeleted(bad.data(), bad.size());
  EXPECT_EQ(s.Keys.size(), 2u) << "Child and Leaf go; Gone and Other stay";
}

}  // namespace
}  // namespace quelbrix::testing
