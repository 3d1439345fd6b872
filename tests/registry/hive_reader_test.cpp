// The hive reader on damaged files: each fault gives a clean refusal with a
// reason; no byte of a damaged file leads to a read outside it.
#include "registry/hive_reader.h"

#include <gtest/gtest.h>

#include "hive/cells.h"
#include "registry/hive_writer.h"
#include "registry_test_util.h"
#include "support/hive_builder.h"

namespace quelbrix::registry {
namespace {

using testing::HiveBuilder;

struct Built {
  HiveBuilder builder;
  testing::Key a, b;
  testing::Value big;
};

// ROOT with A (two values) and B, and a value held as big data.
void Populate(Built& h) {
  h.a = h.builder.AddKey(h.builder.Root(), "A");
  h.b = h.builder.AddKey(h.builder.Root(), "B");
  h.builder.AddValue(h.a, "v1", 4, {1, 0, 0, 0});
  h.builder.AddValue(h.a, "v2", 1, {'x', 0, 0, 0});
  h.big = h.builder.AddValue(h.builder.Root(), "big", 3, std::vector<uint8_t>(40000, 7));
  h.builder.Build();
}

bool Read(HiveBuilder& builder, std::string* problem) {
  const auto& bytes = builder.Image();
  RegistryTree tree;
  platform::Status read = ReadHiveTree(bytes.data(), bytes.size(), &tree);
  if (problem != nullptr) *problem = read.Reason;
  return read.Ok();
}

TEST(HiveReader, ReadsTheBuildersHive) {
  Built h;
  Populate(h);
  RegistryTree tree;
  platform::Status read = ReadHiveTree(h.builder.Image().data(), h.builder.Image().size(), &tree);
  ASSERT_TRUE(read) << read.Text();
  ASSERT_EQ(tree.Root->Subkeys.size(), 2u);
  EXPECT_TRUE(tree.Root->Subkeys[0]->Name == u"A");
  EXPECT_EQ(tree.Root->Subkeys[0]->Values.size(), 2u);
  ASSERT_EQ(tree.Root->Values.size(), 1u);
  EXPECT_EQ(tree.Root->Values[0].Data, std::vector<uint8_t>(40000, 7));
}

// Subkeys stored out of sibling order are found by name all the same: the
// registry's lookups (Delete subkeys, Hive rebuild) search sorted lists.
TEST(HiveReader, PutsSubkeysStoredOutOfOrderInSiblingOrder) {
  HiveBuilder builder;
  builder.Model(builder.Root()).sortSubkeys = false;
  for (const char* name : {"c", "B", "a"}) builder.AddKey(builder.Root(), name);
  builder.Build();
  RegistryTree tree;
  platform::Status read = ReadHiveTree(builder.Image().data(), builder.Image().size(), &tree);
  ASSERT_TRUE(read) << read.Text();
  std::vector<std::u16string> names;
  for (const auto& key : tree.Root->Subkeys) names.push_back(key->Name);
  EXPECT_EQ(names, (std::vector<std::u16string>{u"a", u"B", u"c"}));
  for (const char16_t* name : {u"a", u"b", u"C"}) EXPECT_NE(tree.Root->Subkey(name), nullptr);
}

TEST(HiveReader, RefusesEachStructuralFaultWithItsReason) {
  struct Case {
    const char* what;
    void (*poke)(Built&);
    const char* reason;
  };
  const Case cases[] = {
      {"no regf", [](Built& h) { h.builder.SetFileU32(0, 0); }, "no regf signature"},
      {"version 2", [](Built& h) { h.builder.SetFileU32(0x14, 2); }, "unsupported hive version"},
      {"bins beyond the file", [](Built& h) { h.builder.SetFileU32(0x28, 0x100000); }, "beyond the file"},
      {"root outside the bins", [](Built& h) { h.builder.SetFileU32(0x24, 0x7FFFFFF8); }, "bad nk cell"},
      {"key listed twice",
       [](Built& h) {
         auto entry = h.builder.EntryOf(h.b);
         h.builder.SetU32(entry.leafOffset, 8 + 8 * entry.index, h.builder.NkOffset("A"));
       },
       "nk cell referenced twice"},
      {"index pointing at itself",
       [](Built& h) {
         uint32_t index = h.builder.Offset(h.builder.IndexCell(h.builder.Root()));
         h.builder.SetU16(index, 4, kSigRi);
         h.builder.SetU32(index, 8, index);
       },
       "nested ri index"},
      {"index shared by two keys",
       [](Built& h) {
         uint32_t a = h.builder.NkOffset("A");
         h.builder.SetU32(a, 0x18, 2);
         h.builder.SetU32(a, 0x20, h.builder.Offset(h.builder.IndexCell(h.builder.Root())));
       },
       "subkey index referenced twice"},
      {"value list count past its cell",
       [](Built& h) { h.builder.SetU32(h.builder.NkOffset("A"), 0x28, 5000); }, "bad value list"},
      {"free cell as a key",
       [](Built& h) {
         uint32_t nk = h.builder.NkOffset("B");
         h.builder.SetU32(nk, 0, 0u - h.builder.U32(nk, 0));  // the size word turned positive
       },
       "bad nk cell"},
      {"name longer than its cell", [](Built& h) { h.builder.SetU16(h.builder.NkOffset("A"), 0x4C, 0x7000); },
       "nk name outside its cell"},
      {"descriptor longer than its cell",
       [](Built& h) { h.builder.SetU32(h.builder.Offset(h.builder.SkCell(h.builder.DefaultSecurity())), 0x14, 1u << 30); },
       "sk descriptor outside its cell"},
      {"big data short of segments",
       [](Built& h) { h.builder.SetU16(h.builder.Offset(h.builder.DataCell(h.big)), 6, 1); },
       "db cell with too few segments"},
      {"segment list entry outside the bins",
       [](Built& h) { h.builder.SetU32(h.builder.Offset(h.builder.SegmentListCell(h.big)), 4, 0xFFFFFFF0u); },
       "bad big-data segment"},
  };
  for (const Case& c : cases) {
    Built h;
    Populate(h);
    c.poke(h);
    std::string problem;
    EXPECT_FALSE(Read(h.builder, &problem)) << c.what;
    EXPECT_NE(problem.find(c.reason), std::string::npos) << c.what << ": " << problem;
  }
}

// Every byte of a small hive replaced by two values in turn, and every
// length of it: the reader either refuses or gives a tree the writer can lay
// out again; the tolerant read gives the same tree where the strict one reads,
// and counts what it left out wherever the strict one refuses.  Run under the
// sanitizers, this is what shows a stray read.
TEST(HiveReader, SurvivesEveryByteOfASmallHiveChanged) {
  Built h;
  Populate(h);
  std::vector<uint8_t> image = h.builder.Image();
  size_t span = std::min<size_t>(image.size(), 4096 + 2048);
  int accepted = 0, refused = 0, tolerated = 0;
  for (size_t pos = 0; pos < span; ++pos) {
    if (pos >= 0x30 && pos < 0x1000 && pos != 0x1FC) continue;  // base block bytes nobody reads
    for (uint8_t v : {uint8_t{0x00}, uint8_t{0xFF}}) {
      std::vector<uint8_t> bytes = image;
      bytes[pos] = v;
      RegistryTree tree, tolerant;
      ReadDamage damage;
      bool read = ReadHiveTreeTolerant(bytes.data(), bytes.size(), &tolerant, &damage).Ok();
      if (ReadHiveTree(bytes.data(), bytes.size(), &tree)) {
        ++accepted;
        std::vector<uint8_t> again;
        EXPECT_TRUE(BuildHive(tree, u"x", 0, &again));
        ASSERT_TRUE(read) << pos;
        EXPECT_EQ(damage.Skipped, 0u) << pos;
        testing::ExpectSameTree(*tree.Root, *tolerant.Root);
      } else {
        ++refused;
        EXPECT_TRUE(!read || damage.Skipped > 0) << pos;
        tolerated += read;
      }
    }
  }
  for (size_t length = 0; length < image.size(); length += 61) {
    RegistryTree tree;
    ReadDamage damage;
    (void)ReadHiveTree(image.data(), length, &tree);
    (void)ReadHiveTreeTolerant(image.data(), length, &tree, &damage);
  }
  EXPECT_GT(accepted, 0);
  EXPECT_GT(refused, tolerated);
  EXPECT_GT(tolerated, 0);
}

}  // namespace
}  // namespace quelbrix::registry
