// The scan driver and the key tree walk on built hives, one fault each: the
// exact red lines that fault gives under Search, and the lines it does not.
#include "scan/key_walk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "app/run_command.h"
#include "core/report_log.h"
#include "hive/cells.h"
#include "hive/names.h"
#include "platform/text.h"
#include "support/hive_builder.h"
#include "support/hive_fixture.h"
#include "support/recording_findings.h"

namespace quelbrix::testing {
namespace {

std::string Utf8(const std::string& ansi) { return platform::AnsiToUtf8(ansi); }

// Runs a Search without dates over the built hive; the red pane lines, the
// findings heard, and the whole report.
struct Scan {
  std::vector<std::string> red;
  std::vector<RecordingFindings::Heard> heard;
  std::vector<FoundAt> found;
  std::vector<std::string> report;
  std::string status;

  bool Has(const std::string& line) const { return std::find(report.begin(), report.end(), line) != report.end(); }
  size_t Count(const std::string& line) const { return std::count(report.begin(), report.end(), line); }
  std::string Value(const std::string& prefix) const {
    for (const auto& l : report)
      if (l.rfind(prefix, 0) == 0) return l.substr(prefix.size());
    return "<missing>";
  }
};

Scan Search(HiveBuilder& b, int32_t command = kCmdSearchNoDates, std::vector<uint8_t>* after = nullptr) {
  HiveRun run;
  EXPECT_TRUE(run.Load(b.Image()));
  run.ui.Clear();
  RecordingFindings findings;
  run.ctx.Findings = &findings;
  run.Run(command);
  run.ctx.Findings = nullptr;
  // The walk's path is lent to the findings for the walk only.
  EXPECT_EQ(run.ctx.WalkPath, nullptr);
  Scan scan;
  scan.heard = findings.All();
  scan.found = findings.At();
  for (const PaneLine& line : run.ui.Pane())
    if (line.colour == kRed) scan.red.push_back(Utf8(line.text));
  scan.report = run.ReportLinesUtf8();
  scan.status = run.StatusUtf8();
  if (after != nullptr) *after = run.ImageBytes();
  return scan;
}

uint32_t U32At(const std::vector<uint8_t>& image, uint32_t cellOffset, uint32_t field) {
  const uint8_t* p = image.data() + 4096 + cellOffset + field;
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

std::string Hex(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", v);
  return text;
}

// A small sound tree: ROOT\A (two values), ROOT\B\C, ROOT\D with a class.
struct Tree {
  HiveBuilder b;
  Key a, bk, c, d;
  Tree() {
    a = b.AddKey(b.Root(), "A");
    b.AddValue(a, "Count", 4, {1, 0, 0, 0});
    b.AddValue(a, "Text", 1, {'h', 0, 'i', 0, 0, 0});
    bk = b.AddKey(b.Root(), "B");
    c = b.AddKey(bk, "C");
    d = b.AddKey(b.Root(), "D");
    b.SetClass(d, u"Klass");
    b.Build();
  }
};

TEST(KeyWalkSound, BuiltTreeScansWithoutRedLinesAndListsEveryPath) {
  Tree t;
  Scan s = Search(t.b);
  EXPECT_TRUE(s.red.empty()) << s.red.front();
  for (const char* path : {"ROOT", "ROOT\\A", "ROOT\\B", "ROOT\\B\\C", "ROOT\\D"}) EXPECT_EQ(s.Count(path), 1u) << path;
  EXPECT_EQ(s.Value("nkCells AccessCount="), "5");
  EXPECT_EQ(s.Value("vkCells AccessCount="), "2");
  EXPECT_EQ(s.Value("classCells AccessCount="), "1");
  EXPECT_TRUE(s.Has("className=Klass"));
  EXPECT_EQ(s.Value("(AllocCells)NonaccessCellsCount="), "0");
  // Every key shares the root's sk.
  EXPECT_EQ(s.Value(" skCells OverRideCount="), "4");
  EXPECT_EQ(s.status, "検索(日付無)完了");
}

TEST(KeyWalkSound, SearchWithDatesPutsTheLastWriteTimeBeforeThePath) {
  Tree t;
  Scan s = Search(t.b, kCmdSearchDates);
  char time[64];
  FormatFileTime(time, sizeof time, t.b.Model(t.c).timeStamp);
  EXPECT_TRUE(s.Has(std::string(time) + " ROOT\\B\\C"));
  EXPECT_TRUE(s.Has("sequrity(" + std::to_string(HiveBuilder::DefaultDescriptor().size()) + ")=No.1"));
}

TEST(KeyWalkSound, HundredThousandNestedKeysScanToTheEnd) {
  // A chain of keys each holding the next: the walk keeps its own stack.
  HiveBuilder b;
  Key k = b.Root();
  constexpr int kDepth = 100000;
  for (int i = 0; i < kDepth; ++i) k = b.AddKey(k, "k");
  b.Build();
  HiveRun run;
  ASSERT_TRUE(run.Load(b.Image()));
  run.ctx.UI = nullptr;  // a status text per key of a 4 KB path would only fill memory here
  run.Run(kCmdSearchNoDates);
  // Every key writes its path, capped at 4 KB: stream the report, do not load it.
  std::ifstream report(run.ReportPath(), std::ios::binary);
  std::string line, count;
  size_t errors = 0;
  while (std::getline(report, line)) {
    if (line.rfind("nkCells AccessCount=", 0) == 0) count = line;
    if (line.find("Error") != std::string::npos) ++errors;
  }
  EXPECT_EQ(count, "nkCells AccessCount=" + std::to_string(kDepth + 1) + "\r");
  EXPECT_EQ(errors, 0u);
}

TEST(KeyWalkFaults, WrongLhHashIsReportedWithBothValues) {
  Tree t;
  uint32_t leaf = t.b.EntryOf(t.bk).leafOffset;
  uint32_t field = t.b.HashField(t.bk);
  uint32_t good = t.b.U32(leaf, field);
  t.b.SetU32(leaf, field, good ^ 1);
  Scan s = Search(t.b);
  ASSERT_EQ(s.red.size(), 1u);
  EXPECT_EQ(s.red[0], "nk lh Hash Error calculate=" + Hex(good) + " actual=" + Hex(good ^ 1));
  ASSERT_EQ(s.found, (std::vector<FoundAt>{{"nk.lh.Hash.Error", 4096 + t.b.NkOffset("B")}}));
  EXPECT_EQ(s.heard[0].KeyPath, "B");
  EXPECT_TRUE(s.heard[0].InKeyWalk);
  EXPECT_EQ(s.heard[0].Line, s.red[0]);
}

// Repair writes the computed hint or hash into the entry and counts it under
// its own index kind.
TEST(KeyWalkFaults, RepairWritesTheHashAndCountsItByKind) {
  for (IndexKind kind : {IndexKind::kLf, IndexKind::kLh}) {
    bool lf = kind == IndexKind::kLf;
    HiveBuilder b;
    Key parent = b.AddKey(b.Root(), "P");
    b.Model(parent).index.leaf = kind;
    Key child = b.AddKey(parent, "Software");
    b.Build();
    uint32_t leaf = b.EntryOf(child).leafOffset;
    uint32_t field = b.HashField(child);
    b.SetU32(leaf, field, 0x12345678);
    std::vector<uint8_t> repaired;
    Scan s = Search(b, kCmdRepair, &repaired);
    // Software: lf hint "Soft"; lh hash of SOFTWARE, worked out by hand.
    uint32_t good = lf ? 0x74666F53u : 0xE9FE1463u;
    EXPECT_EQ(U32At(repaired, leaf, field), good) << lf;
    EXPECT_EQ(s.Value(lf ? "lfHashClean=" : "lhHashClean="), "1");
    EXPECT_EQ(s.Value(lf ? "lhHashClean=" : "lfHashClean="), "<missing>");
  }
}

// A UTF-16 name of odd length ends in a unit of its last byte with a zero
// high byte (the NUL appended after the stored bytes), never the byte that
// follows it in the cell.  Search reports the longer computed length; Repair
// makes that zero byte real and the length even, for key, value and class
// names alike, so the repaired hive searches clean and reads the same names.
TEST(KeyWalkFaults, OddLengthUtf16NamesKeepTheirLastByteAndRepairEvensThem) {
  HiveBuilder b;
  Key k = b.AddKey(b.Root(), u"AB");
  b.SetClass(k, u"CD");
  Value v = b.AddValue(k, u"EF", 4, {1, 0, 0, 0});
  b.Build();
  uint32_t nk = b.Offset(b.NkCell(k));
  uint32_t vk = b.Offset(b.VkCell(v));
  uint32_t cls = b.Offset(b.ClassCell(k));
  // Each name 3 bytes long, a stray byte after it in the cell.
  b.SetU16(nk, NkCell::kKeyLength, 3);
  b.SetU16(nk, NkCell::kHeaderLength + 2, 0x3042);
  b.SetU16(vk, VkCell::kNameLength, 3);
  b.SetU16(vk, VkCell::kHeaderLength + 2, 0x3046);
  b.SetU16(nk, NkCell::kClassLength, 3);
  b.SetU16(cls, 4 + 2, 0x3044);

  Scan search = Search(b);
  EXPECT_EQ(search.red, (std::vector<std::string>{"nk KeyLength Error3 FileOffset=" + Hex(4096 + nk),
                                                  "class ClassLength Error FileOffset=" + Hex(4096 + cls),
                                                  "vk NameLength Error FileOffset=" + Hex(4096 + vk)}));
  EXPECT_EQ(search.found, (std::vector<FoundAt>{{"nk.KeyLength.Error3", 4096 + nk},
                                                {"class.ClassLength.Error", 4096 + cls},
                                                {"vk.NameLength.Error", 4096 + vk}}));
  std::vector<uint8_t> after;
  Scan repair = Search(b, kCmdRepair, &after);
  EXPECT_EQ(repair.Value("nkKeyLengthClean="), "1");
  EXPECT_EQ(repair.Value("vkKeyLengthClean="), "1");
  for (auto [cell, field] : {std::pair{nk, NkCell::kKeyLength}, {vk, VkCell::kNameLength}, {nk, NkCell::kClassLength}})
    EXPECT_EQ(U32At(after, cell, field) & 0xFFFF, 4u) << field;
  for (uint32_t name : {4096 + nk + NkCell::kHeaderLength, 4096 + vk + VkCell::kHeaderLength, 4096 + cls + 4})
    EXPECT_EQ(after[name + 3], 0) << name;

  HiveRun again;
  ASSERT_TRUE(again.Load(after));
  again.Run(kCmdSearchNoDates);
  std::vector<std::string> lines = again.ReportLinesUtf8();
  for (const PaneLine& line : again.ui.Pane()) EXPECT_NE(line.colour, kRed) << Utf8(line.text);
  for (const char* expected : {"ROOT\\AB", "className=CD"})
    EXPECT_NE(std::find(lines.begin(), lines.end(), std::string(expected)), lines.end()) << expected;
}

TEST(KeyWalkFaults, WrongLfHintIsReported) {
  HiveBuilder b;
  Key parent = b.AddKey(b.Root(), "P");
  b.Model(parent).index.leaf = IndexKind::kLf;
  Key child = b.AddKey(parent, "Software");
  b.Build();
  b.SetU32(b.EntryOf(child).leafOffset, b.HashField(child), 0);
  Scan s = Search(b);
  ASSERT_EQ(s.red.size(), 1u);
  EXPECT_EQ(s.red[0], "nk lf Hash Error calculate=0x74666f53 actual=0x00000000");
}

TEST(KeyWalkFaults, NonAsciiNamesGiveNoHashOrderError) {
  HiveBuilder b;
  Key lf = b.AddKey(b.Root(), "Lf");
  b.Model(lf).index.leaf = IndexKind::kLf;
  Key lh = b.AddKey(b.Root(), "Lh");
  for (Key parent : {lf, lh}) {
    b.AddKey(parent, u"\u0416\u0443\u043a");  // Cyrillic
    b.AddKey(parent, u"\u00e9t\u00e9");       // Latin-1 letters as UTF-16
    b.AddKey(parent, std::string("\xc9t\xc9", 3));  // the same letters as an 8-bit name
    b.AddKey(parent, u"\U0001F600");          // a surrogate pair
    b.AddKey(parent, u"\u65e5\u672c\u8a9e\u30ad\u30fc");  // CJK
  }
  b.Build();
  Scan s = Search(b);
  // The 8-bit "ÉtÉ" and the UTF-16 "été" are the same name upper-cased: one
  // duplicate pair per parent, nothing else.
  std::vector<std::string> expected;
  for (const std::string& line : s.red) EXPECT_TRUE(line.find("Hash") == std::string::npos) << line;
  EXPECT_EQ(std::count_if(s.red.begin(), s.red.end(),
                          [](const std::string& l) { return l.rfind("nk Subkey Duplicate Error", 0) == 0; }),
            2);
  EXPECT_EQ(std::count_if(s.red.begin(), s.red.end(),
                          [](const std::string& l) { return l.rfind("nk Subkey Sequence Error", 0) == 0; }),
            0);
}

TEST(KeyWalkFaults, SiblingsOutOfOrderAndDuplicates) {
  HiveBuilder b;
  Key p = b.AddKey(b.Root(), "P");
  b.Model(p).sortSubkeys = false;
  b.AddKey(p, "b");
  Key a = b.AddKey(p, "A");
  Key dup = b.AddKey(p, "a");
  b.Build();
  Scan s = Search(b);
  ASSERT_EQ(s.red.size(), 6u);
  EXPECT_EQ(s.red[0], "nk Subkey Sequence Error FileOffset=" + Hex(4096 + b.NkOffset("P\\A")));
  EXPECT_EQ(s.red[1], "  2 B");
  EXPECT_EQ(s.red[2], "  1 A");
  EXPECT_EQ(s.red[3], "nk Subkey Duplicate Error FileOffset=" + Hex(4096 + b.Offset(b.NkCell(dup))));
  EXPECT_EQ(s.red[4], "  2 A");
  EXPECT_EQ(s.red[5], "  1 a");
  const uint32_t first = 4096 + b.NkOffset("P\\b"), second = 4096 + b.NkOffset("P\\A"),
                 third = 4096 + b.Offset(b.NkCell(dup));
  EXPECT_EQ(s.found, (std::vector<FoundAt>{{"nk.Subkey.Sequence.Error", second},
                                           {"nk.Subkey.Order.Previous", first},
                                           {"nk.Subkey.Order.This", second},
                                           {"nk.Subkey.Duplicate.Error", third},
                                           {"nk.Subkey.Order.Previous", second},
                                           {"nk.Subkey.Order.This", third}}));
  for (const auto& h : s.heard) EXPECT_EQ(h.KeyPath.substr(0, 2), "P\\") << h.At;
  (void)a;
}

TEST(KeyWalkFaults, ParentOffsetAndSubkeyCount) {
  Tree t;
  uint32_t c = t.b.NkOffset("B\\C");
  uint32_t bOffset = t.b.NkOffset("B");
  t.b.SetU32(c, NkCell::kParentOffset, 0x1234);
  t.b.SetU32(bOffset, NkCell::kSubkeyCount, 5);
  Scan s = Search(t.b);
  ASSERT_EQ(s.red.size(), 2u);
  EXPECT_EQ(s.red[0], "nk ParentOffset Error calculate=" + Hex(bOffset) + " actual=0x00001234");
  EXPECT_EQ(s.red[1], "SubkeyCount Error calculate=1 actual=5");
  // The count error of a key follows the blocks of its subkeys.
  auto pathC = std::find(s.report.begin(), s.report.end(), "ROOT\\B\\C");
  auto count = std::find(s.report.begin(), s.report.end(), "SubkeyCount Error calculate=1 actual=5");
  EXPECT_LT(pathC, count);
}

TEST(KeyWalkFaults, KeyCellChecksEndTheVisit) {
  {
    Tree t;
    t.b.SetU16(t.b.NkOffset("A"), 4, 0x6B6F);  // "ok"
    Scan s = Search(t.b);
    EXPECT_EQ(s.red.front(), "nk Signature Error FileOffset=" + Hex(4096 + t.b.NkOffset("A")));
    EXPECT_FALSE(s.Has("ROOT\\A"));
    EXPECT_EQ(s.Value("vkCells AccessCount="), "0");
    EXPECT_TRUE(std::find(s.red.begin(), s.red.end(), "SubkeyCount Error calculate=2 actual=3") != s.red.end());
  }
  {
    Tree t;
    t.b.SetU16(t.b.NkOffset("A"), NkCell::kKeyLength, 0);
    Scan s = Search(t.b);
    EXPECT_EQ(s.red.front(), "nk KeyLength Error1 FileOffset=" + Hex(4096 + t.b.NkOffset("A")));
  }
  {
    Tree t;
    t.b.SetU16(t.b.NkOffset("A"), NkCell::kKeyLength, 300);
    Scan s = Search(t.b);
    EXPECT_EQ(s.red.front(), "nk CellsLength Error FileOffset=" + Hex(4096 + t.b.NkOffset("A")));
  }
}

TEST(KeyWalkFaults, KeyLengthLongerThanTheNameBeforeItsNul) {
  HiveBuilder b;
  Key k = b.AddKey(b.Root(), std::string("ab\0c", 4));
  b.Build();
  Scan s = Search(b);
  ASSERT_GE(s.red.size(), 1u);
  EXPECT_EQ(s.red[0], "nk KeyLength Error3 FileOffset=" + Hex(4096 + b.Offset(b.NkCell(k))));
  EXPECT_TRUE(s.Has("ROOT\\ab"));
}

TEST(KeyWalkFaults, KeyListedTwiceIsVisitedOnce) {
  Tree t;
  // Point C's entry in B's index at A, which the root lists too.
  auto entry = t.b.EntryOf(t.c);
  t.b.SetU32(entry.leafOffset, 8 + 8 * entry.index, t.b.NkOffset("A"));
  t.b.SetU32(entry.leafOffset, 8 + 8 * entry.index + 4, BuilderLhHash(u"A"));
  Scan s = Search(t.b);
  EXPECT_EQ(s.Count("ROOT\\A"), 1u);
  std::vector<std::string> expected = {"Cells Assert Error9 FileOffset=" + Hex(4096 + t.b.NkOffset("A")),
                                       "nk Cells Assert Error", "SubkeyCount Error calculate=0 actual=1"};
  EXPECT_EQ(std::vector<std::string>(s.red.begin(), s.red.begin() + 3), expected);
}

TEST(KeyWalkFaults, CountWithoutOffsetAndClassChecks) {
  Tree t;
  uint32_t a = t.b.NkOffset("A");
  t.b.SetU32(a, NkCell::kSubkeyCount1, 2);  // volatile count with no volatile index
  uint32_t d = t.b.NkOffset("D");
  t.b.SetU16(d, NkCell::kClassLength, 12);  // the class cell holds 10 bytes of text
  Scan s = Search(t.b);
  EXPECT_EQ(s.red[0], "nk Subkey Count1 Offset1 Error FileOffset=" + Hex(4096 + a));
  EXPECT_TRUE(std::find(s.red.begin(), s.red.end(),
                        "class ClassLength Error FileOffset=" + Hex(4096 + t.b.Offset(t.b.ClassCell(t.d)))) !=
              s.red.end());
}

TEST(KeyWalkFaults, MissingSkAndBadSk) {
  {
    Tree t;
    t.b.SetU32(t.b.NkOffset("A"), NkCell::kskOffset, kNoCell);
    Scan s = Search(t.b);
    EXPECT_EQ(s.red.front(), "non sk nk Cells FileOffset=" + Hex(4096 + t.b.NkOffset("A")));
  }
  {
    // The sk ring of one cell with RefCount 4 for 5 keys: the access pass
    // reports the reference count.
    Tree t;
    uint32_t sk = t.b.Offset(t.b.SkCell(t.b.DefaultSecurity()));
    t.b.SetU32(sk, 0x10, 4);
    Scan s = Search(t.b);
    ASSERT_EQ(s.red.size(), 1u);
    EXPECT_EQ(s.red[0], "skCells RefCount Error calculate=5 actual=4");
  }
}

TEST(KeyWalkFaults, SkRingThatNeverReturnsEnds) {
  HiveBuilder b;
  Key k = b.AddKey(b.Root(), "K");
  std::vector<uint8_t> other = HiveBuilder::DefaultDescriptor();
  other[other.size() - 1] ^= 1;
  Security s2 = b.AddSecurity(other);
  b.SetSecurity(k, s2);
  b.Build();
  uint32_t sk1 = b.Offset(b.SkCell(b.DefaultSecurity()));
  uint32_t sk2 = b.Offset(b.SkCell(s2));
  // sk2 points forward to itself: the walk from sk1 never comes back.
  b.SetU32(sk2, 0x0C, sk2);
  Scan s = Search(b);
  // From sk1 the ring goes to sk2, whose prev sk1 does not lead back to it;
  // then sk2 forever, until the walk has taken one step per 8 bytes of bins.
  uint32_t bound = b.HbinsDataSize() / 8 + 1;
  std::vector<std::string> expected = {"nextsk Cells chain Error"};
  expected.insert(expected.end(), bound - 1, "privsk Cells chain Error");
  expected.push_back("skCells chain Loop Error");
  EXPECT_EQ(s.red, expected);
  EXPECT_EQ(s.Value("skCells chained Count="), std::to_string(bound));
  (void)sk1;
}

TEST(KeyWalkFaults, IndexCellFaults) {
  {
    // An lf with Count 3 in a 24-byte cell needs 32 bytes.
    HiveBuilder b;
    Key p = b.AddKey(b.Root(), "P");
    b.Model(p).index.leaf = IndexKind::kLf;
    b.AddKey(p, "x");
    b.Build();
    uint32_t leaf = b.Offset(b.IndexCell(p));
    b.SetU16(leaf, 6, 3);
    Scan s = Search(b);
    EXPECT_EQ(s.red[0], "lf CellsLength Error FileOffset=" + Hex(4096 + leaf));
    EXPECT_FALSE(s.Has("ROOT\\P\\x"));
  }
  {
    // A key's SubkeyOffset that points at an nk.
    Tree t;
    t.b.SetU32(t.b.NkOffset("B"), NkCell::kSubkeyOffset, t.b.NkOffset("A"));
    Scan s = Search(t.b);
    EXPECT_EQ(s.red[0], "Sublist Error FileOffset=" + Hex(4096 + t.b.NkOffset("A")));
  }
}

TEST(KeyWalkFaults, RiOfLeavesIsOneSiblingSequence) {
  HiveBuilder b;
  Key p = b.AddKey(b.Root(), "P");
  b.Model(p).index = IndexShape{IndexKind::kLf, 2, 0};
  for (const char* name : {"a", "b", "c", "d", "e"}) b.AddKey(p, name);
  b.Build();
  Scan s = Search(b);
  EXPECT_TRUE(s.red.empty());
  EXPECT_EQ(s.Value(" SubLink nkCells -> riCells Count="), "1");
  EXPECT_EQ(s.Value(" SubLink riCells -> lfCells Count="), "3");
  EXPECT_EQ(s.Value("lfCells AccessCount="), "3 -> LinkAccessCount=5");
}

TEST(ScanDriverStops, BrokenBaseBlockAndBins) {
  {
    Tree t;
    t.b.SetFileU32(4096 + 4, 0x1000);  // the first bin's own offset
    t.b.RecomputeChecksum();
    Scan s = Search(t.b);
    EXPECT_EQ(s.red.back(), "HbinsChane Error");
    EXPECT_FALSE(s.Has("[Root nkCells Test]"));
  }
  {
    Tree t;
    t.b.SetFileU32(0x24, 0x1000);  // the root offset at a place inside a cell
    t.b.RecomputeChecksum();
    Scan s = Search(t.b);
    // The root elsewhere is a note (black); that no key cell is there, a fault.
    ASSERT_FALSE(s.heard.empty());
    EXPECT_EQ(s.heard.front().Line, "Root nkCellsOffsetVaue=0x00001000");
    EXPECT_EQ(s.heard.front().Level, Severity::kNote);
    EXPECT_EQ(s.red.front(), "Root nkCells Signature Error");
  }
  {
    Tree t;
    t.b.SetI32(t.b.NkOffset("A"), 0, 0);  // a cell of size 0 stops the bin walk
    Scan s = Search(t.b);
    ASSERT_FALSE(s.red.empty());
    EXPECT_EQ(s.red.back().rfind("HbinsCells Error HbinCount=1", 0), 0u) << s.red.back();
  }
}

}  // namespace
}  // namespace quelbrix::testing
