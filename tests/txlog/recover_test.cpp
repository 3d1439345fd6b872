// Recovery from transaction logs built byte by byte: the recovered bins must
// equal, byte for byte, the hive that the applied entries lead to, and never
// hold a page of an entry that Windows would not apply.
#include "txlog/txlog.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/run_command.h"
#include "hive/bytes.h"
#include "support/hive_builder.h"
#include "support/hive_fixture.h"
#include "support/log_builder.h"

namespace quelbrix::txlog {
namespace {

using testing::BinsOf;
using testing::HiveBuilder;
using testing::HiveOptions;
using testing::NewLogBuilder;
using testing::OldFormatLog;

// Hive number n of a history: n + 2 keys, each with a value; the bins grow
// with big values when `big`.
std::vector<uint8_t> Generation(int n, bool big = false, uint32_t primary = 6, uint32_t secondary = 5) {
  HiveOptions o;
  o.primarySequence = primary;
  o.secondarySequence = secondary;
  HiveBuilder b(o);
  for (int i = 0; i < n + 2; ++i) {
    testing::Key k = b.AddKey(b.Root(), "Key" + std::to_string(i));
    b.AddValue(k, "Value", 3, std::vector<uint8_t>(big ? 3000 : 16, static_cast<uint8_t>(i)));
  }
  return b.Build();
}

bool Has(const Outcome& out, const std::string& text, bool error) {
  for (const Note& n : out.Notes)
    if (n.Error == error && n.Text.find(text) != std::string::npos) return true;
  return false;
}

// Sound recovered base block: clean, with the applied hive's bins size.
void ExpectRecovered(const std::vector<uint8_t>& hive, const std::vector<uint8_t>& target, uint32_t sequence) {
  EXPECT_FALSE(IsDirty(hive.data(), hive.size()));
  EXPECT_EQ(LoadU32(hive.data() + 4), sequence);
  EXPECT_EQ(LoadU32(hive.data() + 0x28), LoadU32(target.data() + 0x28));
  EXPECT_EQ(LoadU32(hive.data() + 0x1C), 0u);
  EXPECT_TRUE(BinsOf(hive) == BinsOf(target)) << "recovered bins differ from the target hive";
}

struct History {
  std::vector<uint8_t> h0 = Generation(0), h1 = Generation(1), h2 = Generation(2), h3 = Generation(3);
};

TEST(TxlogRecover, EntriesOverTwoLogsApplyInSequenceOrderWhicheverFileHoldsThem) {
  History h;
  for (bool swapped : {false, true}) {
    NewLogBuilder older(h.h0, 5), newer(h.h2, 7);
    older.AddEntry(5, h.h0, h.h1);
    older.AddEntry(6, h.h1, h.h2);
    newer.AddEntry(7, h.h2, h.h3);
    std::vector<LogInput> logs{{"hive.LOG1", older.Bytes()}, {"hive.LOG2", newer.Bytes()}};
    if (swapped) std::swap(logs[0].Bytes, logs[1].Bytes);
    std::vector<uint8_t> hive = h.h0;
    Outcome out = Recover(hive, logs);
    SCOPED_TRACE(swapped ? "newer entries in LOG1" : "newer entries in LOG2");
    EXPECT_TRUE(out.Applied);
    EXPECT_EQ(out.ReadPrimary, 6u);
    EXPECT_EQ(out.ReadSecondary, 5u);
    EXPECT_EQ(out.AppliedLogs.size(), 2u);
    ExpectRecovered(hive, h.h3, 7);
    EXPECT_TRUE(Has(out, swapped ? "LogFile=hive.LOG2 Applied Entries=2 Sequence=5-6" : "LogFile=hive.LOG1 Applied Entries=2 Sequence=5-6", false));
  }
}

TEST(TxlogRecover, TheFirstBadEntryEndsTheRecovery) {
  History h;
  struct Fault {
    const char* reason;
    void (*poke)(NewLogBuilder&, size_t);
  };
  const Fault faults[] = {
      {"hash-1", [](NewLogBuilder& l, size_t e) { l.Bytes()[e + 0x400] ^= 1; }},
      {"hash-2", [](NewLogBuilder& l, size_t e) { l.Bytes()[e + entry::kHash2] ^= 1; }},
      {"hive bins data size", [](NewLogBuilder& l, size_t e) {
         StoreU32(l.Bytes().data() + e + entry::kHbinsDataSize, 0x1800);
         l.Rehash(e);
       }},
      {"dirty page offset", [](NewLogBuilder& l, size_t e) {
         StoreU32(l.Bytes().data() + e + entry::kPageRefs, 0x7FFFF000);
         l.Rehash(e);
       }},
      {"size", [](NewLogBuilder& l, size_t e) { StoreU32(l.Bytes().data() + e + entry::kSize, 0x300); }},
  };
  for (const Fault& f : faults) {
    SCOPED_TRACE(f.reason);
    NewLogBuilder log1(h.h0, 5), log2(h.h2, 7);
    log1.AddEntry(5, h.h0, h.h1);
    size_t bad = log1.AddEntry(6, h.h1, h.h2);
    log2.AddEntry(7, h.h2, h.h3);
    f.poke(log1, bad);
    std::vector<uint8_t> hive = h.h0;
    Outcome out = Recover(hive, {{"hive.LOG1", log1.Bytes()}, {"hive.LOG2", log2.Bytes()}});
    ExpectRecovered(hive, h.h1, 5);
    EXPECT_TRUE(Has(out, std::string("Sequence=6 ") + f.reason, true));
    EXPECT_TRUE(Has(out, "LogFile=hive.LOG2 NotApplied", true));
  }
}

TEST(TxlogRecover, LogsThatDoNotContinueTheHiveAreNotApplied) {
  History h;
  std::vector<uint8_t> hive = h.h0;
  // Older than the hive: every entry precedes its secondary sequence number.
  NewLogBuilder old(h.h0, 2);
  old.AddEntry(2, h.h0, h.h1);
  old.AddEntry(3, h.h1, h.h2);
  // A gap: LOG1 ends at 5, LOG2 starts at 7.
  NewLogBuilder first(h.h0, 5), gap(h.h2, 7);
  first.AddEntry(5, h.h0, h.h1);
  gap.AddEntry(7, h.h2, h.h3);

  Outcome out = Recover(hive, {{"hive.LOG1", old.Bytes()}});
  EXPECT_FALSE(out.Applied);
  EXPECT_TRUE(hive == h.h0);
  EXPECT_TRUE(Has(out, "NotApplied sequence number", true));

  out = Recover(hive, {{"hive.LOG1", first.Bytes()}, {"hive.LOG2", gap.Bytes()}});
  ExpectRecovered(hive, h.h1, 5);
  EXPECT_TRUE(Has(out, "LogFile=hive.LOG2 NotApplied sequence number", true));
}

TEST(TxlogRecover, ACutShortLogKeepsTheWholeEntriesBeforeTheCut) {
  History h;
  NewLogBuilder log(h.h0, 5);
  log.AddEntry(5, h.h0, h.h1);
  size_t second = log.AddEntry(6, h.h1, h.h2);
  for (size_t cut : {second + 20, second + 600, log.Bytes().size() - 512}) {
    SCOPED_TRACE(cut);
    std::vector<uint8_t> bytes(log.Bytes().begin(), log.Bytes().begin() + static_cast<std::ptrdiff_t>(cut));
    std::vector<uint8_t> hive = h.h0;
    Outcome out = Recover(hive, {{"hive.LOG1", bytes}});
    ExpectRecovered(hive, h.h1, 5);
    EXPECT_TRUE(Has(out, "cut short", true));
  }
}

TEST(TxlogRecover, LogsWithoutAUsableEntryOrBaseBlockLeaveTheFileAsStored) {
  History h;
  NewLogBuilder empty(h.h0, 5);
  NewLogBuilder badFirst(h.h0, 5);
  size_t e = badFirst.AddEntry(5, h.h0, h.h1);
  badFirst.Bytes()[e + 0x100] ^= 0x10;
  NewLogBuilder badBase(h.h0, 5);
  badBase.AddEntry(5, h.h0, h.h1);
  badBase.Bytes()[0x30] ^= 1;  // the checksum no longer holds
  std::vector<uint8_t> notALog(8192, 0x5A);

  std::vector<uint8_t> hive = h.h0;
  Outcome out = Recover(hive, {{"a.LOG", notALog}, {"a.LOG1", empty.Bytes()}, {"a.LOG2", badFirst.Bytes()}});
  EXPECT_FALSE(out.Applied);
  EXPECT_TRUE(Has(out, "a.LOG NotApplied base block signature", true));
  EXPECT_TRUE(Has(out, "a.LOG1 NotApplied no valid log entry", true));
  EXPECT_TRUE(Has(out, "Sequence=5 hash-1", true));
  out = Recover(hive, {{"a.LOG1", badBase.Bytes()}});
  EXPECT_FALSE(out.Applied);
  EXPECT_TRUE(Has(out, "base block checksum", true));
  EXPECT_TRUE(hive == h.h0);
}

TEST(TxlogRecover, OldFormatLogWritesItsDirtyPagesWhenTheTimeStampsMatch) {
  History h;
  std::vector<uint8_t> big = Generation(40, true);
  for (const std::vector<uint8_t>* target : {&h.h1, &big}) {
    std::vector<uint8_t> hive = h.h0;
    std::vector<uint8_t> log = OldFormatLog(h.h0, *target);
    Outcome out = Recover(hive, {{"hive.LOG", log}});
    ExpectRecovered(hive, *target, 6);
    EXPECT_TRUE(Has(out, "LogFile=hive.LOG Applied Sequence=6 DirtyPages=", false));
  }
  // Another write's log, and a log whose dirty bin lost its signature.
  std::vector<uint8_t> log = OldFormatLog(h.h0, h.h1);
  StoreU64(log.data() + 0x0C, 1);
  uint32_t sum = 0;
  for (uint32_t i = 0; i < 0x1FC; i += 4) sum ^= LoadU32(log.data() + i);
  StoreU32(log.data() + 0x1FC, sum);
  std::vector<uint8_t> hive = h.h0;
  Outcome out = Recover(hive, {{"hive.LOG", log}});
  EXPECT_TRUE(Has(out, "time stamp", true));
  EXPECT_TRUE(hive == h.h0);

  std::vector<uint8_t> broken = h.h1;
  broken[4096] = 'X';  // the first bin's signature, inside a dirty page
  out = Recover(hive, {{"hive.LOG", OldFormatLog(h.h0, broken)}});
  EXPECT_FALSE(out.Applied);
  EXPECT_TRUE(Has(out, "dirty hive bin at 0x00000000 is invalid", true));
  EXPECT_TRUE(hive == h.h0);
}

TEST(TxlogRecover, ACleanHiveIgnoresItsLogs) {
  std::vector<uint8_t> clean = Generation(0, false, 5, 5);
  NewLogBuilder log(clean, 5);
  log.AddEntry(5, clean, Generation(1));
  std::vector<uint8_t> hive = clean;
  Outcome out = Recover(hive, {{"hive.LOG1", log.Bytes()}});
  EXPECT_FALSE(out.Dirty);
  EXPECT_FALSE(out.Applied);
  EXPECT_TRUE(hive == clean);
}

// Through Read: a log that grows the hive gives an image, reserve pages and
// AccessMap laid out for the recovered size, and the scans walk all of it.
TEST(TxlogRead, AGrowingLogResizesTheImageAndTheScanSeesTheRecoveredTree) {
  std::vector<uint8_t> h0 = Generation(0), big = Generation(60, true);
  ASSERT_GT(big.size(), h0.size());
  NewLogBuilder log(h0, 5);
  log.AddEntry(5, h0, big);
  for (bool noLogs : {false, true}) {
    SCOPED_TRACE(noLogs ? "--no-logs" : "logs applied");
    testing::HiveRun run;
    ASSERT_TRUE(testing::WriteBytes(run.dir.File("hive.log1"), log.Bytes()));
    run.ctx.NoLogs = noLogs;
    ASSERT_TRUE(run.Load(h0));
    const std::vector<uint8_t>& expected = noLogs ? h0 : big;
    EXPECT_EQ(run.ctx.FileSize, expected.size());
    EXPECT_EQ(run.ctx.ImageSize, expected.size() + uint64_t{ReservePagesFor(expected.size())} * 4096);
    std::vector<uint8_t> image = run.ImageBytes();
    EXPECT_TRUE(BinsOf(image) == BinsOf(expected));
    EXPECT_EQ(run.StatusUtf8().find("TransactionLogs applied=hive.log1") != std::string::npos, !noLogs);

    run.Run(kCmdSearchDates);
    EXPECT_NE(run.ReportPath().find(noLogs ? "hive_6_5.search-nologs.txt" : "hive_6_5.search.txt"), std::string::npos);
    std::vector<std::string> lines = run.ReportLinesUtf8();
    auto at = [&lines](const std::string& prefix) {
      for (size_t i = 0; i < lines.size(); ++i)
        if (lines[i].rfind(prefix, 0) == 0) return static_cast<long>(i);
      return -1L;
    };
    if (noLogs) {
      EXPECT_EQ(at("[TransactionLog Recovery]"), -1);
      EXPECT_EQ(at("nkCells AccessCount=3"), at("nkCells AccessCount="));
    } else {
      ASSERT_GE(at("[TransactionLog Recovery]"), 0);
      EXPECT_LT(at("[TransactionLog Recovery]"), at("FileName="));
      EXPECT_GE(at("LogFile=hive.log1 Applied Entries=1 Sequence=5-5"), 0);
      EXPECT_GE(at("nkCells AccessCount=63"), 0);
      run.Run(kCmdRepair);
      EXPECT_FALSE(run.ctx.ScanStopped);
      EXPECT_NE(run.StatusUtf8().find("(transaction logs applied)"), std::string::npos);
    }
  }
}

}  // namespace
}  // namespace quelbrix::txlog
