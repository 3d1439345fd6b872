// The hive writer: the layout it promises (checked cell by cell with the
// engine's views), the three independent readers, and the round trip through
// the hive reader.
#include "app/context.h"
#include "registry/hive_writer.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

#include "hive/base_block.h"
#include "hive/cells.h"
#include "hive/image.h"
#include "hive/names.h"
#include "platform/text.h"
#include "registry/hive_reader.h"
#include "registry_test_util.h"
#include "support/hive_builder.h"
#include "support/hive_fixture.h"

namespace quelbrix::registry {
namespace {

using testing::TempDir;

constexpr uint64_t kTime = 0x01D5A2B3C4D5E6F7ull;

Descriptor Variant(uint8_t mask) {
  std::vector<uint8_t> sd = *StandardDescriptor();
  sd[20 + 8 + 4] = mask;  // first ACE's access mask
  return std::make_shared<const std::vector<uint8_t>>(sd);
}

std::vector<uint8_t> Bytes(size_t n, uint8_t seed) {
  std::vector<uint8_t> b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7);
  return b;
}

RegistryKey* Add(RegistryKey* parent, std::u16string name, Descriptor sd = nullptr) {
  auto key = std::make_shared<RegistryKey>();
  key->Name = std::move(name);
  key->LastWrite = kTime;
  key->Security = sd ? sd : parent->Security;
  bool found = false;
  size_t at = parent->FindSubkey(key->Name, &found);
  return parent->AddSubkey(key, at);
}

// Keys with classes, 8-bit, Latin-1 and UTF-16 names, three descriptors,
// values of every size class, a key with more subkeys than one list holds,
// and a deep chain.
RegistryTree RichTree(uint32_t minor) {
  RegistryTree tree = EmptyTree(u"ROOT", kTime);
  tree.MinorVersion = minor;
  RegistryKey* root = tree.Root.get();
  root->Values = {{u"", 1, {'x', 0, 0, 0}, 0},
                  {u"Dword", 4, {1, 2, 3, 4}, 0},
                  {u"Empty", 3, {}, 0},
                  {u"Five", 3, Bytes(5, 1), 0},
                  {u"Exactly", 3, Bytes(16344, 2), 0},
                  {u"OneMore", 3, Bytes(16345, 3), 0},
                  {u"Large", 3, Bytes(100000, 4), 0},
                  {u"値", 7, {'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0}, 0}};
  RegistryKey* software = Add(root, u"Software", Variant(0x3E));
  software->Class = u"Class名";
  Add(software, u"Ünïcode Latin");
  RegistryKey* japanese = Add(root, u"日本語キー", Variant(0x1F));
  japanese->Class = u"C";
  japanese->Values.push_back({u"Text", 1, {0x42, 0x30, 0, 0}, 0});
  RegistryKey* many = Add(root, u"Many");
  for (int i = 1199; i >= 0; --i) {
    char name[16];
    std::snprintf(name, sizeof name, "k%04d", i);
    RegistryKey* k = Add(many, std::u16string(name, name + 5), i % 3 == 0 ? Variant(0x3E) : nullptr);
    k->Values.push_back({u"n", 4, {static_cast<uint8_t>(i), 0, 0, 0}, 0});
  }
  RegistryKey* deep = root;
  for (int i = 0; i < 40; ++i) deep = Add(deep, u"d" + std::u16string(1, static_cast<char16_t>(u'A' + i % 26)));
  return tree;
}

// Follows every reference of a written hive and checks the layout rules;
// collects the reached cells.
struct LayoutCheck {
  HiveImage image;
  uint32_t minor;
  std::set<uint32_t> reached;
  std::map<uint32_t, uint32_t> skUses;
  std::map<uint32_t, std::vector<uint8_t>> skBytes;
  int keys = 0;

  CellView Cell(uint32_t offset) {
    CellView c = CellView::AtOffset(image, offset);
    EXPECT_TRUE(c.Valid() && c.Size() < 0) << std::hex << offset;
    EXPECT_TRUE(reached.insert(offset).second) << "cell reached twice " << std::hex << offset;
    return c;
  }

  std::u16string NameOf(const uint8_t* p, uint32_t length, bool eightBit) {
    std::u16string n(eightBit ? length : length / 2, u'\0');
    NameUnits(p, length, length, eightBit, n.data(), n.size());
    return n;
  }

  void Key(uint32_t offset, uint32_t parent) {
    ++keys;
    NkCell nk(Cell(offset));
    ASSERT_EQ(nk.Signature(), kSigNk);
    if (parent != kNoCell) {
      EXPECT_EQ(nk.ParentOffset(), parent);
    }
    EXPECT_EQ(nk.Length(), NeedsFor(kKindNk, nk.KeyLength()).Trim);
    skUses[nk.skOffset()]++;
    if (skBytes.count(nk.skOffset()) == 0) {
      SkCell sk(Cell(nk.skOffset()));
      EXPECT_EQ(sk.Signature(), kSigSk);
      skBytes[nk.skOffset()].assign(sk.Descriptor(), sk.Descriptor() + sk.DescriptorLength());
    }
    if (nk.ClassLength() != 0) Cell(nk.ClassOffset());
    else EXPECT_EQ(nk.ClassOffset(), kNoCell);

    uint32_t maxName = 0, maxData = 0;
    if (nk.vklistCount() != 0) {
      OffsetListCell list(Cell(nk.vklistOffset()));
      for (uint32_t i = 0; i < nk.vklistCount(); ++i) {
        VkCell vk(Cell(list.Entry(i)));
        maxName = std::max(maxName, vk.AsciiName() ? 2u * vk.NameLength() : vk.NameLength());
        uint32_t length = vk.DataLength() & 0x7FFFFFFF;
        maxData = std::max(maxData, length);
        EXPECT_EQ(vk.InlineData(), length <= 4);
        if (length <= 4) continue;
        CellView data = Cell(vk.DataOffset());
        if (length > kBigDataThreshold && minor >= 4) {
          DbCell db(data);
          ASSERT_EQ(db.Signature(), kSigDb);
          EXPECT_EQ(db.SegmentCount(), (length + kSegmentData - 1) / kSegmentData);
          OffsetListCell segments(Cell(db.ddlistOffset()));
          for (uint32_t s = 0; s < db.SegmentCount(); ++s)
            EXPECT_EQ(Cell(segments.Entry(s)).Length(), kSegmentCellSize);
        } else {
          EXPECT_NE(data.Signature(), kSigDb);
          EXPECT_EQ(data.Length(), RoundUp8(4 + length));
        }
      }
    } else {
      EXPECT_EQ(nk.vklistOffset(), kNoCell);
    }
    EXPECT_EQ(nk.MaxName(), maxName);
    EXPECT_EQ(nk.MaxData(), maxData);

    if (nk.SubkeyCount() == 0) {
      EXPECT_EQ(nk.SubkeyOffset(), kNoCell);
      return;
    }
    IndexCell top(Cell(nk.SubkeyOffset()));
    std::vector<IndexCell> leaves;
    if (nk.SubkeyCount() > kMaxLeafEntries) {
      ASSERT_EQ(top.Signature(), kSigRi);
      for (uint32_t i = 0; i < top.Count(); ++i) leaves.emplace_back(Cell(top.KeyOffset(i)));
    } else {
      leaves.push_back(top);
    }
    std::u16string previous;
    uint32_t count = 0, maxSubkey = 0, maxClass = 0;
    std::vector<uint32_t> children;
    for (const IndexCell& leaf : leaves) {
      EXPECT_EQ(leaf.Signature(), minor >= 5 ? kSigLh : kSigLf);
      EXPECT_LE(leaf.Count(), kMaxLeafEntries);
      for (uint32_t i = 0; i < leaf.Count(); ++i, ++count) {
        NkCell child(CellView::AtOffset(image, leaf.KeyOffset(i)));
        std::u16string name = NameOf(child.KeyName(), child.KeyLength(), child.AsciiName());
        // Hashes and order as worked out apart from the writer's own functions.
        EXPECT_EQ(leaf.Hash(i), minor >= 5 ? testing::BuilderLhHash(name) : testing::BuilderLfHint(name));
        if (count > 0) {
          EXPECT_LT(testing::BuilderOrderKey(previous), testing::BuilderOrderKey(name));
        }
        previous = name;
        maxSubkey = std::max<uint32_t>(maxSubkey, 2 * name.size());
        maxClass = std::max<uint32_t>(maxClass, child.ClassLength());
        children.push_back(leaf.KeyOffset(i));
      }
    }
    EXPECT_EQ(count, nk.SubkeyCount());
    EXPECT_EQ(nk.MaxSubkey(), maxSubkey);
    EXPECT_EQ(nk.MaxClass(), maxClass);
    for (uint32_t child : children) Key(child, offset);
  }
};

class HiveWriterTest : public ::testing::TestWithParam<uint32_t> {};

TEST_P(HiveWriterTest, LaysOutEveryRecordAsTheRegistryDoes) {
  RegistryTree tree = RichTree(GetParam());
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(BuildHive(tree, u"\\REGISTRY\\MACHINE\\A_VERY_LONG_HIVE_FILE_NAME_TEST", kTime, &bytes));
  ASSERT_EQ(bytes.size() % 4096, 0u);
  HiveImage image(bytes.data(), static_cast<uint32_t>(bytes.size()));
  BaseBlock base(image);
  EXPECT_TRUE(base.HasSignature());
  uint32_t xorOfHeader = 0;  // the first 127 dwords
  for (int i = 0; i < 127; ++i) xorOfHeader ^= LoadU32(bytes.data() + 4 * i);
  EXPECT_EQ(base.Checksum(), xorOfHeader);
  EXPECT_EQ(base.RootCellOffset(), 0x20u);
  EXPECT_EQ(base.HbinsDataSize() + 4096ull, bytes.size());
  EXPECT_EQ(base.PrimarySequence(), base.SecondarySequence());
  EXPECT_EQ(base.MinorVersion(), GetParam());
  // The file name field keeps the tail: 31 units and a NUL.
  EXPECT_EQ(LoadU16(bytes.data() + 0x30), u'A');  // of A_VERY_LONG_HIVE_FILE_NAME_TEST
  EXPECT_EQ(LoadU16(bytes.data() + 0x30 + 62), 0);

  // Bins chain to the end and their cells fill them exactly.
  std::set<uint32_t> allocated;
  for (uint64_t pos = 4096; pos < bytes.size();) {
    ASSERT_EQ(LoadU32(bytes.data() + pos), 0x6E696268u) << pos;
    uint32_t size = LoadU32(bytes.data() + pos + 8);
    ASSERT_EQ(LoadU32(bytes.data() + pos + 4), pos - 4096);
    ASSERT_EQ(size % 4096, 0u);
    EXPECT_EQ(LoadU32(bytes.data() + pos + 0x1C), GetParam() <= 3 ? size : 0u);
    uint64_t cell = pos + 32;
    while (cell < pos + size) {
      int32_t s = static_cast<int32_t>(LoadU32(bytes.data() + cell));
      ASSERT_NE(s, 0);
      if (s < 0) allocated.insert(static_cast<uint32_t>(cell - 4096));
      cell += s < 0 ? -static_cast<int64_t>(s) : s;
    }
    ASSERT_EQ(cell, pos + size);
    pos += size;
  }

  LayoutCheck check{image, GetParam(), {}, {}, {}, 0};
  check.Key(0x20, kNoCell);
  EXPECT_EQ(check.keys, 1 + 2 + 1 + 1 + 1200 + 40);
  // Compact: every allocated cell is reached, exactly once.
  EXPECT_EQ(check.reached, allocated);

  // One sk per distinct descriptor, one ring, true reference counts.
  EXPECT_EQ(check.skUses.size(), 3u);
  std::set<std::vector<uint8_t>> distinct;
  for (auto& [offset, bytesOf] : check.skBytes) distinct.insert(bytesOf);
  EXPECT_EQ(distinct.size(), 3u);
  uint32_t sk = check.skUses.begin()->first;
  std::set<uint32_t> ring;
  for (int i = 0; i < 10 && ring.insert(sk).second; ++i) {
    SkCell cell(CellView::AtOffset(image, sk));
    EXPECT_EQ(cell.RefCount(), check.skUses[sk]);
    EXPECT_EQ(SkCell(CellView::AtOffset(image, cell.NextskOffset())).PrevskOffset(), sk);
    sk = cell.NextskOffset();
  }
  EXPECT_EQ(ring.size(), 3u);
}

TEST_P(HiveWriterTest, IndependentReadersAndTheHiveReaderSeeTheTree) {
  TempDir dir;
  RegistryTree tree = RichTree(GetParam());
  std::string path = dir.File("rich.hiv");
  ASSERT_TRUE(WriteHiveFile(path, tree));
  testing::ExpectOraclesAccept(path);

  testing::ProcessResult listing = testing::HivexListing(path, dir.File("rich.txt"));
  ASSERT_EQ(listing.status, 0) << listing.err;
  auto text = testing::ReadBytes(dir.File("rich.txt"));
  EXPECT_EQ(std::string(text.begin(), text.end()), testing::ListingOf(*tree.Root));

  // Classes and descriptors as reglookup prints them.
  testing::ProcessResult lookup = testing::RunProcess({"reglookup", "-s", "-t", "KEY", "-p", "/Software", path});
  EXPECT_NE(lookup.out.find(",S-1-5-32-544,S-1-5-18,,S-1-5-18:ALLOW:"), std::string::npos) << lookup.out;
  // reglookup quotes a class it cannot convert as its raw UTF-16 bytes.
  EXPECT_NE(lookup.out.find(",C%00l%00a%00s%00s%00%0DT"), std::string::npos) << lookup.out;

  RegistryTree back;
  platform::Status read = ReadHiveFile(path, &back);
  ASSERT_TRUE(read) << read.Text();
  EXPECT_EQ(back.MinorVersion, GetParam());
  testing::ExpectSameTree(*tree.Root, *back.Root);
  // The root is marked as the hive's entry and undeletable.
  EXPECT_EQ(back.Root->Flags & kKeyNoDelete, kKeyNoDelete);
}

INSTANTIATE_TEST_SUITE_P(Versions, HiveWriterTest, ::testing::Values(3u, 5u),
                         [](const auto& info) { return "Version1_" + std::to_string(info.param); });

TEST(HiveWriter, EngineSearchOfAWrittenHiveReportsNoError) {
  RegistryTree tree = RichTree(5);
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(BuildHive(tree, u"rich", kTime, &bytes));
  testing::HiveRun run;
  ASSERT_TRUE(run.Load(bytes));
  run.Run(kCmdSearchNoDates);
  std::vector<std::string> report = run.ReportLinesUtf8();
  EXPECT_NE(std::find(report.begin(), report.end(), "ROOT\\Many\\k1199"), report.end());
  for (const auto& line : run.ui.Pane()) EXPECT_NE(line.colour, 255u) << platform::AnsiToUtf8(line.text);
}

TEST(HiveWriter, KeysWithoutADescriptorTakeTheirParentsAndVolatileKeysStayOut) {
  RegistryTree tree = EmptyTree(u"R", kTime);
  tree.Root->Security = Variant(0x11);
  RegistryKey* a = Add(tree.Root.get(), u"A");
  a->Security = nullptr;
  RegistryKey* gone = Add(tree.Root.get(), u"Gone");
  gone->Volatile = true;
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(BuildHive(tree, u"r", kTime, &bytes));
  RegistryTree back;
  ASSERT_TRUE(ReadHiveTree(bytes.data(), bytes.size(), &back));
  ASSERT_EQ(back.Root->Subkeys.size(), 1u);
  ASSERT_TRUE(back.Root->Subkeys[0]->Security);
  EXPECT_EQ(*back.Root->Subkeys[0]->Security, *tree.Root->Security);
}

}  // namespace
}  // namespace quelbrix::registry
