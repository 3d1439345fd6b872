// The base block: the "[regf Infomation]" phase with its two stops, the
// checksum, the sequence-number repair, the diagnostic base-block repair and
// the closing fix-up.
#include "app/context.h"
#include "hive/base_block.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/report_log.h"
#include "hive/access_map.h"
#include "support/hive_builder.h"
#include "support/hive_fixture.h"

namespace quelbrix {
namespace {

using testing::HiveBuilder;
using testing::HiveOptions;

class BaseBlockTest : public ::testing::Test {
 protected:
  BaseBlockTest() : b_(Options()) {}
  static HiveOptions Options() {
    HiveOptions o;
    o.fileName = u"SYSTEM";
    return o;
  }
  void Load(std::vector<uint8_t> bytes) { ASSERT_TRUE(run_.Load(bytes)); }
  void Load() { Load(b_.Build()); }
  bool Phase(int32_t command) {
    run_.ctx.CommandId = command;
    run_.ctx.Rules = MakePassRules(run_.ctx.CommandId, run_.ctx.DiagnosticMode != 0);
    return BaseBlockPhase(run_.ctx);
  }
  std::vector<std::string> Lines() { return run_.ui.PaneUtf8(); }
  uint32_t Colour(size_t line) { return run_.ui.Pane().at(line).colour; }
  int32_t Counter(RepairCounter c) { return ScanTotals(run_.ctx).Counter(c); }
  uint32_t ImageU32(uint32_t pos) { return HiveImage(run_.ctx).U32(pos); }
  static std::string Hex(const char* format, uint32_t a, uint32_t b) {
    char line[120];
    FormatText(line, sizeof line, format, a, b);
    return line;
  }

  HiveBuilder b_;
  testing::HiveRun run_;
};

TEST_F(BaseBlockTest, SoundBaseBlockPrintsEveryFieldInOrder) {
  Load();
  uint32_t sum = b_.FileU32(0x1FC);
  ASSERT_TRUE(Phase(kCmdSearchDates));
  std::vector<std::string> lines = Lines();
  ASSERT_EQ(lines.size(), 13u);
  EXPECT_EQ(lines[0], "FileName=" + run_.HivePath());
  EXPECT_EQ(lines[1], "FileSize(Byte)=8192 0x00002000");
  EXPECT_EQ(lines[2].rfind("[regf Infomation] ", 0), 0u);
  EXPECT_EQ(Colour(2), kGreen);
  EXPECT_EQ(lines[3], Hex("regfChecksum calculate=0x%08x actual=0x%08x", sum, sum));
  EXPECT_EQ(lines[4], "regfFileName=SYSTEM");
  EXPECT_EQ(lines[5].rfind("regfTimeStamp=20", 0), 0u);
  EXPECT_EQ(lines[6], "regfVersion=1.5");
  EXPECT_EQ(lines[7], "regfSequence=1.1");
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 8, lines.end()),
            (std::vector<std::string>{"regfType=0", "regfFormat=1", "regfCluster=1", "regfBootType=0",
                                      "regfBootRecover=0"}));
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i == 2) continue;
    EXPECT_EQ(Colour(i), kBlack) << lines[i];
  }
  EXPECT_EQ(run_.ctx.HiveMajorVersion, 1u);
  EXPECT_EQ(run_.ctx.HiveMinorVersion, 5u);
}

TEST_F(BaseBlockTest, MissingSignatureStopsTheScan) {
  std::vector<uint8_t> bytes = b_.Build();
  bytes[3] = 'x';
  Load(bytes);
  EXPECT_FALSE(Phase(kCmdSearchDates));
  std::vector<std::string> lines = Lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[3], "regfSignature Error");
  EXPECT_EQ(Colour(3), kRed);
}

TEST_F(BaseBlockTest, FileShorterThanDeclaredStopsLongerGoesOn) {
  b_.Build();
  b_.SetFileU32(0x28, b_.HbinsDataSize() + 4096);
  b_.RecomputeChecksum();
  Load(b_.Image());
  EXPECT_FALSE(Phase(kCmdSearchDates));
  EXPECT_EQ(Lines().back(), "FileSize(regfSize+regfHbinsLength) Error calcutlate=12288 actual=8192");
  EXPECT_EQ(run_.ui.Pane().back().colour, kRed);

  testing::HiveRun longer;
  std::vector<uint8_t> bytes = b_.Build();
  bytes.resize(bytes.size() + 4196, 0);  // 4196: also not a multiple of 4096
  ASSERT_TRUE(longer.Load(bytes));
  longer.ctx.CommandId = kCmdSearchDates;
  longer.ctx.Rules = MakePassRules(longer.ctx.CommandId, longer.ctx.DiagnosticMode != 0);
  EXPECT_TRUE(BaseBlockPhase(longer.ctx));
  std::vector<std::string> lines = longer.ui.PaneUtf8();
  EXPECT_EQ(lines[2], "FileSize Error not multiple 4096");
  EXPECT_EQ(lines.back(), "FileSize(regfSize+regfHbinsLength) Error calcutlate=8192 actual=12388");
}

TEST_F(BaseBlockTest, ChecksumIsAPlainXorEvenWhenItIsZero) {
  b_.Build();
  // Make the XOR of the first 127 dwords 0 through a reserved dword.
  b_.RecomputeChecksum();
  b_.SetFileU32(0xA8, b_.FileU32(0x1FC));
  b_.SetFileU32(0x1FC, 0);
  EXPECT_EQ(ComputeChecksum(b_.Image().data()), 0u);
  Load(b_.Image());
  ASSERT_TRUE(Phase(kCmdSearchDates));
  EXPECT_EQ(Lines()[3], "regfChecksum calculate=0x00000000 actual=0x00000000");
  EXPECT_EQ(Colour(3), kBlack);

  testing::HiveRun wrong;
  b_.SetFileU32(0x1FC, 0xFFFFFFFF);
  ASSERT_TRUE(wrong.Load(b_.Image()));
  wrong.ctx.CommandId = kCmdRepair;
  wrong.ctx.Rules = MakePassRules(wrong.ctx.CommandId, wrong.ctx.DiagnosticMode != 0);
  ASSERT_TRUE(BaseBlockPhase(wrong.ctx));
  EXPECT_EQ(wrong.ui.PaneUtf8()[3], "regfChecksum Error calculate=0x00000000 actual=0xffffffff");
  EXPECT_EQ(wrong.ui.Pane()[3].colour, kRed);
  EXPECT_EQ(HiveImage(wrong.ctx).U32(0x1FC), 0xFFFFFFFFu);  // reported, never changed here
}

TEST_F(BaseBlockTest, UnequalSequenceNumbersAreRepairedOnlyByRepairAndDefrag) {
  for (int32_t command : {kCmdSearchDates, kCmdSearchNoDates, kCmdRepair, kCmdDefrag}) {
    HiveOptions o;
    o.primarySequence = 5;
    o.secondarySequence = 7;
    HiveBuilder b(o);
    testing::HiveRun run;
    ASSERT_TRUE(run.Load(b.Build()));
    run.ctx.CommandId = command;
    run.ctx.Rules = MakePassRules(run.ctx.CommandId, run.ctx.DiagnosticMode != 0);
    ASSERT_TRUE(BaseBlockPhase(run.ctx));
    int line = run.ui.FindPane("regfSequence Error=5.7");
    ASSERT_GE(line, 0) << command;
    EXPECT_EQ(run.ui.Pane()[line].colour, kRed);
    bool repairs = command == kCmdRepair || command == kCmdDefrag;
    EXPECT_EQ(HiveImage(run.ctx).U32(8), repairs ? 5u : 7u) << command;
    EXPECT_EQ(ScanTotals(run.ctx).Counter(RepairCounter::regfSequenceClean), repairs ? 1 : 0) << command;
  }
}

TEST_F(BaseBlockTest, DiagnosticRepairListsUnknownsAndGuids) {
  b_.Build();
  for (uint32_t i = 0; i < 16; ++i) b_.Image()[0x70 + i] = static_cast<uint8_t>(i);
  b_.SetFileU32(0x90, 0xDEADBEEF);
  Load(b_.Image());
  ASSERT_TRUE(Phase(kCmdRepair));
  EXPECT_LT(run_.ui.FindPanePrefix("regfUnknown4"), 0);  // not without DiagnosticMode

  testing::HiveRun diag;
  diag.ctx.DiagnosticMode = 1;
  diag.ctx.Rules = MakePassRules(diag.ctx.CommandId, diag.ctx.DiagnosticMode != 0);
  ASSERT_TRUE(diag.Load(b_.Image()));
  diag.ctx.CommandId = kCmdRepair;
  diag.ctx.Rules = MakePassRules(diag.ctx.CommandId, diag.ctx.DiagnosticMode != 0);
  ASSERT_TRUE(BaseBlockPhase(diag.ctx));
  std::vector<std::string> lines = diag.ui.PaneUtf8();
  int at = diag.ui.FindPane("regfUnknown4=0xdeadbeef");
  ASSERT_GE(at, 0);
  EXPECT_EQ(lines[at + 1], "regfUnknown5=0x00000000");
  EXPECT_EQ(lines[at + 2], "regfGUID1={03020100-0504-0706-0809-0A0B0C0D0E0F}");
  EXPECT_EQ(lines[at + 7], "regfGUID6={00000000-0000-0000-0000-000000000000}");
}

TEST_F(BaseBlockTest, DiagnosticBaseBlockRepairCountsEachArea) {
  b_.Build();
  b_.SetFileU32(0xA4, 5);             // unknown 5
  b_.Image()[0x80 + 3] = 1;           // GUID 2
  b_.Image()[0xFE8 + 15] = 1;         // GUID 6
  b_.SetFileU32(0xA8, 1);             // reserved 1, two dwords
  b_.SetFileU32(0x1F8, 2);
  b_.SetFileU32(0x200, 3);            // reserved 2, one dword
  Load(b_.Image());
  run_.ctx.CommandId = kCmdRepair;
  run_.ctx.Rules = MakePassRules(run_.ctx.CommandId, run_.ctx.DiagnosticMode != 0);
  run_.ctx.DiagnosticMode = 1;
  run_.ctx.Rules = MakePassRules(run_.ctx.CommandId, run_.ctx.DiagnosticMode != 0);
  RepairBaseBlock(run_.ctx);
  EXPECT_EQ(Counter(RepairCounter::regfUnknownClean), 1);
  EXPECT_EQ(Counter(RepairCounter::regfGuidClean), 2);
  EXPECT_EQ(Counter(RepairCounter::regfReserve1Clean), 2);
  EXPECT_EQ(Counter(RepairCounter::regfReserve2Clean), 1);
  EXPECT_EQ(Counter(RepairCounter::regfFileNameClean), 1);
  EXPECT_EQ(Counter(RepairCounter::regfTimeStampClean), 1);
  EXPECT_EQ(Counter(RepairCounter::HbinTimeStampClean), 1);
  for (uint32_t pos = 0x30; pos < 0xFF8; pos += 4) {
    if (pos == 0x1FC) continue;
    ASSERT_EQ(ImageU32(pos), 0u) << std::hex << pos;
  }
  EXPECT_EQ(HiveImage(run_.ctx).U64(0x0C), 0u);
  EXPECT_EQ(HiveImage(run_.ctx).U64(4096 + 0x14), 0u);
  // A second run finds nothing more.
  RepairBaseBlock(run_.ctx);
  EXPECT_EQ(Counter(RepairCounter::regfGuidClean), 2);
  EXPECT_EQ(Counter(RepairCounter::HbinTimeStampClean), 1);
}

TEST_F(BaseBlockTest, ClosingFixupSetsFileSizeAndChecksum) {
  std::vector<uint8_t> bytes = b_.Build();
  bytes.resize(bytes.size() + 4096, 0);
  bytes[0x1FC] ^= 1;
  Load(bytes);
  EXPECT_EQ(run_.ctx.FileSize, 12288u);
  ClosingFixup(run_.ctx);
  EXPECT_EQ(run_.ctx.FileSize, 8192u);
  EXPECT_EQ(ImageU32(0x1FC), ComputeChecksum(run_.ctx.Image));
  EXPECT_EQ(Counter(RepairCounter::FileSizeClean), 1);
  EXPECT_EQ(Counter(RepairCounter::regfCheckSumClean), 1);
  ClosingFixup(run_.ctx);
  EXPECT_EQ(Counter(RepairCounter::FileSizeClean), 1);
  EXPECT_EQ(Counter(RepairCounter::regfCheckSumClean), 1);
}

TEST(GuidText, IsTheBracedUpperCaseRegistryForm) {
  const uint8_t g[16] = {0xBE, 0x56, 0x01, 0xF1, 0x87, 0x0E, 0xFB, 0x4E,
                         0x96, 0x9E, 0x5D, 0xA2, 0x9D, 0x13, 0x11, 0x44};
  EXPECT_EQ(GuidText(g), "{F10156BE-0E87-4EFB-969E-5DA29D131144}");
}

}  // namespace
}  // namespace quelbrix
