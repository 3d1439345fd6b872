// Data length repair on built hives, driven through the value step under
// Repair: string values whose DataLength disagrees with their text, in each
// storage form, with the cells they gain or give up and the AccessMap marks of
// new cells.  Repaired images are written and read back by python3-hivex.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/context.h"
#include "core/report_log.h"
#include "scan/value_step_fixture.h"

namespace quelbrix::testing {
namespace {

using Lines = std::vector<std::string>;

HiveOptions Version(uint32_t minor) {
  HiveOptions o;
  o.minor = minor;
  return o;
}

// One string value "s" of `type` under key K.
struct StringHive {
  HiveBuilder b;
  Key k;
  Value v;
  StringHive(uint32_t type, std::vector<uint8_t> data, uint32_t minor = 5) : b(Version(minor)) {
    k = b.AddKey(b.Root(), "K");
    v = b.AddValue(k, "s", type, std::move(data));
  }
  uint32_t Vk() const { return b.Offset(b.VkCell(v)); }
  uint32_t Data() const { return b.Offset(b.DataCell(v)); }
  uint32_t Nk() const { return b.NkOffset("K"); }
};

// The repaired image written out and the value read back by hivex.
std::string ReadBack(ValueStepRun& r) {
  std::string path = r.run.dir.File("repaired");
  if (!r.WriteImage(path)) return "write failed";
  return HivexValue(path, "K", "s");
}

std::vector<uint8_t> Concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// ---- inline ----

TEST(DataLengthInline, TextWithoutTerminatorGrowsIntoADataCell) {
  StringHive h(1, Utf16z(u"ab", false));
  h.b.Build();
  ValueStepRun r(h.b.Image());
  r.Begin(kCmdRepair);
  r.Step(h.Nk());
  EXPECT_EQ(r.Report(), (Lines{"DataLength Error3 calculate=6 actual=4", "\"s\"=\"ab\""}));
  // A note: the pane shows it in black, the value's line after it.
  EXPECT_EQ(r.PaneIn(kBlack), (Lines{"DataLength Error3 calculate=6 actual=4", "\"s\"=\"ab\""}));
  EXPECT_TRUE(r.PaneIn(kRed).empty());
  VkCell vk = r.Vk(h.Vk());
  EXPECT_EQ(vk.DataLength(), 6u);
  CellView cell = r.Cell(vk.DataOffset());
  EXPECT_EQ(cell.Size(), -16);
  EXPECT_EQ(cell.U32(4), 0x00620061u);
  EXPECT_EQ(cell.U32(8), 0u);
  EXPECT_EQ(r.Shadow(cell.Pos()).AccessWord(), 0x10Au);
  EXPECT_EQ(r.Shadow(cell.Pos()).ParentLink(), vk.Pos());
  EXPECT_EQ(r.Shadow(vk.Pos()).ChildLink(0), cell.Pos());
  EXPECT_EQ(r.Counter(RepairCounter::vkDataLengthClean), 1);
  EXPECT_EQ(r.Stat(Total::AllocStartHbin), 0u);
  EXPECT_EQ(ReadBack(r), "1 610062000000");
}

TEST(DataLengthInline, ShortLengthStaysInlineAndLosesItsStrayBytes) {
  StringHive h(2, {'a', 0});
  h.b.Build();
  h.b.SetU32(h.Vk(), VkCell::kDataOffset, 0x7A000061u);
  ValueStepRun r(h.b.Image());
  r.Begin(kCmdRepair);
  r.Step(h.Nk());
  EXPECT_EQ(r.Report(), (Lines{"DataLength Error3 calculate=4 actual=2", "\"s\"=\"a\""}));
  VkCell vk = r.Vk(h.Vk());
  EXPECT_EQ(vk.DataLength(), 0x80000004u);
  EXPECT_EQ(vk.DataOffset(), 0x00000061u);
  EXPECT_EQ(r.Counter(RepairCounter::vkDataLengthClean), 1);
  EXPECT_EQ(r.Counter(RepairCounter::dataPaddingClean), 1);
}

TEST(DataLengthInline, DefragNeverCorrectsALength) {
  StringHive h(1, Utf16z(u"ab", false));
  h.b.Build();
  ValueStepRun r(h.b.Image());
  r.Begin(kCmdDefrag);
  r.Step(h.Nk());
  EXPECT_EQ(r.Report(), (Lines{"\"s\"=\"ab\""}));
  EXPECT_EQ(r.Vk(h.Vk()).DataLength(), 0x80000004u);
}

// ---- data cell ----

TEST(DataLengthDataCell, MatchingLengthIsLeft) {
  StringHive h(1, {'a', 0, 0, 0, 'x', 'y'});
  h.b.Build();
  h.b.SetU32(h.Vk(), VkCell::kDataLength, 4);
  ValueStepRun r(h.b.Image());
  r.Begin(kCmdRepair);
  r.Step(h.Nk());
  EXPECT_EQ(r.Report(), (Lines{"\"s\"=\"a\""}));
  EXPECT_EQ(r.Vk(h.Vk()).DataLength(), 4u);
  EXPECT_EQ(r.Counter(RepairCounter::vkDataLengthClean), 0);
}

TEST(DataLengthDataCell, LongerLengthOfAShortTextMovesInline) {
  StringHive h(1, Concat(Utf16z(u"a"), Utf16z(u"zw", false)));
  h.b.SetCellLength(h.b.DataCell(h.v), 16);
  h.b.Build();
  h.b.SetU32(h.Vk(), VkCell::kDataLength, 12);
  uint32_t old = h.Data();
  ValueStepRun r(h.b.Image());
  r.Begin(kCmdRepair);
  r.Step(h.Nk());
  EXPECT_EQ(r.Report(), (Lines{"DataLength Error5 calculate=4 actual=12", "\"s\"=\"a\""}));
  VkCell vk = r.Vk(h.Vk());
  EXPECT_EQ(vk.DataLength(), 0x80000004u);
  EXPECT_EQ(vk.DataOffset(), 0x00000061u);
  EXPECT_EQ(r.Cell(old).Size(), 16);
  EXPECT_EQ(r.Shadow(vk.Pos()).ChildLink(0), 0u);
  EXPECT_EQ(r.Counter(RepairCounter::vkDataLengthClean), 1);
  EXPECT_EQ(ReadBack(r), "1 61000000");
}

TEST(DataLengthDataCell, ShortLengthWithRoomStaysAndLosesItsStrayTerminatorBytes) {
  StringHive h(1, Utf16z(u"abc", false));
  h.b.Build();
  h.b.SetU16(h.Data(), 10, 0x4444);  // where the terminator goes
  ValueStepRun r(h.b.Image());
  r.Begin(kCmdRepair);
  r.Step(h.Nk());
  EXPECT_EQ(r.Report(), (Lines{"DataLength Error2 calculate=8 actual=6", "\"s\"=\"abc\""}));
  EXPECT_EQ(r.Vk(h.Vk()).DataLength(), 8u);
  EXPECT_EQ(r.Vk(h.Vk()).DataOffset(), h.Data());
  EXPECT_EQ(r.Cell(h.Data()).U16(10), 0u);
  EXPECT_EQ(r.Counter(RepairCounter::dataPaddingClean), 1);
  EXPECT_EQ(ReadBack(r), "1 6100620063000000");
}

TEST(DataLengthDataCell, ShortLengthWithoutRoomMovesToALargerCell) {
  StringHive h(1, Utf16z(u"abcdef", false));
  h.b.Build();
  uint32_t old = h.Data();
  ValueStepRun r(h.b.Image());
  r.Begin(kCmdRepair);
  r.Step(h.Nk());
  EXPECT_EQ(r.Report(), (Lines{"DataLength Error2 calculate=14 actual=12", "\"s\"=\"abcdef\""}));
  VkCell vk = r.Vk(h.Vk());
  EXPECT_EQ(vk.DataLength(), 14u);
  ASSERT_NE(vk.DataOffset(), old);
  CellView cell = r.Cell(vk.DataOffset());
  EXPECT_EQ(cell.Size(), -24);
  EXPECT_EQ(r.Cell(old).Size(), 16);
  // The new cell carries the old one's place in the AccessMap.
  EXPECT_EQ(r.Shadow(cell.Pos()).AccessWord(), 0x10Au);
  EXPECT_EQ(r.Shadow(cell.Pos()).ParentLink(), vk.Pos());
  EXPECT_EQ(r.Shadow(vk.Pos()).ChildLink(0), cell.Pos());
  EXPECT_EQ(r.Shadow(CellPos(old)).AccessWord(), 0u);
  EXPECT_EQ(ReadBack(r), "1 " + Hex(Utf16z(u"abcdef")));
}

TEST(DataLengthDataCell, MultiStringExpectsOneFinalTerminator) {
  StringHive h(7, Concat(Utf16z(u"a"), Utf16z(u"b")));
  h.b.Build();
  ValueStepRun r(h.b.Image());
  r.Begin(kCmdRepair);
  r.Step(h.Nk());
  EXPECT_EQ(r.Report(), (Lines{"DataLength Error2 calculate=10 actual=8", "\"s\"=\"a\"\"b\""}));
  EXPECT_EQ(r.Vk(h.Vk()).DataLength(), 10u);
  EXPECT_EQ(ReadBack(r), "7 61000000620000000000");
}

TEST(DataLengthDataCell, UnterminatedLastStringGetsZeroTerminatorsNotPadding) {
  // "a", then "bc" without its terminator; the cell's padding holds 0xAA.
  StringHive h(7, {'a', 0, 0, 0, 'b', 0, 'c', 0});
  h.b.SetCellLength(h.b.DataCell(h.v), 16, 0xAA);
  h.b.Build();
  ValueStepRun r(h.b.Image());
  r.Begin(kCmdRepair);
  r.Step(h.Nk());
  EXPECT_EQ(r.Report(), (Lines{"DataLength Error2 calculate=12 actual=8", "\"s\"=\"a\"\"bc\""}));
  EXPECT_EQ(r.Vk(h.Vk()).DataLength(), 12u);
  // The grown length takes terminators, never the padding that stood there,
  // so a second Repair finds nothing more to do.
  EXPECT_EQ(ReadBack(r), "7 610000006200630000000000");
}

// ---- the conversion to big data ----

TEST(ConvertdbCells, FullCellWithoutTerminatorBecomesBigData) {
  std::vector<uint8_t> text = Letters(16344);
  StringHive h(1, text);
  h.b.Build();
  uint32_t old = h.Data();
  ValueStepRun r(h.b.Image());
  r.Begin(kCmdRepair, true);
  r.Step(h.Nk());
  // The two segments come from new bins, which the allocator reports in
  // diagnostic mode.
  Lines report = r.Report();
  ASSERT_EQ(report.size(), 5u);
  EXPECT_EQ(report[0], "DataLength Error2 calculate=16346 actual=16344");
  EXPECT_EQ(report[1], "ConvertdbCells");
  EXPECT_EQ(report[2], "ExpandHbin HbinsSize=16384");
  EXPECT_EQ(report[3], "ExpandHbin HbinsSize=16384");
  EXPECT_EQ(report[4].substr(0, 9), "\"s\"=\"abcd");

  VkCell vk = r.Vk(h.Vk());
  EXPECT_EQ(vk.DataLength(), 16346u);
  EXPECT_EQ(r.Counter(RepairCounter::vkDataLengthClean), 0);
  EXPECT_EQ(r.Cell(old).Size(), 16352);
  DbCell db(r.Image(), CellPos(vk.DataOffset()));
  EXPECT_EQ(db.Size(), -16);
  EXPECT_EQ(db.Signature(), kSigDb);
  EXPECT_EQ(db.SegmentCount(), 2u);
  EXPECT_EQ(db.Unknown(), 0u);
  OffsetListCell list(r.Image(), CellPos(db.ddlistOffset()));
  EXPECT_EQ(list.Size(), -16);
  DataCell first(r.Image(), CellPos(list.Entry(0))), second(r.Image(), CellPos(list.Entry(1)));
  EXPECT_EQ(first.Size(), -16352);
  EXPECT_EQ(second.Size(), -16352);
  EXPECT_EQ(std::vector<uint8_t>(first.Data(16344), first.Data(16344) + 16344), text);
  EXPECT_EQ(second.U16(4), 0u);

  // Marked as the walk would have marked them, so a later move finds them.
  EXPECT_EQ(r.Shadow(db.Pos()).AccessWord(), 0x106u);
  EXPECT_EQ(r.Shadow(db.Pos()).ParentLink(), vk.Pos());
  EXPECT_EQ(r.Shadow(vk.Pos()).ChildLink(0), db.Pos());
  EXPECT_EQ(r.Shadow(list.Pos()).AccessWord(), 0x100u);
  EXPECT_EQ(r.Shadow(list.Pos()).ParentLink(), db.Pos());
  EXPECT_EQ(r.Shadow(db.Pos()).ChildLink(0), list.Pos());
  EXPECT_EQ(r.Shadow(first.Pos()).AccessWord(), 0x108u);
  EXPECT_EQ(r.Shadow(second.Pos()).ParentLink(), list.Pos());
  EXPECT_EQ(r.Shadow(list.Pos()).ChildLink(0), 0u);

  EXPECT_EQ(ReadBack(r), "1 " + Hex(Concat(text, {0, 0})));
  ProcessResult xml = RunProcess({"hivexml", r.run.dir.File("repaired")}, r.run.dir.File("repaired.xml"));
  EXPECT_EQ(xml.status, 0) << xml.err;
}

TEST(ConvertdbCells, UnterminatedLastStringTakesNothingBeyondTheCell) {
  // A multi-string filling its cell exactly: "a", then 8172 letters whose
  // terminator and the list's final one lie beyond the cell.
  std::vector<uint8_t> data = Concat({'a', 0, 0, 0}, Letters(16340));
  StringHive h(7, data);
  h.b.Build();
  ASSERT_EQ(h.b.U32(h.Data(), 0), static_cast<uint32_t>(-16352));
  ValueStepRun r(h.b.Image());
  r.Begin(kCmdRepair);
  r.Step(h.Nk());
  EXPECT_EQ(r.Report()[0], "DataLength Error2 calculate=16348 actual=16344");
  EXPECT_EQ(r.Vk(h.Vk()).DataLength(), 16348u);
  EXPECT_EQ(ReadBack(r), "7 " + Hex(Concat(data, {0, 0, 0, 0})));
}

TEST(ConvertdbCells, OutsideDiagnosticModeTheConversionIsSilent) {
  StringHive h(1, Letters(16344));
  h.b.Build();
  ValueStepRun r(h.b.Image());
  r.Begin(kCmdRepair);
  r.Step(h.Nk());
  Lines report = r.Report();
  ASSERT_EQ(report.size(), 2u);
  EXPECT_EQ(report[0], "DataLength Error2 calculate=16346 actual=16344");
  EXPECT_EQ(r.Vk(h.Vk()).DataLength(), 16346u);
}

TEST(ConvertdbCells, OldFormatHiveKeepsTheCell) {
  std::vector<uint8_t> text = Letters(16344);
  StringHive h(1, text, 3);
  h.b.Build();
  h.b.SetU32(h.Data(), 16348, 0x55555555);
  ValueStepRun r(h.b.Image());
  r.Begin(kCmdRepair);
  r.Step(h.Nk());
  EXPECT_EQ(r.Report()[0], "DataLength Error2 calculate=16346 actual=16344");
  VkCell vk = r.Vk(h.Vk());
  EXPECT_EQ(vk.DataLength(), 16346u);
  EXPECT_EQ(vk.DataOffset(), h.Data());
  EXPECT_EQ(r.Cell(h.Data()).U32(16348), 0u);
  EXPECT_EQ(r.Counter(RepairCounter::vkDataLengthClean), 1);
  EXPECT_EQ(ReadBack(r), "1 " + Hex(Concat(text, {0, 0})));
}

TEST(ConvertdbCells, NoRoomForASegmentGivesBackTheCellsAndLeavesTheValue) {
  std::vector<uint8_t> text = Letters(16344);
  StringHive h(1, text);
  h.b.AddHole(64);
  h.b.Build();
  uint32_t old = h.Data();
  ValueStepRun r(h.b.Image());
  // A new bin for a segment needs five pages; leave four.
  r.run.ctx.ReservePages = 4;
  r.Begin(kCmdRepair);
  r.Step(h.Nk());
  Lines report = r.Report();
  ASSERT_EQ(report.size(), 3u);
  EXPECT_EQ(report[0], "DataLength Error2 calculate=16346 actual=16344");
  EXPECT_EQ(report[1], "GetNewCells Error3");
  VkCell vk = r.Vk(h.Vk());
  EXPECT_EQ(vk.DataLength(), 16344u);
  EXPECT_EQ(vk.DataOffset(), old);
  EXPECT_EQ(r.Cell(old).Size(), -16352);
  EXPECT_EQ(r.Shadow(vk.Pos()).ChildLink(0), CellPos(old));
  // The db and list it took are free again and unmarked.
  std::vector<uint32_t> freeCells;
  HiveImage image = r.Image();
  for (uint64_t pos = kFirstCellPos; pos < image.HbinsEnd();) {
    if (image.U32(pos) == 0x6E696268) {  // "hbin"
      pos += kBinHeaderSize;
      continue;
    }
    CellView c(image, pos);
    if (c.Length() == 0) break;
    if (!c.Allocated() && r.Shadow(pos).AccessWord() != 0) freeCells.push_back(static_cast<uint32_t>(pos));
    pos += c.Length();
  }
  EXPECT_TRUE(freeCells.empty());
  EXPECT_EQ(r.Counter(RepairCounter::vkDataLengthClean), 0);
  EXPECT_EQ(ReadBack(r), "1 " + Hex(text));
}

// ---- big data ----

TEST(DataLengthBigData, ShortTextMovesIntoADataCell) {
  std::vector<uint8_t> data = Concat(Utf16z(std::u16string(50, u'x')), Pattern(20000 - 102));
  StringHive h(1, data);
  h.b.Build();
  uint32_t db = h.Data();
  uint32_t list = h.b.Offset(h.b.SegmentListCell(h.v));
  uint32_t seg0 = h.b.Offset(h.b.SegmentCell(h.v, 0)), seg1 = h.b.Offset(h.b.SegmentCell(h.v, 1));
  ValueStepRun r(h.b.Image());
  r.Begin(kCmdRepair);
  r.Step(h.Nk());
  EXPECT_EQ(r.Report(), (Lines{"DataLength Error4 calculate=102 actual=20000", "\"s\"=\"" + std::string(50, 'x') + "\""}));
  VkCell vk = r.Vk(h.Vk());
  EXPECT_EQ(vk.DataLength(), 102u);
  CellView cell = r.Cell(vk.DataOffset());
  EXPECT_EQ(cell.Size(), -112);
  EXPECT_EQ(r.Shadow(cell.Pos()).AccessWord(), 0x10Au);
  EXPECT_EQ(r.Shadow(vk.Pos()).ChildLink(0), cell.Pos());
  for (uint32_t gone : {db, list, seg0, seg1}) EXPECT_GT(r.Cell(gone).Size(), 0) << gone;
  EXPECT_EQ(r.Counter(RepairCounter::vkDataLengthClean), 1);
  EXPECT_EQ(ReadBack(r), "1 " + Hex(Utf16z(std::u16string(50, u'x'))));
}

TEST(DataLengthBigData, OneCharacterGoesInline) {
  std::vector<uint8_t> data = Concat(Utf16z(u"q"), Pattern(20000 - 4));
  StringHive h(2, data);
  h.b.Build();
  uint32_t db = h.Data();
  ValueStepRun r(h.b.Image());
  r.Begin(kCmdRepair);
  r.Step(h.Nk());
  EXPECT_EQ(r.Report(), (Lines{"DataLength Error4 calculate=4 actual=20000", "\"s\"=\"q\""}));
  VkCell vk = r.Vk(h.Vk());
  EXPECT_EQ(vk.DataLength(), 0x80000004u);
  EXPECT_EQ(vk.DataOffset(), 0x00000071u);
  EXPECT_GT(r.Cell(db).Size(), 0);
  EXPECT_EQ(r.Shadow(vk.Pos()).ChildLink(0), 0u);
  EXPECT_EQ(ReadBack(r), "2 71000000");
}

TEST(DataLengthBigData, LengthWithinTheSegmentsIsCorrectedInPlace) {
  std::vector<uint8_t> text = Letters(19000);
  std::vector<uint8_t> data = Concat(Concat(text, {0, 0}), Pattern(998));
  StringHive h(1, data);
  h.b.Build();
  uint32_t seg1 = h.b.Offset(h.b.SegmentCell(h.v, 1));
  ValueStepRun r(h.b.Image());
  r.Begin(kCmdRepair);
  r.Step(h.Nk());
  EXPECT_EQ(r.Report()[0], "DataLength Error4 calculate=19002 actual=20000");
  EXPECT_EQ(r.Vk(h.Vk()).DataLength(), 19002u);
  EXPECT_EQ(r.Vk(h.Vk()).DataOffset(), h.Data());
  // The second segment now carries 2658 bytes; what lay behind them is padding.
  EXPECT_EQ(r.Cell(seg1).U8(4 + 2658), 0u);
  EXPECT_EQ(r.Counter(RepairCounter::dbdataPaddingClean), 1);
  EXPECT_EQ(ReadBack(r), "1 " + Hex(Concat(text, {0, 0})));
}

TEST(DataLengthBigData, ShortLengthBeyondTheSegmentsIsOnlyReported) {
  std::vector<uint8_t> text = Letters(2 * 16344);
  StringHive h(1, text);
  h.b.Build();
  ValueStepRun r(h.b.Image());
  r.Begin(kCmdRepair);
  r.Step(h.Nk());
  EXPECT_EQ(r.Report()[0], "DataLength Error1 calculate=32690 actual=32688");
  EXPECT_EQ(r.Vk(h.Vk()).DataLength(), 32688u);
  EXPECT_EQ(r.Counter(RepairCounter::vkDataLengthClean), 0);
}

}  // namespace
}  // namespace quelbrix::testing
