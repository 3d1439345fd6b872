// Repair on built hives with one kind of damage each, and one with several:
// a Search of the hive Repair wrote has no error line, it holds every key
// and value of the undamaged hive that the damage left readable, a second
// Repair changes nothing, and the independent readers open it.
#include "app/context.h"
#include "repair/sound_hive.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "core/report_log.h"
#include "hive/access_map.h"
#include "hive/cells.h"
#include "platform/text.h"
#include "support/hive_builder.h"
#include "support/hive_fixture.h"
#include "support/recording_findings.h"
#include "support/run_process.h"

namespace quelbrix::testing {
namespace {

// Red lines that report no damage: statistics red by a threshold, and a value
// type the program does not know.
bool IsDamage(const std::string& line) {
  for (const char* fine : {"UnallocCellsMaxSize(Byte)=", "ContinueCellsCount=", "UnpackedCellsCount=",
                           "UnallocHbinsCount=", "(AllocCells)NonaccessCells", "data type unknown"})
    if (line.rfind(fine, 0) == 0) return false;
  return true;
}

struct Tree {
  std::set<std::string> keys, values;  // paths, and "path|value line"
  std::vector<std::string> damage;
  std::vector<std::string> summary;  // counter lines after "[Repair Summary]"
};

// Search (or Repair) of the bytes; the tree the key walk printed.
Tree Scan(const std::vector<uint8_t>& bytes, int32_t command, std::vector<uint8_t>* written = nullptr) {
  HiveRun run;
  EXPECT_TRUE(run.Load(bytes));
  run.ui.Clear();
  run.Run(command);
  Tree tree;
  for (const PaneLine& line : run.ui.Pane())
    if (line.colour == kRed && IsDamage(platform::AnsiToUtf8(line.text)))
      tree.damage.push_back(platform::AnsiToUtf8(line.text));
  bool inWalk = false, inSummary = false;
  std::string key;
  for (const std::string& line : run.ReportLinesUtf8()) {
    if (line.rfind("[SubkeyScan Start]", 0) == 0) inWalk = true;
    if (line.rfind("[SubkeyScan Result]", 0) == 0) inWalk = false;
    if (line.rfind("[Repair Summary]", 0) == 0) inSummary = true;
    if (line.rfind("[HbinsCellsStruct Status]", 0) == 0) inSummary = false;
    if (inSummary && line[0] != '[') tree.summary.push_back(line);
    if (!inWalk || line[0] == '[' || line.rfind("sequrity(", 0) == 0 || line.rfind("className=", 0) == 0) continue;
    if (line[0] == '"') {
      tree.values.insert(key + "|" + line);
    } else {
      key = line;
      tree.keys.insert(line);
    }
  }
  if (written != nullptr) *written = run.ImageBytes();
  return tree;
}

// The key and its subtree, and the values under them.
void Drop(Tree& tree, const std::string& path) {
  for (auto it = tree.keys.begin(); it != tree.keys.end();)
    it = (*it == path || it->rfind(path + "\\", 0) == 0) ? tree.keys.erase(it) : std::next(it);
  for (auto it = tree.values.begin(); it != tree.values.end();)
    it = (it->rfind(path + "|", 0) == 0 || it->rfind(path + "\\", 0) == 0) ? tree.values.erase(it) : std::next(it);
}

// Makes a cell free, as if the hive had dropped it.
void FreeCell(HiveBuilder& b, Cell cell) {
  uint32_t offset = b.Offset(cell);
  b.SetI32(offset, 0, -static_cast<int32_t>(b.U32(offset, 0)));
}

// A tree of keys spread over several bins: values of every form, a class,
// a second descriptor, and an ri of lf leaves under "Wide".
struct Sample {
  HiveBuilder b;
  Key a, b1, wide, big, tail;
  Value dword, text, bigValue;
  Sample() {
    a = b.AddKey(b.Root(), "Alpha");
    b.SetClass(a, u"ClassOfAlpha");
    dword = b.AddValue(a, "Dword", 4, {1, 2, 3, 4});
    text = b.AddValue(a, "Text", 1, {'h', 0, 'i', 0, 0, 0});
    b1 = b.AddKey(a, "Beta");
    b.SetSecurity(b1, b.AddSecurity(HiveBuilder::DefaultDescriptor()));
    b.EndBin();
    wide = b.AddKey(b.Root(), "Wide");
    b.Model(wide).index = IndexShape{IndexKind::kLf, 3, 0};
    for (char c = 'a'; c <= 'j'; ++c) b.AddKey(wide, std::string("k") + c);
    b.EndBin();
    big = b.AddKey(b.Root(), "Big");
    bigValue = b.AddValue(big, "Blob", 3, std::vector<uint8_t>(40000, 0x5A));
    b.EndBin();
    tail = b.AddKey(b.Root(), "Tail");
    b.AddValue(tail, "Last", 4, {9, 9, 9, 9});
    b.Build();
  }
};

// Repair, then the checks every case shares; returns the repaired tree.
Tree Mended(HiveBuilder& damaged, std::vector<uint8_t>* hive = nullptr) {
  std::vector<uint8_t> written;
  Tree repair = Scan(damaged.Image(), kCmdRepair, &written);
  Tree after = Scan(written, kCmdSearchNoDates);
  EXPECT_TRUE(after.damage.empty()) << after.damage.front();
  std::vector<uint8_t> again;
  Tree second = Scan(written, kCmdRepair, &again);
  EXPECT_TRUE(second.summary.empty()) << second.summary.front();
  EXPECT_TRUE(again == written) << "a second Repair changed the hive";
  if (hive != nullptr) *hive = written;
  return after;
}

void ExpectKept(const Tree& expected, const Tree& got) {
  for (const std::string& key : expected.keys) EXPECT_TRUE(got.keys.count(key)) << "lost key " << key;
  for (const std::string& value : expected.values)
    EXPECT_TRUE(got.values.count(value)) << "lost value " << value.substr(0, 80);
}

TEST(SoundHive, BinsPastTheDeclaredSizeAreKept) {
  Sample s;
  Tree sound = Scan(s.b.Image(), kCmdSearchNoDates);
  s.b.SetFileU32(0x28, 4096);
  s.b.RecomputeChecksum();
  Tree got = Mended(s.b);
  EXPECT_EQ(got.keys, sound.keys);
  EXPECT_EQ(got.values, sound.values);
}

TEST(SoundHive, ACutShortFileEndsAtItsLastWholeBin) {
  Sample s;
  Tree expected = Scan(s.b.Image(), kCmdSearchNoDates);
  uint32_t cut = s.b.Offset(s.b.NkCell(s.tail)) & ~4095u;  // the bin of "Tail" goes
  s.b.Image().resize(4096 + cut + 100);
  Drop(expected, "ROOT\\Tail");
  Tree got = Mended(s.b);
  EXPECT_EQ(got.keys, expected.keys);
  EXPECT_EQ(got.values, expected.values);
}

// A file cut inside its last page, whose last bin claims only what is left:
// the bin gets the rest of its page back as free space, every key stays, and
// the hive is whole pages again.
TEST(SoundHive, ALastBinShorterThanAPageGrowsToItsPageEnd) {
  Sample s;
  Tree expected = Scan(s.b.Image(), kCmdSearchNoDates);
  uint32_t bin = 4096 + (s.b.Offset(s.b.NkCell(s.tail)) & ~4095u);
  uint32_t size = s.b.FileU32(bin + 8);
  ASSERT_EQ(bin + size, s.b.Image().size());
  s.b.SetFileU32(bin + 8, size - 512);
  s.b.Image().resize(bin + size - 512);
  std::vector<uint8_t> written;
  Tree got = Mended(s.b, &written);
  EXPECT_EQ(written.size() % 4096, 0u);
  EXPECT_EQ(written.size(), bin + size);
  EXPECT_EQ(got.keys, expected.keys);
  EXPECT_EQ(got.values, expected.values);

  // The same inside the chain: a bin that claims less than its page, an
  // empty bin found again on the next page (Repair drops it at the end).
  HiveBuilder c;
  c.AddKey(c.Root(), "A");
  c.EndBin();
  Key k = c.AddKey(c.Root(), "B");
  c.EndBin();
  c.AddEmptyBin(4096);
  c.Build();
  Tree whole = Scan(c.Image(), kCmdSearchNoDates);
  bin = 4096 + (c.Offset(c.NkCell(k)) & ~4095u);
  c.SetFileU32(bin + 8, c.FileU32(bin + 8) - 512);
  c.RecomputeChecksum();
  Tree middle = Mended(c, &written);
  EXPECT_EQ(written.size() % 4096, 0u);
  EXPECT_EQ(middle.keys, whole.keys);
}

TEST(SoundHive, DataThatIsAnUnusedSkCellStaysTheValues) {
  HiveBuilder b;
  Value v = b.AddValue(b.AddKey(b.Root(), "K"), "V", 3, std::vector<uint8_t>(16, 7));
  Security spare = b.AddSecurity(HiveBuilder::DefaultDescriptor());
  b.Build();
  b.SetU32(b.Offset(b.VkCell(v)), 0x0C, b.Offset(b.SkCell(spare)));
  Tree before = Scan(b.Image(), kCmdSearchNoDates);
  ASSERT_EQ(before.values.size(), 1u);
  EXPECT_NE(before.values.begin()->find("binary:736b"), std::string::npos) << *before.values.begin();
  Tree got = Mended(b);
  EXPECT_EQ(got.keys, before.keys);
  EXPECT_EQ(got.values, before.values);
}

TEST(SoundHive, TheChainIsFoundAgainAfterABrokenBin) {
  Sample s;
  Tree expected = Scan(s.b.Image(), kCmdSearchNoDates);
  uint32_t page = 4096 + (s.b.Offset(s.b.NkCell(s.big)) & ~4095u);
  std::fill(s.b.Image().begin() + page, s.b.Image().begin() + page + 4096, 0);
  Drop(expected, "ROOT\\Big");
  Tree got = Mended(s.b);
  EXPECT_EQ(got.keys, expected.keys);
  ExpectKept(expected, got);
}

// A broken size word of a whole key, value or value list: zeroed, or off by
// 8 either way.  The cell stays with everything it holds, and so do the
// cells around it.  In front of data, which has no signature to tell it by
// and which nothing checks, the space up to the next whole cell is freed.
TEST(SoundHive, ABinKeepsItsCellsAroundABrokenSizeWord) {
  struct Case {
    const char* what;
    Cell (*cell)(const Sample&);
    int32_t change;  // added to the size word; 0 zeroes it
    bool dataLost;
  };
  const Case cases[] = {
      {"value, zeroed", [](const Sample& s) { return s.b.VkCell(s.text); }, 0, false},
      {"key with a subkey and a descriptor, zeroed", [](const Sample& s) { return s.b.NkCell(s.a); }, 0, false},
      {"key, 8 bytes short", [](const Sample& s) { return s.b.NkCell(s.a); }, 8, false},
      {"value, 8 bytes long", [](const Sample& s) { return s.b.VkCell(s.dword); }, -8, false},
      {"value list, zeroed", [](const Sample& s) { return s.b.ValueListCell(s.a); }, 0, false},
      {"data, zeroed", [](const Sample& s) { return s.b.DataCell(s.text); }, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Sample s;
    Tree expected = Scan(s.b.Image(), kCmdSearchNoDates);
    uint32_t offset = s.b.Offset(c.cell(s));
    s.b.SetI32(offset, 0, c.change == 0 ? 0 : static_cast<int32_t>(s.b.U32(offset, 0)) + c.change);
    if (c.dataLost) expected.values.erase("ROOT\\Alpha|\"Text\"=\"hi\"");
    Tree got = Mended(s.b);
    EXPECT_EQ(got.keys, expected.keys);
    if (c.dataLost)
      ExpectKept(expected, got);
    else
      EXPECT_TRUE(got.values == expected.values) << "values differ";
  }
}

// A key 8 bytes short whose name runs on with bytes that look like a value
// cell where the chain breaks: the key's own fields decide.
TEST(SoundHive, AShortKeyIsMendedWhateverItsNameLooksLike) {
  HiveBuilder b;
  Key k = b.AddKey(b.Root(), "Keysvk");
  b.AddKey(k, "Sub");
  b.AddValue(k, "V", 4, {1, 2, 3, 4});
  b.Build();
  Tree expected = Scan(b.Image(), kCmdSearchNoDates);
  uint32_t nk = b.Offset(b.NkCell(k));
  b.SetI32(nk, 0, static_cast<int32_t>(b.U32(nk, 0)) + 8);
  Tree got = Mended(b);
  EXPECT_EQ(got.keys, expected.keys);
  EXPECT_EQ(got.values, expected.values);
}

// References that fail their checks: each is detached, the rest stays.
TEST(SoundHive, ReferencesThatFailTheirChecksAreDetached) {
  struct Fault {
    const char* what;
    void (*poke)(Sample&);
    const char* lostKey;
    const char* lostValues;  // the values whose lines start so
  };
  const Fault faults[] = {
      {"subkey entry at a free cell",
       [](Sample& s) { FreeCell(s.b, s.b.NkCell(s.b1)); }, "ROOT\\Alpha\\Beta", nullptr},
      {"value list out of the bins",
       [](Sample& s) { s.b.SetU32(s.b.Offset(s.b.NkCell(s.a)), 0x2C, 0x7FFFFFF0); }, nullptr, "ROOT\\Alpha|"},
      {"value list at another key's cell",
       [](Sample& s) { s.b.SetU32(s.b.Offset(s.b.NkCell(s.a)), 0x2C, s.b.Offset(s.b.NkCell(s.tail))); }, nullptr,
       "ROOT\\Alpha|"},
      {"value of the wrong signature",
       [](Sample& s) { s.b.SetU16(s.b.Offset(s.b.VkCell(s.dword)), 4, 0x6B6E); }, nullptr,
       "ROOT\\Alpha|\"Dword\"=dword:04030201"},
      {"data cell at the root key",
       [](Sample& s) { s.b.SetU32(s.b.Offset(s.b.VkCell(s.text)), 0x0C, s.b.Offset(s.b.NkCell(s.b.Root()))); },
       nullptr, "ROOT\\Alpha|\"Text\"=\"hi\""},
      {"class cell out of the bins",
       [](Sample& s) { s.b.SetU32(s.b.Offset(s.b.NkCell(s.a)), 0x34, 0x7FFFFFF0); }, nullptr, nullptr},
      {"second big-data segment freed",
       [](Sample& s) { FreeCell(s.b, s.b.SegmentCell(s.bigValue, 1)); }, nullptr, "ROOT\\Big|"},
      {"security cell of the wrong signature",
       [](Sample& s) { s.b.SetU16(s.b.Offset(s.b.SkCell(Security{1})), 4, 0x6B6E); }, nullptr, nullptr},
      {"sk reference count too high",
       [](Sample& s) { s.b.SetU32(s.b.Offset(s.b.SkCell(s.b.DefaultSecurity())), 0x10, 40); }, nullptr, nullptr},
      {"root key without its flag, a subkey with it",
       [](Sample& s) {
         uint32_t root = s.b.Offset(s.b.NkCell(s.b.Root())), tail = s.b.Offset(s.b.NkCell(s.tail));
         s.b.SetU16(root, 6, static_cast<uint16_t>(s.b.U16(root, 6) & ~4));
         s.b.SetU16(tail, 6, static_cast<uint16_t>(s.b.U16(tail, 6) | 4));
       },
       nullptr, nullptr},
  };
  for (const Fault& fault : faults) {
    SCOPED_TRACE(fault.what);
    Sample s;
    Tree expected = Scan(s.b.Image(), kCmdSearchNoDates);
    fault.poke(s);
    s.b.RecomputeChecksum();
    ASSERT_FALSE(Scan(s.b.Image(), kCmdSearchNoDates).damage.empty()) << "the fault is not seen";
    if (fault.lostKey != nullptr) Drop(expected, fault.lostKey);
    for (auto it = expected.values.begin(); fault.lostValues != nullptr && it != expected.values.end();)
      it = it->rfind(fault.lostValues, 0) == 0 ? expected.values.erase(it) : std::next(it);
    Tree got = Mended(s.b);
    EXPECT_EQ(got.keys, expected.keys);
    ExpectKept(expected, got);
  }
}

// Where the key walk has a repair of its own, Repair's mending leaves the
// case to it: a count beside no list keeps its line and counter, and too few
// big-data segments keep their line though the length is cut to them.
TEST(SoundHive, TheWalksOwnRepairsKeepTheirLinesAndCounters) {
  Sample s;
  const uint32_t alpha = s.b.Offset(s.b.NkCell(s.a));
  s.b.SetU32(alpha, 0x2C, 0xFFFFFFFFu);  // the value list
  s.b.SetU32(alpha, 0x34, 0xFFFFFFFFu);  // the class
  const uint32_t db = s.b.Offset(s.b.DataCell(s.bigValue));
  s.b.SetU16(db, 6, 2);  // 40000 bytes need 3 segments
  s.b.RecomputeChecksum();
  HiveRun run;
  RecordingFindings found;
  run.ctx.Findings = &found;
  ASSERT_TRUE(run.Load(s.b.Image()));
  run.Run(kCmdRepair);
  auto has = [&](const std::string& id, uint32_t offset) {
    for (const FoundAt& f : found.At())
      if (f == FoundAt{id, offset}) return true;
    return false;
  };
  EXPECT_TRUE(has("nk.Value.Count.Offset.Error", 4096 + alpha));
  EXPECT_TRUE(has("nk.ClassLength.Offset.Error", 4096 + alpha));
  EXPECT_TRUE(has("dbCells.Number.Error", 4096 + db));
  EXPECT_FALSE(has("Mend.vklist.Detach", 4096 + alpha));
  EXPECT_FALSE(has("Mend.class.Detach", 4096 + alpha));
  ScanTotals totals(run.ctx);
  EXPECT_EQ(totals.Counter(RepairCounter::nkvklistCountClean), 1);
  EXPECT_EQ(totals.Counter(RepairCounter::nkClassCountClean), 1);
  EXPECT_EQ(totals.Counter(RepairCounter::vklistDetachClean), 0);
  EXPECT_EQ(totals.Counter(RepairCounter::classDetachClean), 0);
  Mended(s.b);
}

TEST(SoundHive, SubkeysAreSortedAndDuplicatesRenamed) {
  HiveBuilder b;
  Key wide = b.AddKey(b.Root(), "Wide");
  b.Model(wide).index = IndexShape{IndexKind::kLh, 2, 2};  // nested ri of lh leaves
  b.Model(wide).sortSubkeys = false;
  for (const char* name : {"pear", "Apple", "fig", "APPLE", "kiwi", "apple"}) {
    Key key = b.AddKey(wide, name);
    // The renamed key outgrows its cell and moves: its subkey follows.
    if (std::string(name) == "APPLE") b.AddKey(key, "Seed");
  }
  b.Build();
  std::vector<std::string> sequence = Scan(b.Image(), kCmdSearchNoDates).damage;
  ASSERT_FALSE(sequence.empty());
  Tree got = Mended(b);
  EXPECT_EQ(got.keys, (std::set<std::string>{"ROOT", "ROOT\\Wide", "ROOT\\Wide\\Apple", "ROOT\\Wide\\APPLE (2)",
                                             "ROOT\\Wide\\APPLE (2)\\Seed",
                                             "ROOT\\Wide\\apple (3)", "ROOT\\Wide\\fig", "ROOT\\Wide\\kiwi",
                                             "ROOT\\Wide\\pear"}));
}

// A key whose name reads as nothing (no length, or a NUL first) keeps its
// values and subkeys under a name no sibling has.
TEST(SoundHive, KeysWithoutANameAreNamedNotDropped) {
  HiveBuilder b;
  Key parent = b.AddKey(b.Root(), "Parent");
  b.AddKey(parent, "Unnamed");
  Key emptied = b.AddKey(parent, "emptied");
  b.AddValue(emptied, "Kept", 4, {1, 2, 3, 4});
  b.AddKey(emptied, "Child");  // the renamed key outgrows its cell: Child follows it
  Key zeroed = b.AddKey(parent, "zeroed");
  b.Build();
  b.SetU16(b.Offset(b.NkCell(emptied)), NkCell::kKeyLength, 0);
  b.SetU16(b.Offset(b.NkCell(zeroed)), NkCell::kKeyName, 0);
  ASSERT_FALSE(Scan(b.Image(), kCmdSearchNoDates).damage.empty());
  Tree got = Mended(b);
  EXPECT_EQ(got.keys, (std::set<std::string>{"ROOT", "ROOT\\Parent", "ROOT\\Parent\\Unnamed",
                                             "ROOT\\Parent\\Unnamed (2)", "ROOT\\Parent\\Unnamed (2)\\Child",
                                             "ROOT\\Parent\\Unnamed (3)"}));
  EXPECT_EQ(std::count_if(got.values.begin(), got.values.end(),
                          [](const std::string& v) { return v.rfind("ROOT\\Parent\\Unnamed (2)|\"Kept\"=", 0) == 0; }),
            1);
}

TEST(SoundHive, AKeyTwoListsNameStaysUnderTheParentItsFieldNames) {
  HiveBuilder b;
  Key a = b.AddKey(b.Root(), "A");
  Key x = b.AddKey(a, "X");
  Key k = b.AddKey(b.AddKey(b.Root(), "B"), "C");
  b.Build();
  // A's list names C (whose parent field names B) where it named X.
  HiveBuilder::Entry entry = b.EntryOf(x);
  b.SetU32(entry.leafOffset, 8 + 8 * entry.index, b.Offset(b.NkCell(k)));
  Tree got = Mended(b);
  EXPECT_EQ(got.keys, (std::set<std::string>{"ROOT", "ROOT\\A", "ROOT\\B", "ROOT\\B\\C"}));
}

TEST(SoundHive, SeveralFaultsAtOnceOpenInTheIndependentReaders) {
  Sample s;
  Tree expected = Scan(s.b.Image(), kCmdSearchNoDates);
  uint32_t page = 4096 + (s.b.Offset(s.b.NkCell(s.big)) & ~4095u);
  std::fill(s.b.Image().begin() + page, s.b.Image().begin() + page + 4096, 0);
  FreeCell(s.b, s.b.NkCell(s.b1));
  s.b.SetU32(s.b.Offset(s.b.SkCell(s.b.DefaultSecurity())), 0x10, 40);
  uint32_t root = s.b.Offset(s.b.NkCell(s.b.Root()));
  s.b.SetU16(root, 6, static_cast<uint16_t>(s.b.U16(root, 6) & ~4));
  s.b.RecomputeChecksum();
  s.b.Image().resize(s.b.Image().size() - 4096);  // "Tail" is cut off
  Drop(expected, "ROOT\\Big");
  Drop(expected, "ROOT\\Alpha\\Beta");
  Drop(expected, "ROOT\\Tail");
  std::vector<uint8_t> hive;
  Tree got = Mended(s.b, &hive);
  EXPECT_EQ(got.keys, expected.keys);
  ExpectKept(expected, got);

  TempDir dir;
  std::string path = dir.File("mended.hiv");
  ASSERT_TRUE(WriteBytes(path, hive));
  EXPECT_EQ(RunProcess({"hivexml", path}).status, 0);
  EXPECT_EQ(RunProcess({"regfinfo", path}).status, 0);
  ProcessResult lookup = RunProcess({"reglookup", path});
  EXPECT_EQ(lookup.status, 0);
  EXPECT_EQ(lookup.err.find("ERROR"), std::string::npos) << lookup.err;
}

}  // namespace
}  // namespace quelbrix::testing
