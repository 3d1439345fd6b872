// The report log: lines to the report file (CR LF, ANSI code page) and the
// pane, hex dumps, bounded formatting and the UTF-16 to ANSI conversion.
#include "core/report_log.h"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/streamed_file.h"
#include "support/hive_fixture.h"

namespace quelbrix {
namespace {

using testing::HiveRun;
using testing::ReadBytes;
using testing::SplitCrLf;

// A context whose report is open in a temp folder: as a stdio stream, or as
// the writer a scan's report goes to.  Both must write the same bytes.
class ReportLogTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    path_ = run_.dir.File("report.txt");
    if (GetParam()) {
      int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
      ASSERT_GE(fd, 0);
      writer_ = platform::StreamedWriter::Over(fd);
      ASSERT_NE(writer_, nullptr);
      run_.ctx.ReportSink = writer_.get();
      return;
    }
    run_.ctx.ReportFile = std::fopen(path_.c_str(), "wb");
    ASSERT_NE(run_.ctx.ReportFile, nullptr);
  }
  void TearDown() override { CloseReport(); }
  void CloseReport() {
    if (run_.ctx.ReportFile != nullptr) std::fclose(run_.ctx.ReportFile);
    run_.ctx.ReportFile = nullptr;
    if (writer_ != nullptr) {
      EXPECT_EQ(writer_->Close(), 0);
    }
    writer_.reset();
    run_.ctx.ReportSink = nullptr;
  }
  std::vector<uint8_t> FileBytes() {
    CloseReport();
    return ReadBytes(path_);
  }
  std::vector<std::string> FileLines() { return SplitCrLf(FileBytes()); }

  HiveRun run_;
  std::string path_;
  std::unique_ptr<platform::StreamedWriter> writer_;
};

INSTANTIATE_TEST_SUITE_P(StreamOrWriter, ReportLogTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& p) { return p.param ? "Writer" : "Stream"; });

TEST_P(ReportLogTest, LinesEndInCrLfAndKeepTheirColourInThePane) {
  LogLine(run_.ctx, "first", kBlack);
  LogLine(run_.ctx, Ansi("[検索(日付有)開始] 2024/01/02 03:04:05"), kGreen);
  LogFile(run_.ctx, "file only");
  LogPane(kRed, run_.ctx, "pane only");
  std::vector<uint8_t> bytes = FileBytes();
  std::string text(bytes.begin(), bytes.end());
  // "検索" in code page 932 is 8C 9F 8D F5.
  EXPECT_EQ(text, "first\r\n[\x8C\x9F\x8D\xF5(\x93\xFA\x95t\x97L)\x8AJ\x8En] 2024/01/02 03:04:05\r\nfile only\r\n");
  std::vector<testing::PaneLine> pane = run_.ui.Pane();
  ASSERT_EQ(pane.size(), 3u);
  EXPECT_EQ(pane[0].colour, kBlack);
  EXPECT_EQ(pane[1].colour, kGreen);
  EXPECT_EQ(run_.ui.PaneUtf8()[1], "[検索(日付有)開始] 2024/01/02 03:04:05");
  EXPECT_EQ(pane[2].text, "pane only");
  EXPECT_EQ(pane[2].colour, kRed);
}

TEST_P(ReportLogTest, WithoutAReportFileOnlyThePaneGetsTheLine) {
  CloseReport();
  LogLine(run_.ctx, "no file", kRed);
  LogFile(run_.ctx, "dropped");
  EXPECT_EQ(run_.ui.Pane().size(), 1u);
  EXPECT_TRUE(ReadBytes(path_).empty());
}

TEST_P(ReportLogTest, PastItsLimitTheReportSaysSoOnceFailsTheCommandAndTakesNoMoreLines) {
  EXPECT_EQ(ReportLimitFor(32768), 64u * 32768 + (64u << 20));
  run_.ctx.ReportLimit = 20;  // "line 0.." and its CR LF fit, the hex line after it does not
  for (int i = 0; i < 5; ++i) {
    LogLine(run_.ctx, "line " + std::to_string(i) + "..", kBlack);
    DumpHexLine(reinterpret_cast<const uint8_t*>("abcdefgh"), "%04x ", run_.ctx, 0, 8, true);
  }
  EXPECT_TRUE(run_.ctx.CommandFailed);
  std::vector<std::string> lines = FileLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "line 0..");
  EXPECT_EQ(lines[1], "ReportSize Error Limit=20: no more lines are written");
  std::vector<testing::PaneLine> pane = run_.ui.Pane();
  ASSERT_EQ(pane.size(), 2u);
  EXPECT_EQ(pane[1].text, lines[1]);
  EXPECT_EQ(pane[1].colour, kRed);
}

TEST_P(ReportLogTest, DumpHexSplitsIntoLinesOfSixteen) {
  uint8_t bytes[17];
  for (int i = 0; i < 17; ++i) bytes[i] = static_cast<uint8_t>(0xF0 + i);
  DumpHex(bytes, run_.ctx, 17);
  DumpHex(bytes, run_.ctx, -17);  // the magnitude is dumped
  DumpHex(bytes, run_.ctx, 0);
  const std::string first = "0000 f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff";
  const std::string second = "0010 00";
  EXPECT_EQ(FileLines(), (std::vector<std::string>{first, second, first, second}));
  std::vector<testing::PaneLine> pane = run_.ui.Pane();
  ASSERT_EQ(pane.size(), 4u);
  EXPECT_EQ(pane[1].text, second);
  EXPECT_EQ(pane[1].colour, kBlack);
}

TEST_P(ReportLogTest, DumpHexLineHoldsLongRunsAndPrefixOnlyForNoBytes) {
  std::vector<uint8_t> big(20000);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i);
  DumpHexLine(big.data(), "sequrity(%d)=", run_.ctx, 20000, 20000, false);
  uint8_t one = 0xAB;
  DumpHexLine(&one, "x=%d ", run_.ctx, 7, 0, true);
  DumpHexLine(&one, "y=%d ", run_.ctx, 8, -5, false);
  // Just below the heap threshold the fixed buffer still holds every byte.
  std::vector<uint8_t> edge(16344, 0x11);
  DumpHexLine(edge.data(), "%04x ", run_.ctx, 0, 16344, false);
  std::vector<std::string> lines = FileLines();
  ASSERT_EQ(lines.size(), 4u);
  const std::string prefix = "sequrity(20000)=";
  ASSERT_EQ(lines[0].size(), prefix.size() + 40000);
  EXPECT_EQ(lines[0].compare(0, prefix.size() + 8, prefix + "00010203"), 0);
  EXPECT_EQ(lines[0].substr(lines[0].size() - 4), "1e1f");  // byte 19999 = 0x1f
  EXPECT_EQ(lines[1], "x=7 ");
  EXPECT_EQ(lines[2], "y=8 ");
  EXPECT_EQ(lines[3].size(), 5u + 2 * 16344);
  // Only the line with the pane flag reached the pane.
  ASSERT_EQ(run_.ui.Pane().size(), 1u);
  EXPECT_EQ(run_.ui.Pane()[0].text, "x=7 ");
}

// The hand-made formatting of hex lines against what snprintf makes of the
// same prefix formats, across the sixteen-byte blocks of the hex pairs.
TEST_P(ReportLogTest, DumpHexLineWritesWhatSnprintfWouldForEveryPrefixForm) {
  std::vector<uint8_t> bytes(70);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 37 + 11);
  const char* formats[] = {"%04x ", "sequrity(%d)=", "\"a%%b\"=hex(3):", "%5d|", "%x:"};
  const uint32_t args[] = {0, 7, 0xABCDE, 0xFFFFFFFFu};
  std::vector<std::string> expected;
  for (const char* format : formats)
    for (uint32_t arg : args)
      for (size_t n : {0, 1, 15, 16, 17, 33, 70}) {
        DumpHexLine(bytes.data(), format, run_.ctx, arg, static_cast<int64_t>(n), false);
        char prefix[64];
        std::snprintf(prefix, sizeof prefix, format, arg);
        std::string line = prefix;
        for (size_t i = 0; i < n; ++i) {
          char pair[3];
          std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
          line += pair;
        }
        expected.push_back(line);
      }
  EXPECT_EQ(FileLines(), expected);
}

TEST(PutDigits, MatchPrintfAtTheEdges) {
  const int64_t signedValues[] = {0, 7, -7, 9, 10, 99, -100, 2147483647, -2147483647 - 1, INT64_MAX, INT64_MIN + 1};
  for (int64_t v : signedValues)
    for (int width : {0, 2, 4, 25}) {
      char ours[48], theirs[48];
      *PutDecimal(ours, v, width) = '\0';
      std::snprintf(theirs, sizeof theirs, "%0*lld", width, static_cast<long long>(v));
      EXPECT_STREQ(ours, theirs) << v << " width " << width;
      uint64_t u = static_cast<uint64_t>(v);
      *PutUnsigned(ours, u, width) = '\0';
      std::snprintf(theirs, sizeof theirs, "%0*llu", width, static_cast<unsigned long long>(u));
      EXPECT_STREQ(ours, theirs);
      *PutHex(ours, u, width) = '\0';
      std::snprintf(theirs, sizeof theirs, "%0*llx", width, static_cast<unsigned long long>(u));
      EXPECT_STREQ(ours, theirs);
    }
}

// The per-scan cache of date texts gives what FormatFileTime gives, for
// repeated seconds, seconds apart, times before 1970 and FILETIMEs too large
// to convert.
TEST(FileTimeTexts, AgreeWithFormatFileTime) {
  const uint64_t second = 10000000;
  const uint64_t times[] = {132223104000000000ull, 132223104000000000ull + 1, 132223104000000000ull + second - 1,
                            132223104000000000ull + second, 0, 1, 116444736000000000ull - 1, 0x7FFFFFFFFFFFFFFFull,
                            0x8000000000000000ull, 0xFFFFFFFFFFFFFFFFull, 132223104000000000ull};
  FileTimeTexts texts;
  for (uint64_t t : times) {
    char expected[64];
    EXPECT_EQ(texts.Text(t), FormatFileTime(expected, sizeof expected, t)) << t;
  }
  char cut[8];
  EXPECT_STREQ(FormatFileTime(cut, sizeof cut, 132223104000000000ull), "2020/01");
}

TEST(Utf16ToAnsi, EndsTheTextAtTheZeroUnitOrAfterNBytes) {
  char dest[260];
  std::vector<uint8_t> src;
  for (int i = 0; i < 40; ++i) src.insert(src.end(), {static_cast<uint8_t>('A' + i % 26), 0});
  // 64 bytes without a zero unit: 32 units, whatever follows.
  EXPECT_EQ(Utf16ToAnsi(dest, 64, sizeof dest, src.data()), 32u);
  EXPECT_EQ(std::string(dest), "ABCDEFGHIJKLMNOPQRSTUVWXYZABCDEF");
  src[10] = 0;  // unit 5
  EXPECT_EQ(Utf16ToAnsi(dest, 64, sizeof dest, src.data()), 5u);
  EXPECT_STREQ(dest, "ABCDE");
  // A destination shorter than the text is cut, not overrun.
  char small[8];
  src[10] = 'F';
  EXPECT_EQ(Utf16ToAnsi(small, 64, sizeof small, src.data()), 32u);
  EXPECT_STREQ(small, "ABCDEFG");
}

TEST(Utf16ToAnsi, LongRunsUseTheHeapAndConvertJapanese) {
  testing::CodePageScope cp(932);
  std::vector<uint8_t> src;
  for (int i = 0; i < 10000; ++i) src.insert(src.end(), {0x42, 0x30});  // U+3042
  std::vector<char> dest(30000);
  EXPECT_EQ(Utf16ToAnsi(dest.data(), src.size(), dest.size(), src.data()), 10000u);
  EXPECT_EQ(std::strlen(dest.data()), 20000u);
  EXPECT_EQ(static_cast<uint8_t>(dest[19998]), 0x82);
  EXPECT_EQ(static_cast<uint8_t>(dest[19999]), 0xA0);
}

TEST(FormatText, NeverWritesPastTheCapacity) {
  char buf[12];
  std::memset(buf, 'Z', sizeof buf);
  EXPECT_EQ(FormatText(buf, 8, "%s", "0123456789"), 7);
  EXPECT_STREQ(buf, "0123456");
  EXPECT_EQ(buf[8], 'Z');
  EXPECT_EQ(FormatText(buf, 8, "%d", 42), 2);
  EXPECT_STREQ(buf, "42");
}

TEST(FormatFileTime, ShowsLocalTimeInTheReportFormat) {
  const char* old = std::getenv("TZ");
  std::string saved = old ? old : "";
  setenv("TZ", "UTC", 1);
  tzset();
  char text[64];
  EXPECT_STREQ(FormatFileTime(text, sizeof text, 116444736000000000ull), "1970/01/01 00:00:00");
  EXPECT_STREQ(FormatFileTime(text, sizeof text, 132223104000000000ull), "2020/01/01 00:00:00");
  setenv("TZ", "JST-9", 1);
  tzset();
  EXPECT_STREQ(FormatFileTime(text, sizeof text, 132223104000000000ull), "2020/01/01 09:00:00");
  if (old) setenv("TZ", saved.c_str(), 1);
  else unsetenv("TZ");
  tzset();
}

}  // namespace
}  // namespace quelbrix
