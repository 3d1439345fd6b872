// The allocator's index of refused bins: what it skips, what brings a bin
// back, how runs of empty bins are kept as a whole, how it follows changes of
// the bin chain; and, on generated hives that make the allocator work hard,
// that Defrag with the index writes the very bytes and report of the plain
// walk over every bin.
#include <gtest/gtest.h>

#include <cstdlib>

#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "app/context.h"
#include "hive/image.h"
#include "repair/allocator.h"
#include "repair/free_index.h"
#include "support/hive_builder.h"
#include "support/hive_fixture.h"
#include "support/large_hive.h"

namespace quelbrix::testing {
namespace {

// Bins at 0x1000 (root), 0x2000 (key A), 0x3000 (empty), 0x4000 (empty,
// 8192 bytes), 0x6000 (key B): the bins end at 0x7000.
class FreeSpaceIndexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    HiveBuilder b;
    b.EndBin();
    b.AddKey(b.Root(), "A");
    b.EndBin();
    b.AddEmptyBin(4096);
    b.AddEmptyBin(8192);
    b.AddKey(b.Root(), "B");
    ASSERT_TRUE(run.Load(b.Build()));
    ASSERT_EQ(HiveImage(run.ctx).HbinsEnd(), kEnd);
  }

  static constexpr uint64_t kEnd = 0x7000;
  HiveRun run;
};

TEST_F(FreeSpaceIndexTest, RefusedBinsAreSkippedUntilTheirSpaceMayHaveGrown) {
  FreeSpaceIndex index(run.ctx);
  ASSERT_TRUE(index.Ready());
  // Nobody has asked yet: every bin is a candidate, pages inside a bin never.
  EXPECT_EQ(index.Next(0x1000, false, 100, kEnd), 0x1000u);
  EXPECT_EQ(index.Next(0x5000, false, 100, kEnd), 0x6000u);

  index.Refused(0x1000, false, 40);
  EXPECT_EQ(index.Next(0x1000, false, 48, kEnd), 0x2000u);
  EXPECT_EQ(index.Next(0x1000, false, 40, kEnd), 0x1000u);
  // Large requests keep their own bounds.
  EXPECT_EQ(index.Next(0x1000, true, 5000, kEnd), 0x1000u);

  for (uint32_t bin : {0x2000u, 0x3000u, 0x4000u, 0x6000u}) index.Refused(bin, false, 0);
  EXPECT_EQ(index.Next(0x1000, false, 48, kEnd), kEnd);
  // A cell freed anywhere in a bin brings the whole bin back.
  index.Changed(0x4000 + 0x1800);
  EXPECT_EQ(index.Next(0x1000, false, 4064, kEnd), 0x4000u);
  // A refusal of a position that starts no bin teaches nothing.
  index.Refused(0x5000, false, 0);
  EXPECT_EQ(index.Next(0x1000, false, 4064, kEnd), 0x4000u);
  // The caller's end bounds the answer.
  EXPECT_EQ(index.Next(0x1000, false, 4064, 0x3000), 0x3000u);
}

TEST_F(FreeSpaceIndexTest, ARunIsSkippedAsAWholeAndForgottenWhenOneOfItsBinsChanges) {
  FreeSpaceIndex index(run.ctx);
  ASSERT_TRUE(index.Ready());
  index.Refused(0x1000, true, 0);
  index.Refused(0x2000, true, 0);
  index.Refused(0x6000, true, 0);
  // The empty bins at 0x3000 and 0x4000 together hold 12288 - 32 bytes.
  index.RunRefused(0x3000, 0x6000);
  EXPECT_EQ(index.Next(0x1000, true, 12256, kEnd), 0x3000u);
  EXPECT_EQ(index.Next(0x1000, true, 12264, kEnd), kEnd);
  // Inside the run there is no candidate of its own: a search walks it bin by bin.
  EXPECT_EQ(index.Next(0x4000, true, 4072, kEnd), kEnd);

  // The bin that ended the run may have emptied: the run may go on now.
  index.Changed(0x6000 + 0x40);
  EXPECT_EQ(index.Next(0x1000, true, 20000, kEnd), 0x3000u);
  EXPECT_EQ(index.Next(0x4000, true, 4072, kEnd), 0x4000u);

  // A cell taken from the run's first bin leaves a shorter run behind it.
  index.RunRefused(0x3000, 0x6000);
  index.Refused(0x6000, true, 0);
  index.Changed(0x3000 + 0x20);
  EXPECT_EQ(index.Next(0x4000, true, 4072, kEnd), 0x4000u);
}

TEST_F(FreeSpaceIndexTest, FollowsBinsMadeAndCutAndGivesUpOnAChainItCannotMap) {
  FreeSpaceIndex index(run.ctx);
  ASSERT_TRUE(index.Ready());
  index.Refused(0x2000, true, 0);
  index.RunRefused(0x3000, 0x6000);
  // The two empty bins merged into one: its pages belong to it, the old run is gone.
  index.BinMade(0x3000, 0x3000);
  EXPECT_TRUE(index.IsBinStart(0x3000));
  EXPECT_FALSE(index.IsBinStart(0x4000));
  index.Refused(0x3000, true, 0);
  index.Refused(0x1000, true, 0);
  index.Refused(0x6000, true, 0);
  EXPECT_EQ(index.Next(0x1000, true, 5000, kEnd), kEnd);
  index.Changed(0x5800);
  EXPECT_EQ(index.Next(0x1000, true, 5000, kEnd), 0x3000u);

  index.BinsCut(0x6000);
  EXPECT_FALSE(index.IsBinStart(0x6000));
  EXPECT_TRUE(index.IsBinStart(0x3000));

  index.BinMade(0x6000, 100);
  EXPECT_FALSE(index.Ready());
  EXPECT_EQ(index.Next(0x1000, false, 8, kEnd), kEnd);

  // Learnt again, it knows the chain of the image and nothing of before.
  index.Learn(run.ctx);
  ASSERT_TRUE(index.Ready());
  for (uint64_t pos : {0x3000u, 0x4000u, 0x6000u}) EXPECT_TRUE(index.IsBinStart(pos)) << pos;
  EXPECT_FALSE(index.IsBinStart(0x5000));
  EXPECT_EQ(index.Next(0x1000, false, 8, kEnd), 0x1000u);
  EXPECT_EQ(index.Next(0x2000, true, 5000, kEnd), 0x2000u);
}

TEST_F(FreeSpaceIndexTest, ScopeGivesTheContextAnIndexOnlyForASoundChainAndWhenAllowed) {
  {
    FreeSpaceIndexScope scope(run.ctx);
    EXPECT_NE(run.ctx.FreeIndex, nullptr);
    {
      FreeSpaceIndex* outer = run.ctx.FreeIndex;
      FreeSpaceIndexScope inner(run.ctx);
      EXPECT_EQ(run.ctx.FreeIndex, outer);
    }
    EXPECT_NE(run.ctx.FreeIndex, nullptr);
  }
  EXPECT_EQ(run.ctx.FreeIndex, nullptr);
  // The next pass's index is the same tables, learnt again.
  const FreeSpaceIndex* kept = run.ctx.SpareFreeIndex.get();
  ASSERT_NE(kept, nullptr);
  {
    FreeSpaceIndexScope scope(run.ctx);
    EXPECT_EQ(run.ctx.FreeIndex, kept);
  }

  run.ctx.PlainAllocatorWalk = true;
  {
    FreeSpaceIndexScope scope(run.ctx);
    EXPECT_EQ(run.ctx.FreeIndex, nullptr);
  }
  run.ctx.PlainAllocatorWalk = false;

  // A bin whose offset field names another position.
  HiveImage(run.ctx).SetU32(0x3000 + 4, 0x5000);
  EXPECT_FALSE(FreeSpaceIndex(run.ctx).Ready());
  {
    FreeSpaceIndexScope scope(run.ctx);
    EXPECT_EQ(run.ctx.FreeIndex, nullptr);
  }
}

// A run learnt by one long request, then a high-only request whose limit
// falls inside that run: the run from the limit on must still serve it, as
// it does for the plain walk.
std::vector<uint32_t> RunThenLimitInsideIt(bool plain) {
  HiveBuilder b;
  b.EndBin();
  b.AddKey(b.Root(), "A");
  b.EndBin();
  b.AddEmptyBin(4096);
  b.AddEmptyBin(4096);
  b.AddEmptyBin(4096);
  b.AddKey(b.Root(), "B");
  HiveRun run;
  EXPECT_TRUE(run.Load(b.Build()));
  run.ctx.PlainAllocatorWalk = plain;
  FreeSpaceIndexScope scope(run.ctx);
  EXPECT_EQ(run.ctx.FreeIndex == nullptr, plain);
  // Three empty pages hold no 12288-byte cell: a new bin at the end does.
  uint32_t first = GetNewCells(run.ctx, false, 0, 12288);
  uint32_t second = GetNewCells(run.ctx, false, 0x4000, 8000);
  return {first, second};
}

TEST(FreeSpaceIndexRuns, AHighOnlyLimitInsideALearntRunStillFindsTheRestOfIt) {
  std::vector<uint32_t> plain = RunThenLimitInsideIt(true);
  EXPECT_EQ(plain, (std::vector<uint32_t>{0x7020, 0x4020}));
  EXPECT_EQ(RunThenLimitInsideIt(false), plain);
}

// Report lines without what differs from run to run: clock times and the
// temporary folder of the file name.
std::vector<std::string> Timeless(const std::vector<std::string>& lines) {
  static const std::regex kTime(R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}(\.\d+)?)");
  std::vector<std::string> out;
  out.reserve(lines.size());
  for (const std::string& l : lines)
    if (l.rfind("FileName=", 0) != 0) out.push_back(std::regex_replace(l, kTime, "T"));
  return out;
}

// The first line where two reports part, for a readable failure.
std::string FirstDifference(const std::vector<std::string>& a, const std::vector<std::string>& b) {
  for (size_t i = 0; i < a.size() && i < b.size(); ++i)
    if (a[i] != b[i]) return "line " + std::to_string(i + 1) + ": \"" + a[i] + "\" / \"" + b[i] + "\"";
  if (a.size() != b.size()) return "lengths " + std::to_string(a.size()) + " / " + std::to_string(b.size());
  return "";
}

struct DefragResult {
  std::vector<uint8_t> image;
  std::vector<std::string> report;
};

DefragResult Defrag(const std::vector<uint8_t>& hive, bool plain, bool diagnostic, int32_t command = kCmdDefrag) {
  HiveRun run;
  EXPECT_TRUE(run.Load(hive));
  run.ctx.PlainAllocatorWalk = plain;
  run.ctx.DiagnosticMode = diagnostic ? 1 : 0;
  run.ctx.Rules = MakePassRules(run.ctx.CommandId, run.ctx.DiagnosticMode != 0);
  run.Run(command);
  return {run.ImageBytes(), Timeless(run.ReportLines())};
}

int CountLines(const std::vector<std::string>& lines, const std::string& prefix) {
  int n = 0;
  for (const std::string& l : lines) n += l.rfind(prefix, 0) == 0 ? 1 : 0;
  return n;
}

// The sum of a "Name=%d" field over every line that has it.
long SumOf(const std::vector<std::string>& lines, const std::string& field) {
  long sum = 0;
  for (const std::string& l : lines) {
    size_t at = l.find(" " + field + "=");
    if (at != std::string::npos) sum += std::atol(l.c_str() + at + field.size() + 2);
  }
  return sum;
}

// minor version, seed, diagnostic mode
class IndexedDefrag : public ::testing::TestWithParam<std::tuple<uint32_t, uint32_t, bool>> {};

TEST_P(IndexedDefrag, WritesTheBytesAndReportOfThePlainWalk) {
  auto [minor, seed, diagnostic] = GetParam();
  std::vector<uint8_t> hive = MakeLargeHive(3u << 20, minor, seed);
  DefragResult plain = Defrag(hive, true, diagnostic);
  DefragResult indexed = Defrag(hive, false, diagnostic);
  // The hive gives the allocator real work: many moves, bins merged for
  // long cells and bins cut off the end.
  EXPECT_GT(SumOf(plain.report, "CellMoveCount"), 5000) << SumOf(plain.report, "CellMoveCount");
  EXPECT_GT(SumOf(plain.report, "HbinDeleteCount"), 0);
  if (diagnostic) {
    EXPECT_GT(CountLines(plain.report, "ReallocHbins HbinsSize="), 0);
    EXPECT_GT(CountLines(plain.report, "SplitHbins HbinCount="), 0);
  }
  ASSERT_EQ(indexed.image.size(), plain.image.size());
  EXPECT_TRUE(indexed.image == plain.image);
  EXPECT_EQ(FirstDifference(indexed.report, plain.report), "");
}

INSTANTIATE_TEST_SUITE_P(GeneratedHives, IndexedDefrag,
                         ::testing::Values(std::make_tuple(5u, 1u, false), std::make_tuple(5u, 7u, true),
                                           std::make_tuple(3u, 2u, true)));

// A self-relative descriptor whose DACL lacks Administrators: LocalSystem,
// then `extra` ACEs of S-1-5-21-tag-n.  Repair adds the missing ACE.
std::vector<uint8_t> DescriptorWithoutAdmins(uint32_t extra, uint32_t tag) {
  auto u32 = [](std::vector<uint8_t>& v, uint32_t x) {
    for (int i = 0; i < 4; ++i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
  };
  auto ace = [&](std::vector<uint8_t>& acl, const std::vector<uint8_t>& sid) {
    acl.insert(acl.end(), {0x00, 0x12, static_cast<uint8_t>(8 + sid.size()), 0x00});
    u32(acl, 0x000F003F);
    acl.insert(acl.end(), sid.begin(), sid.end());
  };
  const std::vector<uint8_t> system = {1, 1, 0, 0, 0, 0, 0, 5, 0x12, 0, 0, 0};
  const std::vector<uint8_t> admins = {1, 2, 0, 0, 0, 0, 0, 5, 0x20, 0, 0, 0, 0x20, 2, 0, 0};
  std::vector<uint8_t> acl = {2, 0, 0, 0, static_cast<uint8_t>(1 + extra), 0, 0, 0};
  ace(acl, system);
  for (uint32_t n = 0; n < extra; ++n) {
    std::vector<uint8_t> sid = {1, 3, 0, 0, 0, 0, 0, 5};
    for (uint32_t part : {21u, tag, 1000 + n}) u32(sid, part);
    ace(acl, sid);
  }
  acl[2] = static_cast<uint8_t>(acl.size());
  acl[3] = static_cast<uint8_t>(acl.size() >> 8);
  std::vector<uint8_t> sd = {1, 0, 0x04, 0x80};
  u32(sd, 20 + static_cast<uint32_t>(acl.size()));                 // owner
  u32(sd, 20 + static_cast<uint32_t>(acl.size() + admins.size()));  // group
  u32(sd, 0);
  u32(sd, 20);  // DACL
  sd.insert(sd.end(), acl.begin(), acl.end());
  sd.insert(sd.end(), admins.begin(), admins.end());
  sd.insert(sd.end(), system.begin(), system.end());
  return sd;
}

// Repair lengthens every descriptor below, so the sk update moves each sk
// cell: requests of many lengths, first fit among holes of many sizes.
// Through the index it must take the very cells the plain walk takes.
TEST(IndexedRepair, SkUpdateWritesTheBytesAndReportOfThePlainWalk) {
  HiveBuilder b;
  for (uint32_t i = 0; i < 300; ++i) {
    Key k = b.AddKey(b.Root(), "K" + std::to_string(i));
    b.SetSecurity(k, b.AddSecurity(DescriptorWithoutAdmins(i % 9, i)));
    if (i % 7 == 3) b.AddHole(64 + 8 * (i % 29));
  }
  std::vector<uint8_t> hive = b.Build();
  DefragResult plain = Defrag(hive, true, false, kCmdRepair);
  DefragResult indexed = Defrag(hive, false, false, kCmdRepair);
  EXPECT_EQ(CountLines(plain.report, "skDescriptorClean=300"), 1);
  EXPECT_EQ(CountLines(plain.report, "GetNewCells Error"), 0);
  ASSERT_EQ(indexed.image.size(), plain.image.size());
  EXPECT_TRUE(indexed.image == plain.image);
  EXPECT_EQ(FirstDifference(indexed.report, plain.report), "");
}

}  // namespace
}  // namespace quelbrix::testing
