#include "app/context.h"
#include "repair/counters.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "core/report_log.h"
#include "hive/access_map.h"
#include "support/recording_frontend.h"

namespace quelbrix {
namespace {

// The summary's rows: counter name and its AccessMap position, in print order.
const std::vector<std::pair<std::string, uint32_t>> kRows = {
      {"FileSizeClean", 264},
      {"regfFileNameClean", 272},
      {"regfTimeStampClean", 276},
      {"regfUnknownClean", 284},
      {"regfSequenceClean", 300},
      {"regfGuidClean", 288},
      {"regfReserve1Clean", 292},
      {"regfReserve2Clean", 296},
      {"regfCheckSumClean", 304},
      {"AdjustCellsClean", 252},
      {"HbinUnknownClean", 256},
      {"HbinOffsetClean", 260},
      {"HbinTimeStampClean", 268},
      {"regfHbinsLengthClean", 528},
      {"HbinBrokenClean", 532},
      {"HbinCellsClean", 536},
      {"nkRootFlagClean", 540},
      {"SublistDetachClean", 544},
      {"nkSubkeySequenceClean", 548},
      {"nkSubkeyDuplicateClean", 552},
      {"vklistDetachClean", 556},
      {"vkDetachClean", 560},
      {"dataDetachClean", 564},
      {"classDetachClean", 568},
      {"skDetachClean", 572},
      {"nkMaxSubkeyClean", 308},
      {"nkMaxClassClean", 312},
      {"nkSubkeyCountClean", 324},
      {"nkSubkeyCount1Clean", 328},
      {"nkvklistCountClean", 332},
      {"nkClassCountClean", 336},
      {"nkskOffsetClean", 340},
      {"nkUnknownClean", 344},
      {"nkKeyLengthClean", 364},
      {"lfHashClean", 348},
      {"lhHashClean", 352},
      {"vkDataLengthClean", 360},
      {"vkKeyLengthClean", 368},
      {"vkUnknownClean", 372},
      {"skCellsChaneClean", 376},
      {"skUnknownClean", 380},
      {"skDescriptorClean", 356},
      {"skRefCountClean", 576},
      {"skCellsRingClean", 580},
      {"nkPaddingClean", 384},
      {"classPaddingClean", 388},
      {"skPaddingClean", 392},
      {"vklistPaddingClean", 396},
      {"vkPaddingClean", 400},
      {"dataPaddingClean", 404},
      {"dbPaddingClean", 408},
      {"ddlistPaddingClean", 412},
      {"dbdataPaddingClean", 416},
      {"dbdataOverClean", 420},
      {"dbNumberClean", 424},
      {"lfPaddingClean", 428},
      {"lhPaddingClean", 432},
      {"riPaddingClean", 436},
      {"liPaddingClean", 440},
      {"ContinueCellsClean", 452},
      {"UnpackedCellsClean", 460},
      {"moveCellsClean", 464},
      {"UnaccessCellsClean", 444},
      {"UnallocCellsClean", 448},
      {"DescriptorControlDaclClean", 504},
      {"DescriptorControlSaclClean", 500},
      {"DescriptorDaclSidClean", 472},
      {"DescriptorDaclLengthClean", 476},
      {"DescriptorDaclClean", 480},
      {"DescriptorDaclSequenceClean", 484},
      {"DescriptorDaclAceTypeClean", 492},
      {"DescriptorDaclAceMaskClean", 496},
      {"DescriptorDaclAdminClean", 508},
      {"DescriptorDaclLocalClean", 512},
      {"regfExpandCount", 280},
      {"RegCreateKeyExCount", 520},
      {"RegSetValueExCount", 524},
};

class CountersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ctx_.ImageSize = 4096;
    buffer_.assign(ctx_.ImageSize, 0);
    ctx_.Image = buffer_.data();
    ASSERT_TRUE(ctx_.Shadow.Reset(ctx_.ImageSize));
    ctx_.UI = &ui_;
    ctx_.CommandId = kCmdRepair;
    ctx_.Rules = MakePassRules(ctx_.CommandId, ctx_.DiagnosticMode != 0);
    report_ = std::tmpfile();
    ctx_.ReportFile = report_;
  }
  void TearDown() override { std::fclose(report_); }

  void Set(uint32_t position, int32_t value) {
    ScanTotals(ctx_).SetCounter(static_cast<RepairCounter>(position), value);
  }
  std::string Report() {
    std::fflush(report_);
    std::rewind(report_);
    std::string text;
    int c;
    while ((c = std::fgetc(report_)) != EOF) text.push_back(static_cast<char>(c));
    return text;
  }

  HiveContext ctx_;
  testing::RecordingFrontend ui_;
  std::vector<uint8_t> buffer_;
  FILE* report_ = nullptr;
};

TEST_F(CountersTest, NothingFixedPrintsNothing) {
  // Totals of the scan share the shadow of the base block but are no counters.
  ScanTotals(ctx_).Set(Total::HbinCount, 7);
  ScanTotals(ctx_).Set(Total::SubLinkOther, 3);
  PrintRepairCounters(ctx_);
  EXPECT_TRUE(ui_.Pane().empty());
  EXPECT_EQ(Report(), "");
}

TEST_F(CountersTest, EveryCounterInItsFixedOrder) {
  // Each slot holds its own position, so a line names the slot it came from.
  for (const auto& row : kRows) Set(row.second, static_cast<int32_t>(row.second));
  PrintRepairCounters(ctx_);
  std::vector<testing::PaneLine> pane = ui_.Pane();
  ASSERT_EQ(pane.size(), kRows.size());
  std::string report;
  for (size_t i = 0; i < kRows.size(); ++i) {
    std::string line = kRows[i].first + "=" + std::to_string(kRows[i].second);
    EXPECT_EQ(pane[i].text, line);
    EXPECT_EQ(pane[i].colour, kBlack);
    report += line + "\r\n";
  }
  EXPECT_EQ(Report(), report);
}

TEST_F(CountersTest, OnlyNonZeroCountersPrintWithTheirSign) {
  Set(280, -1);   // regfExpandCount after dropping one page
  Set(464, 12);   // moveCellsClean
  Set(264, 1);    // FileSizeClean
  Set(316, 99);   // a position no counter owns
  PrintRepairCounters(ctx_);
  std::vector<testing::PaneLine> pane = ui_.Pane();
  ASSERT_EQ(pane.size(), 3u);
  EXPECT_EQ(pane[0].text, "FileSizeClean=1");
  EXPECT_EQ(pane[1].text, "moveCellsClean=12");
  EXPECT_EQ(pane[2].text, "regfExpandCount=-1");
}

}  // namespace
}  // namespace quelbrix
