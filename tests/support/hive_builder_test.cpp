// The test hive builder: its sound hives must open in the independent
// readers, and its layout and reported offsets must be what later damaged-hive
// tests rely on.
#include "support/hive_builder.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "app/context.h"
#include "core/report_log.h"
#include "hive/cells.h"
#include "hive/names.h"
#include "support/hive_fixture.h"

namespace quelbrix::testing {
namespace {

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
  for (size_t i = 0; i < n; ++i) d[i] = static_cast<uint8_t>(i * 7 + i / 251);
  return d;
}

// A hive with every structure the builder makes: the four index kinds,
// nested ri, UTF-16 and 8-bit names, classes, inline, cell and big data,
// several sk cells, holes, an empty bin, an oversized and a stray cell.
HiveBuilder RichHive(uint32_t minor, bool fragmented = true) {
  HiveOptions o;
  o.minor = minor;
  HiveBuilder b(o);
  Key lf = b.AddKey(b.Root(), "ByLf");
  b.Model(lf).index.leaf = IndexKind::kLf;
  Key li = b.AddKey(b.Root(), "ByLi");
  b.Model(li).index.leaf = IndexKind::kLi;
  Key ri = b.AddKey(b.Root(), "ByRi");
  b.Model(ri).index = IndexShape{IndexKind::kLh, 2, 2};
  for (const char* n : {"zeta", "Alpha", "beta", "Gamma", "delta", "Eps", "eta", "Theta", "iota"}) {
    b.AddKey(lf, n);
    b.AddKey(li, n);
    b.AddKey(ri, n);
  }
  Key wide = b.AddKey(b.Root(), u"\u0416\u0443\u043a");  // Cyrillic
  b.AddKey(wide, u"\u3042\u3044");
  b.AddKey(wide, "caf\xe9");
  b.SetClass(wide, u"WideClass");
  if (fragmented) b.AddHole(64);
  Key values = b.AddKey(b.Root(), "Values");
  b.AddValue(values, "", 1, Utf16z(u"default"));
  b.AddValue(values, "Dword", 4, {1, 2, 3, 4});
  b.AddValue(values, "Empty", 3, {});
  b.AddValue(values, u"\u540d\u524d", 1, Utf16z(u"\u5024"));
  b.AddValue(values, "Big", 3, Pattern(40000));
  b.AddValue(values, "Edge", 3, Pattern(16344));
  Security other = b.AddSecurity(HiveBuilder::DefaultDescriptor());
  b.SetSecurity(values, other);
  if (fragmented) {
    b.AddEmptyBin();
    Cell stray = b.AddRawCell({1, 2, 3, 4});
    b.SetCellLength(stray, 64, 0);
  }
  b.SetCellLength(b.NkCell(values), 160, 0);
  return b;
}

struct Ran {
  int status = -1;
  std::string out;
};

Ran RunTool(const std::string& command) {
  Ran r;
  FILE* p = popen((command + " 2>&1").c_str(), "r");
  if (p == nullptr) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

bool Installed(const std::string& tool) { return RunTool("command -v " + tool).status == 0; }

// Writes the rich hive of a version to a temp file for one reader.
class BuilderOracle : public ::testing::TestWithParam<uint32_t> {
 protected:
  void SetUp() override {
    HiveBuilder b = RichHive(GetParam());
    b.Build();
    path_ = dir_.File("rich.hiv");
    ASSERT_TRUE(b.WriteTo(path_));
  }
  std::string Quoted() const { return "'" + path_ + "'"; }
  TempDir dir_;
  std::string path_;
};

TEST_P(BuilderOracle, HivexmlListsEveryKeyAndValue) {
  if (!Installed("hivexml")) GTEST_SKIP() << "hivexml (libhivex-bin) is not installed";
  Ran r = RunTool("hivexml " + Quoted());
  EXPECT_EQ(r.status, 0) << r.out;
  for (const char* name : {"ByLf", "ByRi", "Theta", "Values", "Dword", "caf"})
    EXPECT_NE(r.out.find(name), std::string::npos) << name;
}

TEST_P(BuilderOracle, ReglookupWalksTheTreeWithoutErrors) {
  if (!Installed("reglookup")) GTEST_SKIP() << "reglookup is not installed";
  Ran r = RunTool("reglookup " + Quoted());
  EXPECT_EQ(r.status, 0) << r.out.substr(0, 2000);
  for (const char* key : {"/ByLf/zeta,KEY", "/ByLi/Alpha,KEY", "/ByRi/iota,KEY", "/Values/Big,BINARY",
                          "/Values/Dword,DWORD"})
    EXPECT_NE(r.out.find(key), std::string::npos) << key;
  // (Its warnings about names it cannot show in US-ASCII are no fault of the hive.)
  EXPECT_EQ(r.out.find("ERROR"), std::string::npos) << r.out.substr(0, 2000);
}

TEST_P(BuilderOracle, RegfinfoOpensTheFile) {
  if (!Installed("regfinfo")) GTEST_SKIP() << "regfinfo (libregf-utils) is not installed";
  Ran r = RunTool("regfinfo " + Quoted());
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out.find("unable"), std::string::npos) << r.out;
}

TEST_P(BuilderOracle, PythonHivexReadsSortedListsAndBigData) {
  if (RunTool("/usr/bin/python3 -c 'import hivex'").status != 0) GTEST_SKIP() << "python3-hivex is not installed";
  Ran r = RunTool("/usr/bin/python3 -c \"import hivex,sys\n"
                  "h=hivex.Hivex(sys.argv[1])\n"
                  "r=h.root()\n"
                  "for k in ('ByLf','ByLi','ByRi'):\n"
                  "  n=h.node_get_child(r,k)\n"
                  "  print(k,','.join(h.node_name(c) for c in h.node_children(n)))\n"
                  "v=h.node_get_value(h.node_get_child(r,'Values'),'Big')\n"
                  "print('Big',len(h.value_value(v)[1]))\" " +
                  Quoted());
  EXPECT_EQ(r.status, 0) << r.out;
  for (const char* k : {"ByLf", "ByLi", "ByRi"})
    EXPECT_NE(r.out.find(std::string(k) + " Alpha,beta,delta,Eps,eta,Gamma,iota,Theta,zeta"), std::string::npos)
        << r.out;
  EXPECT_NE(r.out.find("Big 40000"), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(Versions, BuilderOracle, ::testing::Values(5u, 3u));

// The engine's own scan finds nothing wrong in a sound built hive without
// holes, so a damaged-hive test sees only the lines of the fault it made.
TEST(HiveBuilder, EngineSearchOfASoundHiveHasNoRedLine) {
  for (uint32_t minor : {5u, 3u}) {
    HiveBuilder b = RichHive(minor, false);
    HiveRun run;
    ASSERT_TRUE(run.Load(b.Build()));
    run.Run(kCmdSearchDates);
    EXPECT_EQ(run.StatusUtf8(), "検索(日付有)完了");
    std::vector<PaneLine> pane = run.ui.Pane();
    std::vector<std::string> text = run.ui.PaneUtf8();
    ASSERT_FALSE(pane.empty());
    for (size_t i = 0; i < pane.size(); ++i) EXPECT_NE(pane[i].colour, kRed) << "1." << minor << ": " << text[i];
    int keys = run.ui.FindPanePrefix("nkCells AccessCount=");
    ASSERT_GE(keys, 0);
    EXPECT_EQ(text[keys], "nkCells AccessCount=35");
  }
}

TEST(HiveBuilder, LaysOutCellsInCreationOrderInsideBins) {
  HiveBuilder b;
  Key a = b.AddKey(b.Root(), "A");
  b.AddHole(48);
  Key big = b.AddKey(b.Root(), "B");
  Value v = b.AddValue(big, "Data", 3, Pattern(5000));  // a 5008-byte cell: a bin of 8192
  b.AddEmptyBin(8192);
  Key c = b.AddKey(b.Root(), "C");
  const std::vector<uint8_t>& image = b.Build();

  EXPECT_EQ(b.Offset(b.NkCell(b.Root())), 0x20u);
  EXPECT_EQ(b.FileU32(0x24), 0x20u);
  EXPECT_LT(b.Offset(b.NkCell(a)), b.Offset(b.NkCell(big)));
  // The hole sits between A and B as one free cell.
  uint32_t afterA = b.Offset(b.NkCell(a)) + 88;
  EXPECT_EQ(static_cast<int32_t>(b.U32(afterA, 0)), 48);
  EXPECT_EQ(b.Offset(b.NkCell(big)), afterA + 48);
  // The data cell got its own bin of two pages; the empty bin follows it.
  uint32_t data = b.Offset(b.DataCell(v));
  EXPECT_EQ(data % 4096, 32u);
  uint32_t dataBin = data - 32;
  EXPECT_EQ(b.U32(dataBin, 8), 8192u);
  EXPECT_EQ(static_cast<int32_t>(b.U32(data, 0)), -5008);
  EXPECT_EQ(b.U32(dataBin + 8192, 8), 8192u);
  EXPECT_EQ(static_cast<int32_t>(b.U32(dataBin + 8192 + 32, 0)), 8192 - 32);
  EXPECT_EQ(b.Offset(b.NkCell(c)), dataBin + 16384 + 32);
  EXPECT_EQ(image.size(), 4096u + b.HbinsDataSize());
  EXPECT_EQ(b.HbinsDataSize() % 4096, 0u);

  // Bins are chained and filled exactly by their cells.
  uint32_t bin = 0, bins = 0;
  while (bin < b.HbinsDataSize()) {
    ASSERT_EQ(b.U32(bin, 0), 0x6E696268u) << bin;  // "hbin"
    EXPECT_EQ(b.U32(bin, 4), bin);
    uint32_t size = b.U32(bin, 8);
    uint32_t cell = bin + 32;
    while (cell < bin + size) {
      int32_t s = static_cast<int32_t>(b.U32(cell, 0));
      ASSERT_NE(s, 0);
      ASSERT_EQ(s % 8, 0);
      cell += static_cast<uint32_t>(s < 0 ? -s : s);
    }
    EXPECT_EQ(cell, bin + size);
    bin += size;
    ++bins;
  }
  EXPECT_EQ(bins, 4u);
}

TEST(HiveBuilder, KeyFieldsCountsAndIndexesAreConsistent) {
  HiveBuilder b;
  Key parent = b.AddKey(b.Root(), "Parent");
  b.Model(parent).index = IndexShape{IndexKind::kLf, 2, 0};
  Key x = b.AddKey(parent, "xyz");
  Key longName = b.AddKey(parent, "LongerName");
  b.SetClass(longName, u"Class12");
  Key a = b.AddKey(parent, "a");
  b.AddValue(parent, "V", 4, {1, 0, 0, 0});
  b.Build();

  uint32_t nk = b.NkOffset("Parent");
  EXPECT_EQ(b.U16(nk, 0x06), 0x20);
  EXPECT_EQ(b.U32(nk, 0x14), 0x20u);  // parent: the root
  EXPECT_EQ(b.U32(nk, 0x18), 3u);
  EXPECT_EQ(b.U32(nk, 0x24), 0xFFFFFFFFu);
  EXPECT_EQ(b.U32(nk, 0x28), 1u);
  EXPECT_EQ(b.U32(nk, 0x34), 0xFFFFFFFFu);
  EXPECT_EQ(b.U16(nk, 0x38), 10);  // "LongerName"
  EXPECT_EQ(b.U32(nk, 0x3C), 14u);  // "Class12" in bytes
  EXPECT_EQ(b.U16(nk, 0x4C), 6);
  EXPECT_EQ(b.U16(b.Offset(b.NkCell(b.Root())), 0x06), 0x2C);

  // ri over two lf leaves, entries in upper-case order: a, LongerName | xyz.
  std::vector<uint32_t> index = b.IndexOffsets(parent);
  ASSERT_EQ(index.size(), 3u);
  EXPECT_EQ(b.U32(nk, 0x20), index[0]);
  EXPECT_EQ(b.U16(index[0], 4), 0x6972);
  EXPECT_EQ(b.U16(index[0], 6), 2);
  EXPECT_EQ(b.U32(index[0], 8), index[1]);
  EXPECT_EQ(b.U16(index[1], 4), 0x666C);
  EXPECT_EQ(b.U32(index[1], 8), b.Offset(b.NkCell(a)));
  EXPECT_EQ(b.U32(index[1], 16), b.Offset(b.NkCell(longName)));
  EXPECT_EQ(b.U32(index[1], 20), 0x676E6F4Cu);  // "Long"
  EXPECT_EQ(b.EntryOf(x).leafOffset, index[2]);
  EXPECT_EQ(b.EntryOf(x).index, 0u);
  EXPECT_EQ(b.U32(index[2], b.HashField(x)), 0x007A7978u);

  // The class cell and the class length.
  uint32_t cls = b.Offset(b.ClassCell(longName));
  EXPECT_EQ(b.U32(b.Offset(b.NkCell(longName)), 0x34), cls);
  EXPECT_EQ(b.U16(b.Offset(b.NkCell(longName)), 0x4E), 14);
  EXPECT_EQ(b.U16(cls, 4), u'C');
}

TEST(HiveBuilder, SecurityRingCarriesTrueReferenceCounts) {
  HiveBuilder b;
  Key a = b.AddKey(b.Root(), "A");
  b.AddKey(b.Root(), "B");
  Security s1 = b.AddSecurity(HiveBuilder::DefaultDescriptor());
  Security s2 = b.AddSecurity(HiveBuilder::DefaultDescriptor());
  b.SetSecurity(a, s1);
  b.Build();
  uint32_t sk0 = b.Offset(b.SkCell(b.DefaultSecurity()));
  uint32_t sk1 = b.Offset(b.SkCell(s1));
  uint32_t sk2 = b.Offset(b.SkCell(s2));
  EXPECT_EQ(b.U32(sk0, 0x10), 2u);  // root and B
  EXPECT_EQ(b.U32(sk1, 0x10), 1u);
  EXPECT_EQ(b.U32(sk2, 0x10), 0u);
  EXPECT_EQ(b.U32(sk0, 0x0C), sk1);
  EXPECT_EQ(b.U32(sk1, 0x0C), sk2);
  EXPECT_EQ(b.U32(sk2, 0x0C), sk0);
  EXPECT_EQ(b.U32(sk0, 0x08), sk2);
  EXPECT_EQ(b.U32(sk0, 0x14), static_cast<uint32_t>(HiveBuilder::DefaultDescriptor().size()));
  EXPECT_EQ(b.U32(b.Offset(b.NkCell(a)), 0x30), sk1);
}

TEST(HiveBuilder, ValueDataIsInlineInACellOrBigDataByVersion) {
  for (uint32_t minor : {3u, 5u}) {
    HiveOptions o;
    o.minor = minor;
    HiveBuilder b(o);
    Key k = b.AddKey(b.Root(), "K");
    Value small = b.AddValue(k, "Small", 4, {0x78, 0x56, 0x34, 0x12});
    Value edge = b.AddValue(k, "Edge", 3, Pattern(16344));
    Value over = b.AddValue(k, "Over", 3, Pattern(16345));
    b.Build();
    uint32_t vk = b.Offset(b.VkCell(small));
    EXPECT_EQ(b.U32(vk, 0x08), 0x80000004u);
    EXPECT_EQ(b.U32(vk, 0x0C), 0x12345678u);
    EXPECT_EQ(b.U16(vk, 0x14), 1);
    EXPECT_EQ(b.U16(b.Offset(b.DataCell(edge)), 0), static_cast<uint16_t>(-16352));
    uint32_t data = b.Offset(b.DataCell(over));
    if (minor == 3) {
      EXPECT_EQ(static_cast<int32_t>(b.U32(data, 0)), -16352);  // r8(4 + 16345)
      EXPECT_EQ(b.SegmentListCell(over).id, -1);
      EXPECT_EQ(b.U32(0, 0x1C), 4096u);  // old format: spare = bin size
    } else {
      EXPECT_EQ(b.U16(data, 4), 0x6264);  // "db"
      EXPECT_EQ(b.U16(data, 6), 2);
      uint32_t list = b.Offset(b.SegmentListCell(over));
      EXPECT_EQ(b.U32(data, 8), list);
      EXPECT_EQ(b.U32(list, 4), b.Offset(b.SegmentCell(over, 0)));
      EXPECT_EQ(b.U32(list, 8), b.Offset(b.SegmentCell(over, 1)));
      uint32_t second = b.Offset(b.SegmentCell(over, 1));
      EXPECT_EQ(static_cast<int32_t>(b.U32(second, 0)), -16352);
      EXPECT_EQ(b.Image()[4096 + second + 4], Pattern(16345)[16344]);
      EXPECT_EQ(b.U32(0, 0x1C), 0u);
    }
  }
}

TEST(HiveBuilder, OversizedCellsCarryTheirPadBytesAndPokesMoveTheChecksum) {
  HiveBuilder b;
  Key k = b.AddKey(b.Root(), "Key");
  b.SetCellLength(b.NkCell(k), 128, 0xAB);
  Cell stray = b.AddRawCell({'x', 'y'});
  b.Build();
  uint32_t nk = b.Offset(b.NkCell(k));
  EXPECT_EQ(static_cast<int32_t>(b.U32(nk, 0)), -128);
  EXPECT_EQ(b.Image()[4096 + nk + 80 + 3 - 1], 'y');
  EXPECT_EQ(b.Image()[4096 + nk + 83], 0xAB);
  EXPECT_EQ(b.Image()[4096 + nk + 127], 0xAB);
  EXPECT_EQ(static_cast<int32_t>(b.U32(b.Offset(stray), 0)), -8);

  uint32_t before = b.FileU32(0x1FC);
  b.SetFileU32(0x04, 99);
  EXPECT_EQ(b.FileU32(0x1FC), before);
  b.RecomputeChecksum();
  EXPECT_EQ(b.FileU32(0x1FC), before ^ 1u ^ 99u);
}

}  // namespace
}  // namespace quelbrix::testing
