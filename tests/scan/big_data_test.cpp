// Big data on built hives: values gathered from their segments, the db,
// segment list and segment faults with their exact lines, over-run segments,
// wrong segment counts, holes left by failed segments, and the tidy of the
// repair modes and of Defrag.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "app/context.h"
#include "core/report_log.h"
#include "scan/value_step_fixture.h"

namespace quelbrix::testing {
namespace {

using Lines = std::vector<std::string>;

std::string FileOffset(uint32_t cellOffset) {
  char text[32];
  std::snprintf(text, sizeof text, "FileOffset=0x%08x", cellOffset + 4096);
  return text;
}

std::string BinaryLine(const std::string& name, const std::vector<uint8_t>& data) {
  return "\"" + name + "\"=binary:" + Hex(data);
}

struct BigValue {
  HiveBuilder b;
  Key k;
  Value v;
  std::vector<uint8_t> data;
  explicit BigValue(size_t n, uint32_t minor = 5) : b(Options(minor)), data(Pattern(n)) {
    k = b.AddKey(b.Root(), "K");
    v = b.AddValue(k, "big", 3, data);
  }
  static HiveOptions Options(uint32_t minor) {
    HiveOptions o;
    o.minor = minor;
    return o;
  }
  uint32_t Vk() const { return b.Offset(b.VkCell(v)); }
  uint32_t Db() const { return b.Offset(b.DataCell(v)); }
  uint32_t List() const { return b.Offset(b.SegmentListCell(v)); }
  uint32_t Segment(size_t i) const { return b.Offset(b.SegmentCell(v, i)); }
  uint32_t Nk() const { return b.NkOffset("K"); }
};

TEST(BigData, OneByteOverTheLimitTakesTwoSegments) {
  BigValue h(16345);
  h.b.Build();
  // Stray bytes behind the second segment's one data byte.
  h.b.SetU32(h.Segment(1), 100, 0xDEADBEEF);
  ValueStepRun r(h.b.Image());
  r.Begin(kCmdSearchNoDates);
  r.Step(h.Nk());
  EXPECT_EQ(r.Report(), (Lines{BinaryLine("big", h.data)}));
  EXPECT_EQ(r.Stat(Total::dbCount), 1u);
  EXPECT_EQ(r.Stat(Total::ddlistCount), 1u);
  EXPECT_EQ(r.Stat(Total::dbdataCount), 2u);
  EXPECT_EQ(r.Stat(Total::dataCount), 0u);
  EXPECT_EQ(r.Stat(Total::AccessCount), 6u);  // list, vk, db, segment list, two segments
  EXPECT_EQ(r.Cell(h.Segment(1)).U32(100), 0xDEADBEEFu);

  r.Begin(kCmdRepair);
  r.Step(h.Nk());
  EXPECT_EQ(r.Report(), (Lines{BinaryLine("big", h.data)}));
  EXPECT_EQ(r.Cell(h.Segment(1)).U32(100), 0u);
  EXPECT_EQ(r.Cell(h.Segment(1)).U8(4), h.data[16344]);
  EXPECT_EQ(r.Counter(RepairCounter::dbdataPaddingClean), 1);
}

TEST(BigData, OldFormatHiveKeepsLongValuesInOneDataCell) {
  BigValue h(16345, 3);
  h.b.Build();
  ValueStepRun r(h.b.Image());
  r.Begin(kCmdSearchNoDates);
  r.Step(h.Nk());
  EXPECT_EQ(r.Report(), (Lines{BinaryLine("big", h.data)}));
  EXPECT_EQ(r.Stat(Total::dbCount), 0u);
  EXPECT_EQ(r.Stat(Total::dataCount), 1u);
  EXPECT_EQ(r.Stat(Total::MaxdataLength), 16345u);
}

TEST(BigData, SegmentBeyondTheValueIsFreedAndTheCountLowered) {
  BigValue h(20000);
  Cell extra = h.b.AddRawCell(std::vector<uint8_t>(16348, 0x77), 16352);
  h.b.Build();
  uint32_t third = h.b.Offset(extra);
  h.b.SetU32(h.List(), 4 + 8, third);
  h.b.SetU16(h.Db(), 6, 3);
  ValueStepRun r(h.b.Image());
  Lines expected{BinaryLine("big", h.data), "dbdata CellsOverRun Error " + FileOffset(third),
                 "dbCells Number Error calculate=2 actual=3"};
  r.Begin(kCmdSearchNoDates);
  r.Step(h.Nk());
  EXPECT_EQ(r.Report(), expected);
  EXPECT_EQ(r.Stat(Total::dbdataCount), 3u);
  EXPECT_EQ(r.Cell(third).Size(), -16352);
  EXPECT_EQ(r.Cell(h.Db()).U16(6), 3u);

  r.Begin(kCmdRepair);
  r.Step(h.Nk());
  EXPECT_EQ(r.Report(), expected);
  EXPECT_EQ(r.Cell(third).Size(), 16352);
  EXPECT_EQ(r.Cell(h.List()).U32(12), 0u);
  EXPECT_EQ(r.Cell(h.Db()).U16(6), 2u);
  EXPECT_EQ(r.Counter(RepairCounter::dbdataOverClean), 1);
  EXPECT_EQ(r.Counter(RepairCounter::dbNumberClean), 1);
  EXPECT_EQ(r.Shadow(CellPos(third)).AccessWord(), 0u);

  // The repaired structure scans clean.
  r.Begin(kCmdSearchNoDates);
  r.Step(h.Nk());
  EXPECT_EQ(r.Report(), (Lines{BinaryLine("big", h.data)}));
}

TEST(BigData, CountTooSmallIsReportedNotChangedAndDumpsZeros) {
  BigValue h(20000);
  h.b.Build();
  h.b.SetU16(h.Db(), 6, 1);
  std::vector<uint8_t> seen(h.data.begin(), h.data.begin() + 16344);
  seen.resize(20000, 0);
  Lines expected{BinaryLine("big", seen), "dbCells Number Error calculate=2 actual=1"};
  ValueStepRun r(h.b.Image());
  r.Begin(kCmdRepair);
  r.Step(h.Nk());
  EXPECT_EQ(r.Report(), expected);
  EXPECT_EQ(r.Cell(h.Db()).U16(6), 1u);
  EXPECT_EQ(r.Counter(RepairCounter::dbNumberClean), 0);
  EXPECT_EQ(r.Stat(Total::dbdataCount), 1u);
}

TEST(BigData, FailedSegmentLeavesAHoleAndIsNeverTouched) {
  BigValue h(20000);
  Cell stray = h.b.AddRawCell(std::vector<uint8_t>(16348, 0x66), 16352);
  h.b.Build();
  uint32_t freed = h.b.Offset(stray);
  h.b.SetI32(freed, 0, 16352);
  h.b.SetU32(h.List(), 8, freed);
  std::vector<uint8_t> seen(h.data.begin(), h.data.begin() + 16344);
  seen.resize(20000, 0);
  ValueStepRun r(h.b.Image());
  r.Begin(kCmdRepair);
  r.Step(h.Nk());
  EXPECT_EQ(r.Report(), (Lines{"Cells Assert Error7 " + FileOffset(freed), "dbdata Cells Assert Error",
                               BinaryLine("big", seen)}));
  // Its bytes past the value's end were not taken for padding.
  EXPECT_EQ(r.Cell(freed).U8(5000), 0x66);
  EXPECT_EQ(r.Cell(freed).Size(), 16352);
  EXPECT_EQ(r.Counter(RepairCounter::dbdataPaddingClean), 0);
}

TEST(BigData, HeaderAndListFaultsEndTheValue) {
  struct Fault {
    const char* what;
    std::function<void(BigValue&)> poke;
    std::function<Lines(BigValue&)> lines;
  };
  std::vector<Fault> faults{
      {"db outside the bins", [](BigValue& h) { h.b.SetU32(h.Vk(), VkCell::kDataOffset, 0x7FFFFFF0u); },
       [](BigValue&) { return Lines{"Cells Assert Error5 FileOffset=0x80000ff0", "db Cells Assert Error"}; }},
      {"db signature", [](BigValue& h) { h.b.SetU16(h.Db(), 4, 0x6B76); },
       [](BigValue& h) { return Lines{"db Signature Error " + FileOffset(h.Db())}; }},
      {"db length",
       [](BigValue& h) {
         h.b.SetI32(h.Db(), 0, -8);
         h.b.SetI32(h.Db() + 8, 0, 8);
       },
       [](BigValue& h) { return Lines{"db CellsLength Error " + FileOffset(h.Db())}; }},
      {"list outside the bins", [](BigValue& h) { h.b.SetU32(h.Db(), 8, 0x7FFFFFF0u); },
       [](BigValue&) { return Lines{"Cells Assert Error5 FileOffset=0x80000ff0", "ddlist Cells Assert Error"}; }},
      {"list too short for the count", [](BigValue& h) { h.b.SetU16(h.Db(), 6, 4); },
       [](BigValue& h) { return Lines{"ddlist CellsLength Error " + FileOffset(h.List())}; }},
  };
  for (Fault& f : faults) {
    SCOPED_TRACE(f.what);
    BigValue h(20000);
    h.b.Build();
    f.poke(h);
    ValueStepRun r(h.b.Image());
    r.Begin(kCmdRepair);
    r.Step(h.Nk());
    EXPECT_EQ(r.Report(), f.lines(h));
    EXPECT_EQ(r.PaneIn(kBlack), (Lines{"ROOT\\K"}));
  }
}

TEST(BigData, ListAndDbPaddingAreCleanedAndDefragTrimsThem) {
  BigValue h(20000);
  h.b.SetCellLength(h.b.SegmentListCell(h.v), 64, 0x11);
  h.b.SetCellLength(h.b.DataCell(h.v), 48, 0x22);
  h.b.Build();
  ValueStepRun r(h.b.Image());
  r.Begin(kCmdRepair);
  r.Step(h.Nk());
  EXPECT_EQ(r.Cell(h.List()).U8(40), 0u);
  EXPECT_EQ(r.Cell(h.Db()).U8(40), 0u);
  EXPECT_EQ(r.Counter(RepairCounter::ddlistPaddingClean), 1);
  EXPECT_EQ(r.Counter(RepairCounter::dbPaddingClean), 1);
  EXPECT_EQ(r.Cell(h.List()).Length(), 64u);

  r.Begin(kCmdDefrag);
  r.Step(h.Nk());
  EXPECT_EQ(r.Cell(h.List()).Length(), 16u);
  EXPECT_EQ(r.Cell(h.Db()).Length(), 16u);
  EXPECT_EQ(r.Cell(h.Segment(1)).Length(), 16352u);
  EXPECT_EQ(r.Counter(RepairCounter::AdjustCellsClean), 2);
}

TEST(BigData, LengthBeyondTheImageIsReportedAndBounded) {
  BigValue h(20000);
  h.b.Build();
  h.b.SetU32(h.Vk(), VkCell::kDataLength, 0x7FFFFFF0u);
  ValueStepRun r(h.b.Image());
  r.Begin(kCmdSearchNoDates);
  r.Step(h.Nk());
  Lines report = r.Report();
  ASSERT_EQ(report.size(), 3u);
  EXPECT_EQ(report[0], "vk DataLength Error 2147483632");
  size_t prefix = BinaryLine("big", {}).size();
  EXPECT_EQ(report[1].substr(0, prefix + 40000), BinaryLine("big", h.data));
  EXPECT_EQ(report[1].size(), prefix + 2 * size_t{r.run.ctx.ImageSize});
  EXPECT_EQ(report[2], "dbCells Number Error calculate=131393 actual=2");
}

}  // namespace
}  // namespace quelbrix::testing
