#include "app/context.h"
#include "scan/statistics.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/report_log.h"
#include "hive/access_map.h"
#include "hive/bytes.h"
#include "hive/image.h"
#include "support/hive_builder.h"
#include "support/recording_frontend.h"

namespace quelbrix {
namespace {

struct Line {
  std::string text;
  uint32_t colour;
  bool operator==(const Line&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Line& l) { return os << l.colour << ":" << l.text; }

struct Bin {
  uint32_t size;
  std::vector<int32_t> cells;  // size words, laid out from the bin's first cell
};

// Lays out a hive image of the given bins (size words only) behind a base
// block, with `reserve` zero bytes after them, and runs the statistics.
class StatisticsTest : public ::testing::Test {
 protected:
  StatisticsTest() { ctx_.UI = &ui_; }

  void Layout(const std::vector<Bin>& bins, uint32_t major = 1, uint32_t minor = 5, uint32_t reserve = 4096) {
    uint32_t total = 0;
    for (const Bin& b : bins) total += b.size;
    uint32_t imageSize = kBaseBlockSize + total + reserve;
    buffer_.assign(imageSize, 0);
    uint8_t* image = buffer_.data();
    StoreU32(image, 0x66676572);
    StoreU32(image + 0x14, major);
    StoreU32(image + 0x18, minor);
    StoreU32(image + 0x28, total);
    uint32_t pos = kBaseBlockSize;
    for (const Bin& b : bins) {
      StoreU32(image + pos, 0x6E696268);
      StoreU32(image + pos + 4, pos - kBaseBlockSize);
      StoreU32(image + pos + 8, b.size);
      uint32_t cell = pos + kBinHeaderSize;
      for (int32_t s : b.cells) {
        StoreU32(image + cell, static_cast<uint32_t>(s));
        cell += s < 0 ? static_cast<uint32_t>(-s) : static_cast<uint32_t>(s);
      }
      pos += b.size;
    }
    ctx_.Image = image;
    ctx_.ImageSize = imageSize;
    ASSERT_TRUE(ctx_.Shadow.Reset(imageSize));
    ctx_.FileSize = kBaseBlockSize + total;
    ctx_.HiveMajorVersion = major;
    ctx_.HiveMinorVersion = minor;
  }

  // A built hive, with one reserve page behind it.
  void LayoutHive(const std::vector<uint8_t>& hive) {
    uint32_t imageSize = static_cast<uint32_t>(hive.size()) + 4096;
    buffer_.assign(imageSize, 0);
    std::copy(hive.begin(), hive.end(), buffer_.begin());
    ctx_.Image = buffer_.data();
    ctx_.ImageSize = imageSize;
    ASSERT_TRUE(ctx_.Shadow.Reset(imageSize));
    ctx_.FileSize = hive.size();
    ctx_.HiveMajorVersion = LoadU32(&hive[0x14]);
    ctx_.HiveMinorVersion = LoadU32(&hive[0x18]);
  }

  // The pane lines after the heading; the heading itself is checked here.
  std::vector<Line> Run(bool defragView) {
    ui_.Clear();
    StructureStatistics(ctx_, defragView);
    std::vector<Line> lines;
    for (const testing::PaneLine& l : ui_.Pane()) lines.push_back({l.text, l.colour});
    EXPECT_FALSE(lines.empty());
    if (lines.empty()) return {};
    EXPECT_EQ(lines[0].text.rfind("[HbinsCellsStruct Status] ", 0), 0u);
    EXPECT_EQ(lines[0].colour, kGreen);
    lines.erase(lines.begin());
    return lines;
  }
  // The lines of the walk itself, before the summary.
  std::vector<Line> WalkLines(bool defragView) {
    std::vector<Line> all = Run(defragView);
    std::vector<Line> out;
    for (const Line& l : all) {
      if (l.text.rfind("FileSize(Byte)=", 0) == 0) break;
      out.push_back(l);
    }
    return out;
  }
  std::string Value(const std::vector<Line>& lines, const std::string& name) {
    for (const Line& l : lines)
      if (l.text.rfind(name + "=", 0) == 0) return l.text.substr(name.size() + 1);
    return "<missing " + name + ">";
  }

  std::vector<uint8_t> buffer_;
  testing::RecordingFrontend ui_;
  HiveContext ctx_;
};

Line Black(std::string t) { return {std::move(t), kBlack}; }
// A layout finding: the statistics find no damage, so their lines take the
// pane's normal colour (red is a fault's).
Line LayoutLine(std::string t) { return {std::move(t), kBlack}; }

TEST_F(StatisticsTest, CountsBinsCellsAndFreeSpace) {
  Layout({
      {4096, {-32, 64, 32, -96, 3840}},  // a continued free cell, an unpacked cell
      {8192, {-4096, 4064}},             // ends with a whole free page
      {4096, {-4064}},
  });
  ScanTotals(ctx_).Set(Total::LastHbinOffset, 12288);
  ctx_.CommandId = kCmdRepair;
  ctx_.Rules = MakePassRules(ctx_.CommandId, ctx_.DiagnosticMode != 0);
  EXPECT_EQ(Run(false), (std::vector<Line>{
                            Black("FileSize(Byte)=20480 0x00005000"),
                            Black("HbinsLength(Byte)=16384 0x00004000"),
                            Black("HbinsLength2(Byte)=12288 0x00003000"),
                            Black("HbinsBlockCount=3"),
                            Black("HbinsMaxSizeCount=1"),
                            Black("HbinsMaxSize(Byte)=8192 0x00002000"),
                            Black("HbinsMinSizeCount=2"),
                            Black("HbinsMinSize(Byte)=4096 0x00001000"),
                            Black("AllCellsCount=8"),
                            Black("AllCells(Byte)=16288"),
                            Black("AllocCellsCount=4"),
                            Black("AllocCells(Byte)=8288"),
                            Black("AllocCellsMaxCount=1"),
                            Black("AllocCellsMaxSize(Byte)=4096"),
                            Black("AllocCellsMinCount=1"),
                            Black("AllocCellsMinSize(Byte)=32"),
                            Black("UnallocCellsCount=4"),
                            Black("UnallocCells(Byte)=8000"),
                            Black("UnallocCellsMaxCount=1"),
                            LayoutLine("UnallocCellsMaxSize(Byte)=4064"),
                            Black("UnallocCellsMinCount=1"),
                            Black("UnallocCellsMinSize(Byte)=32"),
                            Black("UnallocCellsRate=50.0%"),
                            Black("UnallocCellsRate(Byte)=49.1%"),
                            LayoutLine("ContinueCellsCount=1"),
                            LayoutLine("UnpackedCellsCount=1"),
                            LayoutLine("UnallocHbinsCount=1"),
                        }));
}

TEST_F(StatisticsTest, PackedHiveWithoutFreeCells) {
  Layout({{4096, {-2032, -2032}}, {4096, {-4064}}});
  std::vector<Line> lines = Run(true);
  EXPECT_EQ(Value(lines, "UnallocCellsMinSize(Byte)"), "2147483647");
  EXPECT_EQ(Value(lines, "UnallocCellsMinCount"), "0");
  EXPECT_EQ(Value(lines, "UnallocCellsMaxSize(Byte)"), "0");
  EXPECT_EQ(Value(lines, "UnallocCellsRate"), "0.0%");
  EXPECT_EQ(Value(lines, "AllocCellsMinCount"), "2");
  EXPECT_EQ(Value(lines, "AllocCellsMaxCount"), "1");
  for (const Line& l : lines) EXPECT_EQ(l.colour, kBlack) << l.text;
}

TEST_F(StatisticsTest, DefragViewNamesBadlyPlacedCells) {
  Layout({
      {8192, {32, -5008, 3120}},      // long cell behind free space
      {8192, {-5008, -3152}},         // long cell not in whole pages
      {12288, {-4096, 8160}},         // long cell that does not fill its bin
      {12288, {-32, -8192, -4032}},   // long cell that is not first
      {8192, {-32, -4064, -4064}},    // short cell opening a long bin
      {16384, {-16352}},              // a big-data segment
  });
  ctx_.CommandId = kCmdDefrag;
  ctx_.Rules = MakePassRules(ctx_.CommandId, ctx_.DiagnosticMode != 0);
  ctx_.DiagnosticMode = 1;
  ctx_.Rules = MakePassRules(ctx_.CommandId, ctx_.DiagnosticMode != 0);
  EXPECT_EQ(WalkLines(true),
            (std::vector<Line>{
                Black("LongCells HbinCount=1 HbinsSize=8192 CellCount=2 CellSize=-5008"),
                LayoutLine("HbinsCells Error not multiple 4096 HbinCount=1 HbinsSize=8192 CellCount=2 CellSize=-5008"),
                Black("LongCells HbinCount=2 HbinsSize=8192 CellCount=1 CellSize=-5008"),
                LayoutLine("HbinsCells Error not multiple 4096 HbinCount=2 HbinsSize=8192 CellCount=1 CellSize=-5008"),
                Black("LongCells HbinCount=3 HbinsSize=12288 CellCount=1 CellSize=-4096"),
                LayoutLine("HbinsCells HbinsSize Error HbinCount=3 HbinsSize=12288 CellCount=1 CellSize=-4096"),
                Black("LongCells HbinCount=3 HbinsSize=12288 CellCount=2 CellSize=8160"),
                Black("UnallocHbins HbinCount=3 HbinsSize=12288"),
                LayoutLine("ShortCells in LongHbins HbinCount=4 HbinsSize=12288 CellCount=1 CellSize=-32"),
                Black("LongCells HbinCount=4 HbinsSize=12288 CellCount=2 CellSize=-8192"),
                LayoutLine("HbinsCells Error not First Cells HbinCount=4 HbinsSize=12288 CellCount=2 CellSize=-8192"),
                LayoutLine("ShortCells in LongHbins HbinCount=5 HbinsSize=8192 CellCount=1 CellSize=-32"),
                Black("LongCells HbinCount=6 HbinsSize=16384 CellCount=1 CellSize=-16352"),
            }));

  // The layout errors belong to the defrag view; the listings to Defrag in
  // diagnostic mode.
  ctx_.DiagnosticMode = 0;
  ctx_.Rules = MakePassRules(ctx_.CommandId, ctx_.DiagnosticMode != 0);
  EXPECT_EQ(WalkLines(true).size(), 6u);
  ctx_.DiagnosticMode = 1;
  ctx_.Rules = MakePassRules(ctx_.CommandId, ctx_.DiagnosticMode != 0);
  ctx_.CommandId = kCmdRepair;
  ctx_.Rules = MakePassRules(ctx_.CommandId, ctx_.DiagnosticMode != 0);
  EXPECT_TRUE(WalkLines(false).empty());
}

TEST_F(StatisticsTest, SegmentSizedCellsAreAnErrorInOldHives) {
  Layout({{16384, {-16352}}}, 1, 3);
  EXPECT_EQ(WalkLines(true),
            (std::vector<Line>{
                LayoutLine("HbinsCells Error not multiple 4096 HbinCount=1 HbinsSize=16384 CellCount=1 CellSize=-16352")}));
  Layout({{16384, {-16352}}}, 1, 4);
  EXPECT_TRUE(WalkLines(true).empty());
}

TEST_F(StatisticsTest, BrokenChainsEndTheWalk) {
  // A bin of size 0 would never move the walk on.
  Layout({{4096, {-4064}}});
  StoreU32(ctx_.Image + kBaseBlockSize + 8, 0);
  EXPECT_EQ(WalkLines(false), (std::vector<Line>{LayoutLine("HbinsSize Error HbinCount=1 HbinsSize=0")}));

  // A second bin that claims to run far past the image.
  Layout({{4096, {-4064}}, {4096, {-4064}}});
  StoreU32(ctx_.Image + kBaseBlockSize + 4096 + 8, 0x40000000);
  EXPECT_EQ(WalkLines(false), (std::vector<Line>{LayoutLine("HbinssOverFlow")}));
  EXPECT_EQ(Value(Run(false), "HbinsBlockCount"), "1");

  // A bin larger than the declared bins: its cells run into the zero reserve.
  Layout({{4096, {-4064}}});
  StoreU32(ctx_.Image + kBaseBlockSize + 8, 8192);
  EXPECT_EQ(WalkLines(false),
            (std::vector<Line>{LayoutLine("HbinsCells Error HbinCount=1 HbinsSize=8192 CellCount=2 CellSize=0"),
                               LayoutLine("HbinssOverFlow")}));

  // A cell past its bin ends that bin only.
  Layout({{4096, {-4000, 4096}}, {4096, {-4064}}});
  EXPECT_EQ(WalkLines(false), (std::vector<Line>{LayoutLine("CellsOverFlow")}));
  EXPECT_EQ(Value(Run(false), "AllCellsCount"), "3");

  // Nothing but a base block.
  Layout({}, 1, 5, 0);
  StoreU32(ctx_.Image + 0x28, 4096);
  EXPECT_EQ(WalkLines(false), (std::vector<Line>{LayoutLine("HbinssOverFlow")}));
}

TEST_F(StatisticsTest, BuiltHiveWithHolesAndAnEmptyBin) {
  testing::HiveBuilder b;
  testing::Key software = b.AddKey(b.Root(), "Software");
  b.AddValue(software, "Version", 4, {1, 0, 0, 0});
  b.AddHole(64);
  b.AddHole(32);  // two free cells in a row, not merged
  b.AddKey(software, "Classes");  // allocated behind free space
  b.AddEmptyBin(8192);
  LayoutHive(b.Build());
  std::vector<Line> lines = Run(false);
  EXPECT_EQ(Value(lines, "HbinsBlockCount"), "2");
  EXPECT_EQ(Value(lines, "HbinsMaxSize(Byte)"), "8192 0x00002000");
  EXPECT_EQ(Value(lines, "UnallocCellsMaxSize(Byte)"), "8160");
  EXPECT_EQ(Value(lines, "UnallocCellsMinSize(Byte)"), "32");
  EXPECT_TRUE(std::find(lines.begin(), lines.end(), LayoutLine("ContinueCellsCount=1")) != lines.end());
  EXPECT_TRUE(std::find(lines.begin(), lines.end(), LayoutLine("UnpackedCellsCount=1")) != lines.end());
  EXPECT_TRUE(std::find(lines.begin(), lines.end(), LayoutLine("UnallocHbinsCount=1")) != lines.end());
  EXPECT_EQ(Value(lines, "AllCells(Byte)"), std::to_string(b.HbinsDataSize() - 2 * 32));
}

TEST_F(StatisticsTest, BuiltBigDataSegmentsPassOnlyInNewHives) {
  // 40000 bytes of data: big data with 16352-byte segment cells from 1.4 on.
  testing::HiveBuilder modern(testing::HiveOptions{.major = 1, .minor = 5});
  modern.AddValue(modern.Root(), "Blob", 3, std::vector<uint8_t>(40000, 0xAB));
  LayoutHive(modern.Build());
  ctx_.CommandId = kCmdDefrag;
  ctx_.Rules = MakePassRules(ctx_.CommandId, ctx_.DiagnosticMode != 0);
  ctx_.DiagnosticMode = 1;  // lists the long cells, so the segments are seen to be there
  ctx_.Rules = MakePassRules(ctx_.CommandId, ctx_.DiagnosticMode != 0);
  uint32_t segments = 0;
  for (const Line& l : WalkLines(true)) {
    EXPECT_EQ(l.text.find("not multiple 4096"), std::string::npos) << l.text;
    if (l.text.rfind("LongCells ", 0) == 0 && l.text.find("CellSize=-16352") != std::string::npos) ++segments;
  }
  EXPECT_EQ(segments, 3u);

  testing::HiveBuilder old(testing::HiveOptions{.major = 1, .minor = 3});
  old.AddRawCell({}, 16352);
  LayoutHive(old.Build());
  uint32_t found = 0;
  for (const Line& l : WalkLines(true))
    if (l.text.rfind("HbinsCells Error not multiple 4096 ", 0) == 0 && l.text.find("CellSize=-16352") != std::string::npos)
      ++found;
  EXPECT_EQ(found, 1u);
}

}  // namespace
}  // namespace quelbrix
