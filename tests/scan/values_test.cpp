// The value step on built hives: the dump line of every value type, the
// statistics, and one damaged cell per test (value list, vk, data cell) with
// the exact lines it gives and the repairs of the repair modes.
#include <gtest/gtest.h>

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

// ---- dump formats ----

// String data of every length up to a few sixteen-byte steps, with a NUL
// anywhere or none and an odd last byte, shows its text up to the first
// NUL unit, as a unit-by-unit reading of the bytes gives it.
TEST(ValueDump, StringsShowTheirUnitsUpToTheFirstNul) {
  HiveBuilder b;
  Key k = b.AddKey(b.Root(), "K");
  Lines expected;
  int index = 0;
  for (size_t bytes = 0; bytes <= 70; ++bytes) {
    for (int nulAt : {-1, 0, 3, 8, 15, 16, 33}) {
      std::vector<uint8_t> data(bytes);
      for (size_t i = 0; i < bytes; ++i) data[i] = i % 2 == 0 ? static_cast<uint8_t>('a' + (i / 2) % 26) : 0;
      if (nulAt >= 0 && 2 * static_cast<size_t>(nulAt) + 1 < bytes) data[2 * nulAt] = 0;
      std::string text;
      for (size_t i = 0; i < bytes; i += 2) {
        if (data[i] == 0) break;  // the high bytes are zero: a zero low byte ends the text
        text.push_back(static_cast<char>(data[i]));
      }
      std::string name = "s" + std::to_string(index++);
      b.AddValue(k, name, 1, data);
      expected.push_back("\"" + name + "\"=\"" + text + "\"");
    }
  }
  b.Build();
  ValueStepRun r(b.Image());
  ASSERT_TRUE(r.loaded);
  r.Begin(kCmdSearchNoDates);
  r.Step(b.NkOffset("K"));
  Lines strings;
  for (const std::string& line : r.Report())
    if (line.rfind("\"s", 0) == 0) strings.push_back(line);
  EXPECT_EQ(strings, expected);
}

TEST(ValueDump, EveryTypeHasItsLine) {
  HiveBuilder b;
  Key k = b.AddKey(b.Root(), "K");
  b.AddValue(k, "sz", 1, Utf16z(u"abc"));
  b.AddValue(k, "exp", 2, Utf16z(u"%PATH%"));
  b.AddValue(k, "", 4, {1, 2, 3, 4});
  b.AddValue(k, "be", 5, {1, 2, 3, 4});
  std::vector<uint8_t> multi = Utf16z(u"a");
  for (uint8_t x : Utf16z(u"b")) multi.push_back(x);
  multi.insert(multi.end(), {0, 0});
  b.AddValue(k, "multi", 7, multi);
  b.AddValue(k, "bin", 3, {0x0a, 0xff, 0x00});
  b.AddValue(k, "none", 0, {});
  b.AddValue(k, "link", 6, Utf16z(u"x", false));
  b.AddValue(k, "rl", 8, {1, 2, 3, 4, 5});
  b.AddValue(k, "frd", 9, {9});
  b.AddValue(k, "rrl", 10, {0x10});
  b.AddValue(k, "q", 11, {1, 2, 3, 4, 5, 6, 7, 8});
  b.AddValue(k, "100%d", 3, {0xab});
  b.Build();
  ValueStepRun r(b.Image());
  ASSERT_TRUE(r.loaded);
  r.Begin(kCmdSearchNoDates);
  r.Step(b.NkOffset("K"));

  EXPECT_EQ(r.Report(), (Lines{"\"sz\"=\"abc\"", "\"exp\"=\"%PATH%\"", "\"\"=dword:04030201",
                               "\"be\"=dword_big_endian:04030201", "\"multi\"=\"a\"\"b\"", "\"bin\"=binary:0aff00",
                               "\"none\"=non:", "\"link\"=link:7800", "\"rl\"=resource_list:0102030405",
                               "\"frd\"=full_resource_descriptor:09", "\"rrl\"=resource_requirements_list:10",
                               "\"q\"=qword:0102030405060708", "\"100%d\"=binary:ab"}));
  // Known types go to the report file only.
  EXPECT_TRUE(r.Pane().empty());

  EXPECT_EQ(r.Stat(Total::vklistCount), 1u);
  EXPECT_EQ(r.Stat(Total::vkCount), 13u);
  EXPECT_EQ(r.Stat(Total::dataCount), 5u);  // sz, exp, multi, rl, q
  EXPECT_EQ(r.Stat(Total::AccessCount), 1u + 13u + 5u);
  EXPECT_EQ(r.Stat(Total::ValueNameCounts, 0), 0u);
  EXPECT_EQ(r.Stat(Total::ValueNameCounts, 1), 12u);
  EXPECT_EQ(r.Stat(Total::ValueNameCounts, 2), 1u);
  EXPECT_EQ(r.Stat(Total::DataTypeCounts, 3), 2u);
  EXPECT_EQ(r.Stat(Total::DataTypeCounts, 7), 1u);
  EXPECT_EQ(r.Stat(Total::DataTypeCounts, 12), 0u);
  EXPECT_EQ(r.Stat(Total::MaxNameLength), 5u);
  EXPECT_EQ(r.Stat(Total::MaxdataLength), 14u);
  EXPECT_EQ(r.Stat(Total::MaxdataCellsLength), 24u);
}

TEST(ValueDump, RootValuesDoNotCountInMaxNameLength) {
  HiveBuilder b;
  b.AddValue(b.Root(), "a-rather-long-name", 4, {1, 0, 0, 0});
  Key k = b.AddKey(b.Root(), "K");
  b.AddValue(k, "ab", 4, {1, 0, 0, 0});
  b.Build();
  ValueStepRun r(b.Image());
  r.Begin(kCmdSearchNoDates);
  r.Step(b.Offset(b.NkCell(b.Root())), 0, "ROOT");
  EXPECT_EQ(r.Stat(Total::MaxNameLength), 0u);
  r.Step(b.NkOffset("K"), 1);
  EXPECT_EQ(r.Stat(Total::MaxNameLength), 2u);
}

TEST(ValueDump, TimesAndShortValuesShowTheBytesPresent) {
  const uint64_t when = 0x01D5A2B3C4D5E6F7ull;
  std::vector<uint8_t> filetime(8);
  for (int i = 0; i < 8; ++i) filetime[i] = static_cast<uint8_t>(when >> (8 * i));
  HiveBuilder b;
  Key k = b.AddKey(b.Root(), "K");
  b.AddValue(k, "logontime", 3, filetime);
  b.AddValue(k, "ShutdownTime", 3, {1, 2, 3, 4});
  b.AddValue(k, "dw", 4, {1, 2});
  b.AddValue(k, "empty", 4, {});
  b.Build();
  ValueStepRun r(b.Image());
  r.Begin(kCmdSearchDates);
  r.Step(b.NkOffset("K"));
  char time[64];
  FormatFileTime(time, sizeof time, when);
  std::string logon = std::string("[LogonTime=") + time + "]";
  EXPECT_EQ(r.Report(), (Lines{"\"logontime\"=binary:" + Hex(filetime), logon, "\"ShutdownTime\"=binary:01020304",
                               "[ShutdownTime=01020304]", "\"dw\"=dword:0201", "\"empty\"=dword:"}));
  EXPECT_EQ(r.PaneIn(kGreen), (Lines{logon, "[ShutdownTime=01020304]"}));
}

TEST(ValueDump, UnknownTypeWithAStringIsNamedAndRetypedUnderExtendedRepair) {
  HiveBuilder b;
  Key k = b.AddKey(b.Root(), "K");
  Value u = b.AddValue(k, "u", 0x20, Utf16z(u"hi"));
  Value raw = b.AddValue(k, "raw", 12, {1, 2, 3, 4, 5});
  b.Build();
  ValueStepRun r(b.Image());
  r.Begin(kCmdSearchNoDates);
  r.Step(b.NkOffset("K"));
  EXPECT_EQ(r.Report(), (Lines{"data type unknown", "\"u\"=unknown(0x0020):680069000000", "data type unknown",
                               "\"raw\"=unknown(0x000c):0102030405"}));
  std::vector<PaneLine> pane = r.Pane();
  ASSERT_EQ(pane.size(), 7u);
  EXPECT_EQ(pane[0].text, "data type unknown");
  // Data this program cannot decode is a note: not red, and it does not count
  // towards the verdict.
  EXPECT_EQ(pane[0].colour, kBlack);
  EXPECT_EQ(r.run.ctx.FaultLines, 0u);
  EXPECT_EQ(pane[1].text, "ROOT\\K");
  EXPECT_EQ(pane[2].text, "\"u\"=unknown(0x0020):680069000000");
  EXPECT_EQ(pane[3].text, "\"u\"=\"hi\"");
  EXPECT_EQ(pane[3].colour, kBlack);
  EXPECT_EQ(pane[6].text, "\"raw\"=unknown(0x000c):0102030405");
  EXPECT_EQ(r.Vk(b.Offset(b.VkCell(u))).DataType(), 0x20u);

  r.Begin(kCmdRepair);
  r.Step(b.NkOffset("K"));
  EXPECT_EQ(r.Vk(b.Offset(b.VkCell(u))).DataType(), 0x20u);
  r.Begin(kCmdRepair, true);
  r.Step(b.NkOffset("K"));
  EXPECT_EQ(r.Vk(b.Offset(b.VkCell(u))).DataType(), 1u);
  EXPECT_EQ(r.Vk(b.Offset(b.VkCell(raw))).DataType(), 12u);
}

TEST(ValueDump, InlineStringLongerThanFourBytesIsReportedAndDumpedFromItsField) {
  HiveBuilder b;
  Key k = b.AddKey(b.Root(), "K");
  Value v = b.AddValue(k, "s", 1, Utf16z(u"ab", false));
  b.Build();
  b.SetU32(b.Offset(b.VkCell(v)), VkCell::kDataLength, 0x80000006u);
  ValueStepRun r(b.Image());
  r.Begin(kCmdSearchNoDates);
  r.Step(b.NkOffset("K"));
  EXPECT_EQ(r.Report(), (Lines{"vk DataLength Error 6", "\"s\"=\"ab\""}));
  EXPECT_EQ(r.PaneIn(kBlack), (Lines{"s"}));
  EXPECT_EQ(r.Stat(Total::dataCount), 0u);
}

TEST(ValueDump, RebuildCountsEveryValueItWrites) {
  HiveBuilder b;
  Key k = b.AddKey(b.Root(), "K");
  b.AddValue(k, "s", 1, Utf16z(u"text"));
  b.AddValue(k, "m", 7, Utf16z(u"a"));
  b.AddValue(k, "d", 4, {1, 0, 0, 0});
  b.AddValue(k, "x", 0x30, {1});
  b.Build();
  ValueStepRun r(b.Image());
  r.Begin(kCmdRebuild);
  r.Step(b.NkOffset("K"));
  EXPECT_EQ(r.Counter(RepairCounter::RegSetValueExCount), 4);
  EXPECT_EQ(r.Report().size(), 5u);  // four lines and "data type unknown"
}

// ---- value list ----

TEST(ValueList, ListOutsideTheBinsVisitsNoValue) {
  HiveBuilder b;
  Key k = b.AddKey(b.Root(), "K");
  b.AddValue(k, "a", 4, {1, 0, 0, 0});
  b.Build();
  b.SetU32(b.NkOffset("K"), NkCell::kvklistOffset, 0x7FFFFFF0u);
  ValueStepRun r(b.Image());
  r.Begin(kCmdSearchNoDates);
  r.Step(b.NkOffset("K"));
  EXPECT_EQ(r.Report(), (Lines{"Cells Assert Error5 FileOffset=0x80000ff0", "vklist Cells Assert Error"}));
  EXPECT_EQ(r.Stat(Total::vkCount), 0u);
  EXPECT_EQ(r.Stat(Total::vklistCount), 1u);
}

TEST(ValueList, CountBeyondTheListVisitsNoValue) {
  HiveBuilder b;
  Key k = b.AddKey(b.Root(), "K");
  b.AddValue(k, "a", 4, {1, 0, 0, 0});
  b.Build();
  b.SetU32(b.NkOffset("K"), NkCell::kvklistCount, 10);
  ValueStepRun r(b.Image());
  r.Begin(kCmdSearchNoDates);
  r.Step(b.NkOffset("K"));
  EXPECT_EQ(r.Report(), (Lines{"vklist CellsLength Error " + FileOffset(b.Offset(b.ValueListCell(k)))}));
  EXPECT_EQ(r.PaneIn(kBlack), (Lines{"ROOT\\K"}));
  EXPECT_EQ(r.Stat(Total::vkCount), 0u);
}

TEST(ValueList, EntriesBeyondTheCountAreZeroedInTheRepairModes) {
  HiveBuilder b;
  Key k = b.AddKey(b.Root(), "K");
  for (const char* n : {"a", "b", "c"}) b.AddValue(k, n, 4, {1, 0, 0, 0});
  b.Build();
  b.SetU32(b.NkOffset("K"), NkCell::kvklistCount, 2);
  uint32_t list = b.Offset(b.ValueListCell(k));
  ValueStepRun r(b.Image());
  r.Begin(kCmdSearchNoDates);
  r.Step(b.NkOffset("K"));
  EXPECT_NE(r.Cell(list).U32(12), 0u);
  r.Begin(kCmdDefrag);
  r.Step(b.NkOffset("K"));
  EXPECT_EQ(r.Report().size(), 2u);
  EXPECT_EQ(r.Cell(list).U32(12), 0u);
  EXPECT_EQ(r.Counter(RepairCounter::vklistPaddingClean), 1);
}

// ---- vk cells ----

TEST(VkCell, ReferenceToAFreeCellIsSkipped) {
  HiveBuilder b;
  Key k = b.AddKey(b.Root(), "K");
  Value a = b.AddValue(k, "a", 4, {1, 0, 0, 0});
  b.AddValue(k, "b", 4, {2, 0, 0, 0});
  Cell freed = b.AddRawCell({0, 0, 0, 0}, 16);
  b.Build();
  uint32_t hole = b.Offset(freed);
  b.SetI32(hole, 0, 16);
  b.SetU32(b.Offset(b.ValueListCell(k)), 4, hole);
  ValueStepRun r(b.Image());
  r.Begin(kCmdSearchNoDates);
  r.Step(b.NkOffset("K"));
  EXPECT_EQ(r.Report(), (Lines{"Cells Assert Error7 " + FileOffset(hole), "vk Cells Assert Error", "\"b\"=dword:00000002"}));
  EXPECT_EQ(r.Stat(Total::vkCount), 2u);
  (void)a;
}

TEST(VkCell, BadSignatureSkipsTheValue) {
  HiveBuilder b;
  Key k = b.AddKey(b.Root(), "K");
  Value a = b.AddValue(k, "a", 4, {1, 0, 0, 0});
  b.AddValue(k, "b", 4, {2, 0, 0, 0});
  b.Build();
  uint32_t vk = b.Offset(b.VkCell(a));
  b.SetU16(vk, 4, 0x6B6E);  // "nk"
  ValueStepRun r(b.Image());
  r.Begin(kCmdSearchNoDates);
  r.Step(b.NkOffset("K"));
  EXPECT_EQ(r.Report(), (Lines{"vk Signature Error " + FileOffset(vk), "\"b\"=dword:00000002"}));
  EXPECT_EQ(r.PaneIn(kBlack), (Lines{"ROOT\\K"}));
}

TEST(VkCell, NameLongerThanTheCellSkipsTheValue) {
  HiveBuilder b;
  Key k = b.AddKey(b.Root(), "K");
  Value a = b.AddValue(k, "a", 4, {1, 0, 0, 0});
  b.Build();
  uint32_t vk = b.Offset(b.VkCell(a));
  b.SetU16(vk, VkCell::kNameLength, 200);
  ValueStepRun r(b.Image());
  r.Begin(kCmdSearchNoDates);
  r.Step(b.NkOffset("K"));
  EXPECT_EQ(r.Report(), (Lines{"vk CellsLength Error " + FileOffset(vk)}));
}

TEST(VkCell, NameLengthBeyondTheNameIsLoweredInTheRepairModes) {
  HiveBuilder b;
  Key k = b.AddKey(b.Root(), "K");
  Value a = b.AddValue(k, std::string("ab\0c", 4), 4, {1, 0, 0, 0});
  b.Build();
  uint32_t vk = b.Offset(b.VkCell(a));
  ValueStepRun r(b.Image());
  r.Begin(kCmdSearchNoDates);
  r.Step(b.NkOffset("K"));
  Lines report = r.Report();
  ASSERT_EQ(report.size(), 4u);  // the error, two hex lines of the 32-byte cell, the dump
  EXPECT_EQ(report[0], "vk NameLength Error " + FileOffset(vk));
  EXPECT_EQ(report[1].substr(0, 5), "0000 ");
  EXPECT_EQ(report[2].substr(0, 5), "0010 ");
  EXPECT_EQ(report[3], "\"ab\"=dword:00000001");
  Lines notes = r.PaneIn(kBlack);
  ASSERT_GE(notes.size(), 2u);
  EXPECT_EQ(notes[0], "ROOT\\K");
  EXPECT_EQ(notes[1], "ab");
  EXPECT_EQ(r.Vk(vk).NameLength(), 4u);

  r.Begin(kCmdRepair);
  r.Step(b.NkOffset("K"));
  EXPECT_EQ(r.Vk(vk).NameLength(), 2u);
  EXPECT_EQ(r.Counter(RepairCounter::vkKeyLengthClean), 1);
  // The rest of the old name is padding now.
  EXPECT_EQ(r.Vk(vk).U16(0x1A), 0u);
  EXPECT_EQ(r.Counter(RepairCounter::vkPaddingClean), 1);
}

TEST(VkCell, OverlongNameIsCutAtItsBufferAndReported) {
  HiveBuilder b;
  Key k = b.AddKey(b.Root(), "K");
  Value a = b.AddValue(k, std::string(20000, 'x'), 4, {1, 0, 0, 0});
  b.Build();
  ValueStepRun r(b.Image());
  r.Begin(kCmdSearchNoDates);
  r.Step(b.NkOffset("K"));
  Lines report = r.Report();
  ASSERT_EQ(report.size(), 2u);
  EXPECT_EQ(report[0], "vk Name Overflow Error " + FileOffset(b.Offset(b.VkCell(a))));
  EXPECT_EQ(report[1], "\"" + std::string(16383, 'x') + "\"=dword:00000001");
  // The computed length is the stored name's, not the cut text's.
  EXPECT_EQ(r.Stat(Total::MaxNameLength), 20000u);
}

TEST(VkCell, PaddingUnknownFieldAndTrim) {
  HiveBuilder b;
  Key k = b.AddKey(b.Root(), "K");
  Value a = b.AddValue(k, "a", 4, {1, 0, 0, 0});
  b.SetCellLength(b.VkCell(a), 64, 0xEE);
  b.Build();
  uint32_t vk = b.Offset(b.VkCell(a));
  b.SetU16(vk, VkCell::kUnknown, 5);
  ValueStepRun r(b.Image());

  r.Begin(kCmdSearchNoDates);
  r.Step(b.NkOffset("K"));
  EXPECT_EQ(r.Cell(vk).U8(40), 0xEE);

  r.Begin(kCmdRepair);
  r.Step(b.NkOffset("K"));
  EXPECT_EQ(r.Cell(vk).U8(40), 0u);
  EXPECT_EQ(r.Counter(RepairCounter::vkPaddingClean), 1);
  EXPECT_EQ(r.Vk(vk).Unknown(), 5u);
  EXPECT_EQ(r.Cell(vk).Length(), 64u);

  r.Begin(kCmdRepair, true);
  r.Step(b.NkOffset("K"));
  EXPECT_EQ(r.Vk(vk).Unknown(), 0u);
  EXPECT_EQ(r.Counter(RepairCounter::vkUnknownClean), 1);

  r.Begin(kCmdDefrag);
  r.Step(b.NkOffset("K"));
  EXPECT_EQ(r.Cell(vk).Length(), 32u);  // r8(26 + 1)
  EXPECT_EQ(r.Counter(RepairCounter::AdjustCellsClean), 1);
}

// ---- data cells ----

TEST(DataCell, ReferenceToAFreeCellIsNotDumped) {
  HiveBuilder b;
  Key k = b.AddKey(b.Root(), "K");
  Value a = b.AddValue(k, "s", 1, Utf16z(u"text"));
  Cell freed = b.AddRawCell({0, 0, 0, 0}, 16);
  b.Build();
  uint32_t hole = b.Offset(freed);
  b.SetI32(hole, 0, 16);
  b.SetU32(b.Offset(b.VkCell(a)), VkCell::kDataOffset, hole);
  ValueStepRun r(b.Image());
  r.Begin(kCmdSearchNoDates);
  r.Step(b.NkOffset("K"));
  EXPECT_EQ(r.Report(), (Lines{"Cells Assert Error7 " + FileOffset(hole), "data Cells Assert Error"}));
  EXPECT_EQ(r.Stat(Total::dataCount), 1u);
}

TEST(DataCell, LengthBeyondTheCellIsNotDumped) {
  HiveBuilder b;
  Key k = b.AddKey(b.Root(), "K");
  Value a = b.AddValue(k, "s", 3, {1, 2, 3, 4, 5, 6});
  b.Build();
  b.SetU32(b.Offset(b.VkCell(a)), VkCell::kDataLength, 100);
  ValueStepRun r(b.Image());
  r.Begin(kCmdSearchNoDates);
  r.Step(b.NkOffset("K"));
  EXPECT_EQ(r.Report(), (Lines{"data CellsLength Error " + FileOffset(b.Offset(b.DataCell(a)))}));
  EXPECT_EQ(r.Stat(Total::MaxdataLength), 0u);
}

TEST(DataCell, PaddingIsZeroedAndDefragTrims) {
  HiveBuilder b;
  Key k = b.AddKey(b.Root(), "K");
  Value a = b.AddValue(k, "bin", 3, {1, 2, 3, 4, 5, 6});
  b.SetCellLength(b.DataCell(a), 64, 0x55);
  b.Build();
  uint32_t data = b.Offset(b.DataCell(a));
  ValueStepRun r(b.Image());
  r.Begin(kCmdSearchNoDates);
  r.Step(b.NkOffset("K"));
  EXPECT_EQ(r.Report(), (Lines{"\"bin\"=binary:010203040506"}));
  EXPECT_EQ(r.Stat(Total::MaxdataCellsLength), 64u);
  EXPECT_EQ(r.Cell(data).U8(20), 0x55);

  r.Begin(kCmdRepair);
  r.Step(b.NkOffset("K"));
  EXPECT_EQ(r.Cell(data).U8(20), 0u);
  EXPECT_EQ(r.Cell(data).U8(63), 0u);
  EXPECT_EQ(r.Counter(RepairCounter::dataPaddingClean), 1);
  EXPECT_EQ(r.Cell(data).Length(), 64u);

  r.Begin(kCmdDefrag);
  r.Step(b.NkOffset("K"));
  EXPECT_EQ(r.Cell(data).Length(), 16u);
  EXPECT_EQ(r.Cell(data + 16).Size(), 48);
}

}  // namespace
}  // namespace quelbrix::testing
