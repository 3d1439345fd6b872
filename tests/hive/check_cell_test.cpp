// CheckCell: its error results and the links it records in the AccessMap;
// ZeroTail.
#include "hive/check_cell.h"

#include <gtest/gtest.h>

#include <cstring>

#include "core/report_log.h"
#include "hive/access_map.h"
#include "hive/cells.h"
#include "support/hive_builder.h"
#include "support/hive_fixture.h"

namespace quelbrix {
namespace {

using testing::HiveBuilder;
using testing::Key;

class CheckCellTest : public ::testing::Test {
 protected:
  void SetUp() override {
    a_ = b_.AddKey(b_.Root(), "A");
    bk_ = b_.AddKey(b_.Root(), "B");
    c_ = b_.AddKey(b_.Root(), "C");
    b_.AddValue(a_, "V", 3, {1, 2, 3, 4, 5, 6});
    b_.AddValue(a_, "W", 4, {1, 0, 0, 0});  // two values: a list with room for links
    b_.SetClass(c_, u"Cls");
    stray_ = b_.AddRawCell({});             // 8 bytes: no room for links
    b_.AddKey(b_.Root(), "D");
    b_.Build();
  }
  void Load() { ASSERT_TRUE(run_.Load(b_.Image())); }
  uint32_t Pos(testing::Cell c) const { return kBaseBlockSize + b_.Offset(c); }
  uint32_t Nk(Key k) const { return Pos(b_.NkCell(k)); }
  CellShadow Shadow(uint32_t pos) { return CellShadow(AccessMap(run_.ctx), pos); }
  uint32_t Asserts() { return ScanTotals(run_.ctx).Get(Total::AssertCount); }
  int Check(uint32_t referrer, bool record, uint32_t parent, uint64_t cell, uint16_t sig) {
    return CheckCell(referrer, run_.ctx, record, parent, cell, sig);
  }
  uint32_t LastCell() {
    HiveImage image(run_.ctx);
    uint32_t end = kBaseBlockSize + b_.HbinsDataSize();
    uint32_t pos = kFirstCellPos;
    for (uint32_t length; (length = CellView(image, pos).Length()) != 0 && pos + length < end;) pos += length;
    return pos;
  }
  // The last pane line, which must be red.
  std::string LastRed() {
    std::vector<testing::PaneLine> pane = run_.ui.Pane();
    if (pane.empty()) return "";
    EXPECT_EQ(pane.back().colour, kRed);
    return pane.back().text;
  }
  static std::string At(const char* what, uint32_t pos) {
    char line[80];
    FormatText(line, sizeof line, "Cells Assert Error%s FileOffset=0x%08x", what, pos);
    return line;
  }

  HiveBuilder b_;
  Key a_, bk_, c_;
  testing::Cell stray_;
  testing::HiveRun run_;
};

TEST_F(CheckCellTest, BoundsErrorsOneTwoAndFive) {
  Load();
  uint32_t pos = LastCell();
  HiveImage image(run_.ctx);
  CellView(image, Nk(a_)).SetSize(-84);
  EXPECT_EQ(Check(0, true, 0, Nk(a_), kSigNk), kCellNotMultipleOf8);
  EXPECT_EQ(LastRed(), At("1", Nk(a_)));
  EXPECT_EQ(Asserts(), 1u);  // counted although the check failed

  EXPECT_EQ(Check(0, false, 0, kBaseBlockSize + 8, kSigNk), kCellBeforeFirstBin);
  EXPECT_EQ(LastRed(), At("2", kBaseBlockSize + 8));
  EXPECT_EQ(Asserts(), 1u);  // no record, no count

  // The last cell of the hive (the free rest of the last bin) made 8 bytes longer.
  EXPECT_EQ(Check(0, false, 0, pos, kSigVd), kCellOk);  // ends exactly at the end of the bins
  CellView lastCell(image, pos);
  lastCell.SetSize(lastCell.Size() + 8);
  EXPECT_EQ(Check(0, false, 0, pos, kSigVd), kCellBeyondBins);
  EXPECT_EQ(LastRed(), At("5", pos));
  // A position whose size word lies outside the image at all.
  EXPECT_EQ(Check(0, false, 0, uint64_t{run_.ctx.ImageSize} + 16, kSigVd), kCellBeyondBins);
}

TEST_F(CheckCellTest, AllocatedCellEndingAtTheEndOfTheBinsPasses) {
  Load();
  uint32_t pos = LastCell();
  CellView cell(HiveImage(run_.ctx), pos);
  ASSERT_GT(cell.Size(), 0);  // the free rest of the bin
  EXPECT_EQ(Check(0, true, 0, pos, kSigVd), kCellFree);
  EXPECT_EQ(LastRed(), At("7", pos));
  EXPECT_EQ(Shadow(pos).AccessWord(), 0u);
  cell.SetSize(-cell.Size());
  EXPECT_EQ(Check(0, true, 0, pos, kSigVd), kCellOk);
  EXPECT_EQ(Shadow(pos).Kind(), kKindVd);
  EXPECT_EQ(Shadow(pos).References(), 1u);
}

TEST_F(CheckCellTest, SecondReferenceToAnythingButAnSkIsErrorNine) {
  Load();
  ASSERT_EQ(Check(0, true, 0, Nk(a_), kSigNk), kCellOk);
  EXPECT_EQ(Check(0, true, 0, Nk(a_), kSigNk), kCellReachedTwice);
  EXPECT_EQ(LastRed(), At("9", Nk(a_)));
  EXPECT_EQ(Shadow(Nk(a_)).AccessWord(), 0x100u | kKindNk);
  // Reached as another kind the second time: still 9, kind unchanged.
  EXPECT_EQ(Check(0, true, 0, Nk(a_), kSigCl), kCellReachedTwice);
  EXPECT_EQ(Shadow(Nk(a_)).Kind(), kKindNk);
  EXPECT_EQ(Asserts(), 3u);
}

TEST_F(CheckCellTest, SkReferencedByThreeKeysListsThemNewestFirst) {
  Load();
  uint32_t sk = Pos(b_.SkCell(b_.DefaultSecurity()));
  for (Key k : {a_, bk_, c_}) ASSERT_EQ(Check(Nk(k), true, 0, sk, kSigSk), kCellOk);
  CellShadow s = Shadow(sk);
  EXPECT_EQ(s.Kind(), kKindSk);
  EXPECT_EQ(s.References(), 3u);
  EXPECT_EQ(s.ParentLink(), Nk(c_));
  EXPECT_EQ(s.FirstReferrer(), Nk(c_));
  EXPECT_EQ(Shadow(Nk(c_)).NextReferrer(), Nk(bk_));
  EXPECT_EQ(Shadow(Nk(bk_)).NextReferrer(), Nk(a_));
  EXPECT_EQ(Shadow(Nk(a_)).NextReferrer(), 0u);
  EXPECT_EQ(Shadow(Nk(c_)).PrevReferrer(), sk);
  EXPECT_EQ(Shadow(Nk(bk_)).PrevReferrer(), Nk(c_));
  EXPECT_EQ(Shadow(Nk(a_)).PrevReferrer(), Nk(bk_));
  // An sk is never a child of its keys.
  EXPECT_EQ(Shadow(Nk(a_)).ChildLink(0), 0u);
}

TEST_F(CheckCellTest, KeysOfOneParentAreChainedAsSiblings) {
  Load();
  uint32_t root = Nk(b_.Root());
  uint32_t lh = Pos(b_.IndexCell(b_.Root()));
  ASSERT_EQ(Check(0, true, 0, root, kSigNk), kCellOk);
  ASSERT_EQ(Check(root, true, 0, lh, kSigLh), kCellOk);
  for (Key k : {a_, bk_, c_}) ASSERT_EQ(Check(lh, true, root, Nk(k), kSigNk), kCellOk);

  EXPECT_EQ(Shadow(root).ChildLink(0), lh);
  EXPECT_EQ(Shadow(lh).ParentLink(), root);
  EXPECT_EQ(Shadow(lh).ChildLink(0), Nk(a_));
  EXPECT_EQ(Shadow(lh).ChildLink(1), Nk(bk_));
  EXPECT_EQ(Shadow(lh).ChildLink(2), Nk(c_));
  EXPECT_EQ(Shadow(lh).ChildLink(3), 0u);
  EXPECT_EQ(Shadow(root).LastChild(), Nk(c_));
  EXPECT_EQ(Shadow(Nk(a_)).PrevSibling(), 0u);
  EXPECT_EQ(Shadow(Nk(a_)).NextSibling(), Nk(bk_));
  EXPECT_EQ(Shadow(Nk(bk_)).PrevSibling(), Nk(a_));
  EXPECT_EQ(Shadow(Nk(bk_)).NextSibling(), Nk(c_));
  EXPECT_EQ(Shadow(Nk(c_)).PrevSibling(), Nk(bk_));
  EXPECT_EQ(Shadow(Nk(c_)).NextSibling(), 0u);
  // Only the newest child keeps the way back to the parent.
  EXPECT_EQ(Shadow(Nk(a_)).ParentKey(), 0u);
  EXPECT_EQ(Shadow(Nk(bk_)).ParentKey(), 0u);
  EXPECT_EQ(Shadow(Nk(c_)).ParentKey(), root);
}

TEST_F(CheckCellTest, KeyListsAtMostThreeChildrenAndNeverItsValues) {
  Load();
  uint32_t nk = Nk(a_);
  uint32_t list = Pos(b_.ValueListCell(a_));
  uint32_t vk = Pos(b_.VkCell(testing::Value{0}));
  uint32_t data = Pos(b_.DataCell(testing::Value{0}));
  ASSERT_EQ(Check(0, true, 0, nk, kSigNk), kCellOk);
  ASSERT_EQ(Check(nk, true, 0, list, kSigVm), kCellOk);
  ASSERT_EQ(Check(list, true, 0, vk, kSigVk), kCellOk);
  ASSERT_EQ(Check(vk, true, 0, data, kSigVd), kCellOk);
  EXPECT_EQ(Shadow(nk).ChildLink(0), list);
  EXPECT_EQ(Shadow(list).ChildLink(0), 0u);  // vk cells are not listed
  EXPECT_EQ(Shadow(vk).ParentLink(), list);
  EXPECT_EQ(Shadow(vk).ChildLink(0), data);
  EXPECT_EQ(Shadow(data).ParentLink(), vk);

  // Further children fill the two free slots, then are dropped before they
  // reach the key's referrer links.
  uint32_t others[] = {Nk(bk_), Nk(c_), Pos(b_.IndexCell(b_.Root()))};
  for (uint32_t o : others) ASSERT_EQ(Check(nk, true, 0, o, kSigCl), kCellOk);
  EXPECT_EQ(Shadow(nk).ChildLink(1), others[0]);
  EXPECT_EQ(Shadow(nk).ChildLink(2), others[1]);
  EXPECT_EQ(Shadow(nk).NextReferrer(), 0u);
  EXPECT_EQ(Shadow(others[2]).ParentLink(), nk);

  // A referrer too short for any link slot leaves the next cell's shadow alone.
  uint32_t stray = Pos(stray_);
  uint32_t next = Nk(b_.FindKey("D"));
  ASSERT_EQ(next, stray + 8);
  ASSERT_EQ(Check(stray, true, 0, Pos(b_.ClassCell(c_)), kSigCl), kCellOk);
  EXPECT_EQ(Shadow(next).ParentLink(), 0u);
}

TEST_F(CheckCellTest, WithoutRecordNothingIsNoted) {
  Load();
  EXPECT_EQ(Check(Nk(a_), false, Nk(b_.Root()), Nk(bk_), kSigNk), kCellOk);
  EXPECT_EQ(Shadow(Nk(bk_)).AccessWord(), 0u);
  EXPECT_EQ(Shadow(Nk(bk_)).ParentLink(), 0u);
  EXPECT_EQ(Shadow(Nk(b_.Root())).LastChild(), 0u);
  EXPECT_EQ(Asserts(), 0u);
  EXPECT_TRUE(run_.ui.Pane().empty());
}

TEST(ZeroTail, ClearsOnlyANonZeroTailInsideTheBuffer) {
  uint8_t buf[8] = {1, 2, 3, 4, 0, 0, 0, 0};
  EXPECT_FALSE(ZeroTail(buf, 4, 8));
  buf[7] = 9;
  EXPECT_FALSE(ZeroTail(buf, -1, 8));
  EXPECT_FALSE(ZeroTail(buf, 8, 8));
  EXPECT_FALSE(ZeroTail(buf, 9, 8));
  EXPECT_EQ(buf[7], 9);
  EXPECT_TRUE(ZeroTail(buf, 2, 8));
  const uint8_t want[8] = {1, 2, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(0, std::memcmp(buf, want, 8));
  EXPECT_FALSE(ZeroTail(buf, 2, 8));
}

}  // namespace
}  // namespace quelbrix
