// The `quelbrix` command as a user runs it: a separate process with its own
// output folder, judged by its exit status, its stdout and stderr and the bytes
// of the report file.  Base-block facts are computed here from the file bytes
// and the format version comes from libregf, so the report is held against
// readers that share no code with the program.
#include <gtest/gtest.h>
#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/as_nobody.h"
#include "support/hive_builder.h"
#include "support/log_builder.h"
#include "support/run_process.h"
#include "support/shared_hives.h"

namespace quelbrix::testing {
namespace {

namespace fs = std::filesystem;

// "[検索(日付有)開始]" in code page 932, written out byte by byte so that the
// code page is pinned by something other than iconv.
constexpr char kSearchStartCp932[] = "\x5b\x8c\x9f\x8d\xf5\x28\x93\xfa\x95\x74\x97\x4c\x29\x8a\x4a\x8e\x6e\x5d";

std::string Convert(const std::string& text, const char* to, const char* from) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return "<no iconv " + std::string(from) + " -> " + to + ">";
  std::string out(text.size() * 4 + 16, '\0');
  char* in = const_cast<char*>(text.data());
  size_t inLeft = text.size();
  char* dest = out.data();
  size_t outLeft = out.size();
  size_t rc = iconv(cd, &in, &inLeft, &dest, &outLeft);
  iconv_close(cd);
  if (rc == static_cast<size_t>(-1)) return "<unconvertible>";
  out.resize(out.size() - outLeft);
  return out;
}

std::string Cp932(const std::string& utf8) { return Convert(utf8, "CP932", "UTF-8"); }

uint32_t U32(const std::string& bytes, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(bytes[at + i]);
  return v;
}

void PutU32(std::string& bytes, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(v >> (8 * i));
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

template <typename... Args>
std::string Format(const char* format, Args... args) {
  char text[512];
  std::snprintf(text, sizeof text, format, args...);
  return text;
}

int Signed(uint32_t v) { return static_cast<int32_t>(v); }

// "%04d/%02d/%02d %02d:%02d:%02d"
bool IsDateTime(const std::string& text) {
  static const char kShape[] = "dddd/dd/dd dd:dd:dd";
  if (text.size() != sizeof kShape - 1) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    bool digit = text[i] >= '0' && text[i] <= '9';
    if (kShape[i] == 'd' ? !digit : text[i] != kShape[i]) return false;
  }
  return true;
}

// A heading line: its prefix, then the local date and time.
::testing::AssertionResult IsHeading(const std::string& line, const std::string& prefix) {
  if (line.compare(0, prefix.size(), prefix) != 0 || !IsDateTime(line.substr(prefix.size())))
    return ::testing::AssertionFailure() << "\"" << line << "\" is not \"" << prefix << "YYYY/MM/DD hh:mm:ss\"";
  return ::testing::AssertionSuccess();
}

// Splits a report into its CR LF lines.  A bare LF or CR may stand inside a
// line: string values are dumped as stored, and stored text holds line ends.
::testing::AssertionResult SplitCrLf(const std::string& text, std::vector<std::string>* lines) {
  lines->clear();
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find("\r\n", start);
    if (end == std::string::npos)
      return ::testing::AssertionFailure() << "last line has no CR LF: \"" << text.substr(start) << "\"";
    lines->push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return ::testing::AssertionSuccess();
}

// The FILETIME in local time; "" before 1970, where only the shape is checked.
std::string FileTimeText(uint64_t fileTime) {
  constexpr uint64_t kUnixEpoch = 116444736000000000ull;  // 1970-01-01 in 100 ns units since 1601
  if (fileTime < kUnixEpoch) return std::string();
  time_t seconds = static_cast<time_t>((fileTime - kUnixEpoch) / 10000000);
  struct tm t = {};
  localtime_r(&seconds, &t);
  char text[64];
  std::snprintf(text, sizeof text, "%04d/%02d/%02d %02d:%02d:%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                t.tm_hour, t.tm_min, t.tm_sec);
  return text;
}

// What the report must say about a base block, derived from the bytes alone.
struct BaseBlockFacts {
  uint64_t fileSize = 0;
  uint32_t primary = 0, secondary = 0, major = 0, minor = 0, type = 0, format = 0, hbins = 0, cluster = 0;
  uint32_t bootType = 0, bootRecover = 0, stored = 0, computed = 0;
  uint64_t timeStamp = 0;
  std::string fileNameUtf16;  // up to the first zero unit, at most 32 units
};

BaseBlockFacts FactsOf(const std::string& path) {
  std::string bytes = ReadFile(path);
  BaseBlockFacts f;
  f.fileSize = bytes.size();
  bytes.resize(std::max<size_t>(bytes.size(), 4096), '\0');
  f.primary = U32(bytes, 4);
  f.secondary = U32(bytes, 8);
  f.timeStamp = U32(bytes, 0x0C) | uint64_t{U32(bytes, 0x10)} << 32;
  f.major = U32(bytes, 0x14);
  f.minor = U32(bytes, 0x18);
  f.type = U32(bytes, 0x1C);
  f.format = U32(bytes, 0x20);
  f.hbins = U32(bytes, 0x28);
  f.cluster = U32(bytes, 0x2C);
  f.bootType = U32(bytes, 0xFF8);
  f.bootRecover = U32(bytes, 0xFFC);
  f.stored = U32(bytes, 0x1FC);
  for (int i = 0; i < 127; ++i) f.computed ^= U32(bytes, 4 * i);
  for (size_t i = 0x30; i < 0x70; i += 2) {
    if (bytes[i] == 0 && bytes[i + 1] == 0) break;
    f.fileNameUtf16.append(bytes, i, 2);
  }
  return f;
}

// The lines of "[regf Infomation]" that a search of this file must write,
// from "FileName=" to the size check, in code page 932.  Lines that carry a
// time stand here as their text up to the time, which the caller checks for
// its shape only.
std::vector<std::string> ExpectedBaseBlockLines(const std::string& path, const BaseBlockFacts& f) {
  std::vector<std::string> lines;
  uint32_t size = static_cast<uint32_t>(f.fileSize);
  lines.push_back("FileName=" + path);
  lines.push_back(Format("FileSize(Byte)=%d 0x%08x", Signed(size), size));
  if (f.fileSize % 4096 != 0) lines.push_back("FileSize Error not multiple 4096");
  lines.push_back("[regf Infomation] ");
  if (f.computed == f.stored)
    lines.push_back(Format("regfChecksum calculate=0x%08x actual=0x%08x", f.computed, f.stored));
  else
    lines.push_back(Format("regfChecksum Error calculate=0x%08x actual=0x%08x", f.computed, f.stored));
  lines.push_back("regfFileName=" + Convert(f.fileNameUtf16, "CP932", "UTF-16LE"));
  std::string stamp = FileTimeText(f.timeStamp);
  lines.push_back(stamp.empty() ? "regfTimeStamp=" : "regfTimeStamp=" + stamp);
  lines.push_back(Format("regfVersion=%d.%d", Signed(f.major), Signed(f.minor)));
  lines.push_back(Format(f.primary == f.secondary ? "regfSequence=%d.%d" : "regfSequence Error=%d.%d",
                         Signed(f.primary), Signed(f.secondary)));
  lines.push_back(Format("regfType=%d", Signed(f.type)));
  lines.push_back(Format("regfFormat=%d", Signed(f.format)));
  lines.push_back(Format("regfCluster=%d", Signed(f.cluster)));
  lines.push_back(Format("regfBootType=%d", Signed(f.bootType)));
  lines.push_back(Format("regfBootRecover=%d", Signed(f.bootRecover)));
  uint64_t declared = uint64_t{f.hbins} + 4096;
  if (f.fileSize != declared)
    lines.push_back(Format("FileSize(regfSize+regfHbinsLength) Error calcutlate=%d actual=%d",
                           Signed(static_cast<uint32_t>(declared)), Signed(size)));
  return lines;
}

std::string ReportNameOf(const std::string& path, const BaseBlockFacts& f) {
  return fs::path(path).filename().string() + Format("_%d_%d.search.txt", Signed(f.primary), Signed(f.secondary));
}

// A temporary folder per test, removed with everything in it.
// Exit status of a completed command that found damage.  The tiny hive below
// has no root key (its root offset names a free cell), so every search of it
// stops at the root and ends so.
constexpr int kDamage = 3;

class TempFolder {
 public:
  // openToNobody: a mode-755 folder under /tmp, for a step run as nobody.
  explicit TempFolder(bool openToNobody = false) {
    if (openToNobody) {
      path_ = FolderNobodyCanEnter("quelbrix-cli");
      return;
    }
    std::string pattern = (fs::temp_directory_path() / "quelbrix-cli-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempFolder() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

ProcessResult Quelbrix(std::vector<std::string> args) {
  args.insert(args.begin(), QUELBRIX_CLI);
  return RunProcess(args);
}

// A search with a fixed diagnostic mode, so that the report does not depend on
// the folder the build happens to live in.
ProcessResult Search(const TempFolder& out, const std::string& hive, std::vector<std::string> extra = {}) {
  std::vector<std::string> args = {"search", hive, "--output-dir", out.path(), "--no-diagnostic"};
  args.insert(args.end(), extra.begin(), extra.end());
  return Quelbrix(args);
}

// A base block and one bin holding a single free cell: enough for the
// base-block phase, with every field the report prints set to a distinct value.
struct TinyHive {
  uint32_t primary = 7, secondary = 7;
  uint32_t hbins = 4096;
  uint64_t timeStamp = 0x01D9'2A6B'4C00'0000ull;
  std::u16string fileName = u"\\??\\C:\\tiny\\hive";
  bool breakChecksum = false;
  size_t extraBytes = 0;      // appended after the bin
  size_t truncateTo = 0;      // when non-zero, the file is cut to this length

  std::string Bytes() const {
    std::string b(4096 + 4096, '\0');
    std::memcpy(b.data(), "regf", 4);
    PutU32(b, 0x04, primary);
    PutU32(b, 0x08, secondary);
    PutU32(b, 0x0C, static_cast<uint32_t>(timeStamp));
    PutU32(b, 0x10, static_cast<uint32_t>(timeStamp >> 32));
    PutU32(b, 0x14, 1);
    PutU32(b, 0x18, 5);
    PutU32(b, 0x1C, 0);
    PutU32(b, 0x20, 1);
    PutU32(b, 0x24, 0x20);
    PutU32(b, 0x28, hbins);
    PutU32(b, 0x2C, 1);
    for (size_t i = 0; i < fileName.size() && i < 32; ++i) {
      b[0x30 + 2 * i] = static_cast<char>(fileName[i] & 0xFF);
      b[0x31 + 2 * i] = static_cast<char>(fileName[i] >> 8);
    }
    PutU32(b, 0xFF8, 3);
    PutU32(b, 0xFFC, 4);
    uint32_t sum = 0;
    for (int i = 0; i < 127; ++i) sum ^= U32(b, 4 * i);
    PutU32(b, 0x1FC, breakChecksum ? sum ^ 0x00010000 : sum);
    std::memcpy(b.data() + 4096, "hbin", 4);
    PutU32(b, 4096 + 0x08, 4096);
    PutU32(b, 4096 + 0x20, 4096 - 32);  // one free cell fills the bin
    b.append(extraBytes, '\0');
    if (truncateTo != 0) b.resize(truncateTo);
    return b;
  }
};

// Runs a search and checks what every search must do, whatever the file: exit
// 0, the final status, a report of CR LF lines that opens and closes with the
// command's headings, and the base-block lines the bytes call for.  Returns the
// report lines.  Quiet keeps the pane lines of a large hive off stdout.
enum class Pane { kShown, kQuiet };
std::vector<std::string> SearchAndCheckBaseBlock(const std::string& hive, Pane pane = Pane::kShown) {
  TempFolder out;
  EXPECT_FALSE(out.path().empty());
  ProcessResult run = Search(out, hive, pane == Pane::kQuiet ? std::vector<std::string>{"--quiet"}
                                                             : std::vector<std::string>{});
  EXPECT_TRUE(run.status == 0 || run.status == kDamage) << run.status << run.err;
  EXPECT_NE(run.err.find("検索(日付有)完了"), std::string::npos) << run.err;
  // Off a terminal nothing is painted: the final status is a line of its own,
  // without the progress line's share.
  EXPECT_NE(run.err.find("\n検索(日付有)完了\n"), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find_first_of("\r%"), std::string::npos) << run.err;

  BaseBlockFacts facts = FactsOf(hive);
  std::string reportPath = out / ReportNameOf(hive, facts);
  EXPECT_TRUE(fs::is_regular_file(reportPath)) << reportPath << " missing; stdout:\n" << run.out;
  std::vector<std::string> lines;
  EXPECT_TRUE(SplitCrLf(ReadFile(reportPath), &lines));
  if (lines.size() < 3) {
    ADD_FAILURE() << "report has " << lines.size() << " lines";
    return lines;
  }
  EXPECT_TRUE(IsHeading(lines.front(), std::string(kSearchStartCp932) + " "));
  EXPECT_TRUE(IsHeading(lines.back(), Cp932("[検索(日付有)完了] ")));
  if (pane == Pane::kShown) {
    EXPECT_NE(run.out.find("TextFileName=" + reportPath), std::string::npos) << run.out;
  }

  std::vector<std::string> expected = ExpectedBaseBlockLines(hive, facts);
  for (size_t i = 0; i < expected.size(); ++i) {
    if (i + 1 >= lines.size()) {
      ADD_FAILURE() << "report ends before \"" << expected[i] << "\"";
      break;
    }
    bool timed = expected[i] == "[regf Infomation] " || expected[i] == "regfTimeStamp=";
    if (timed) {
      EXPECT_TRUE(IsHeading(lines[i + 1], expected[i])) << "report line " << i + 2;
    } else {
      EXPECT_EQ(lines[i + 1], expected[i]) << "report line " << i + 2;
    }
  }
  // A file shorter than its bins ends the scan at the size check.
  if (facts.fileSize < uint64_t{facts.hbins} + 4096) {
    EXPECT_EQ(lines.size(), expected.size() + 2) << "the scan went on after the size check";
  }
  return lines;
}

// --- Usage -------------------------------------------------------------------

TEST(CliUsage, HelpListsEveryCommandAndOption) {
  ProcessResult run = Quelbrix({"--help"});
  EXPECT_EQ(run.status, 0);
  for (const char* word : {"search", "repair", "defrag", "rebuild", "regsave", "load", "unload", "delete-subkeys",
                           "gui", "--output-dir", "--registry-root", "--codepage", "--diagnostic", "--no-diagnostic",
                           "--quiet", "--no-color"})
    EXPECT_NE(run.out.find(word), std::string::npos) << "--help does not mention " << word << ":\n" << run.out;
}

TEST(CliUsage, UsageErrorsExitTwoAndStartNothing) {
  TempFolder out;
  std::string hive = out / "h";
  WriteFile(hive, TinyHive().Bytes());
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"frobnicate"},
      {"search"},
      {"search", hive, "--no-such-option"},
      {"search", hive, "-j", "0"},
      {"export", hive, "--recursive", out.path()},
      {"regsave", "HARDWARE"},
      {"repair", hive, "--write", "-o", out / "copy"},
      {"--codepage", "abc", "search", hive},
      {"--codepage", "99999", "search", hive},
  };
  for (const auto& args : cases) {
    std::vector<std::string> full = {"--output-dir", out.path()};
    full.insert(full.end(), args.begin(), args.end());
    ProcessResult run = Quelbrix(full);
    std::string shown;
    for (const auto& a : args) shown += a + " ";
    EXPECT_EQ(run.status, 2) << "quelbrix " << shown << "\n" << run.err;
    EXPECT_FALSE(run.err.empty()) << "quelbrix " << shown << " said nothing on stderr";
  }
  for (const auto& entry : fs::directory_iterator(out.path()))
    EXPECT_EQ(entry.path().filename().string().find(".txt"), std::string::npos) << entry.path();
}

// --- CheckHiveFile -----------------------------------------------------------

struct RefusedFile {
  const char* name;
  std::string (*make)(const std::string& folder);  // returns the path to give
  const char* message;
  const char* reason;  // the end of the English line that names the file
};

std::string Make(const std::string& folder, const std::string& bytes) {
  std::string path = folder + "/file";
  WriteFile(path, bytes);
  return path;
}

const RefusedFile kRefused[] = {
    {"empty", [](const std::string& d) { return Make(d, ""); }, "FileSize Error",
     "0 bytes, shorter than the 4096-byte base block of a hive"},
    {"4095 bytes of a hive", [](const std::string& d) { return Make(d, TinyHive().Bytes().substr(0, 4095)); },
     "FileSize Error", "4095 bytes, shorter than the 4096-byte base block of a hive"},
    {"directory", [](const std::string& d) { return d; }, "FileSize Error", "Is a directory"},
    {"missing", [](const std::string& d) { return d + "/none"; }, "FileSize Error", "No such file or directory"},
    {"4096 bytes without regf", [](const std::string& d) { return Make(d, "hbin" + std::string(4092, '\0')); },
     "regf Signature Error", "not a registry hive (no \"regf\" signature at its start)"},
    {"regf in the wrong case", [](const std::string& d) { return Make(d, "REGF" + TinyHive().Bytes().substr(4)); },
     "regf Signature Error", "not a registry hive (no \"regf\" signature at its start)"},
};

TEST(CliCheckHiveFile, RefusedFilesExitOneWithTheirMessage) {
  for (const auto& c : kRefused) {
    for (const char* command : {"search", "repair", "load"}) {
      TempFolder in, out;
      std::string path = c.make(in.path());
      ProcessResult run = Quelbrix({command, path, "--output-dir", out.path()});
      EXPECT_EQ(run.status, 1) << c.name << " / " << command;
      EXPECT_NE(run.err.find(c.message), std::string::npos) << c.name << " / " << command << ": " << run.err;
      std::string named = "quelbrix: " + fs::weakly_canonical(path).string() + ": " + c.reason + "\n";
      EXPECT_NE(run.err.find(named), std::string::npos) << c.name << " / " << command << ": " << run.err;
      EXPECT_TRUE(run.out.empty()) << c.name << " / " << command << ": " << run.out;
      for (const auto& entry : fs::directory_iterator(out.path()))
        ADD_FAILURE() << c.name << " / " << command << " left " << entry.path();
    }
  }
}

TEST(CliCheckHiveFile, FourKilobytesWithRegfPassTheCheck) {
  TempFolder in, out;
  TinyHive tiny;
  tiny.hbins = 0;
  std::string path = in / "base_only";
  WriteFile(path, tiny.Bytes().substr(0, 4096));
  ProcessResult run = Search(out, path);
  EXPECT_EQ(run.status, kDamage) << run.err;
  EXPECT_TRUE(fs::is_regular_file(out / "base_only_7_7.search.txt"));
}

TEST(CliCheckHiveFile, UnreadableFileIsRefused) {
  // root reads any file: the command then runs as nobody, on files in folders nobody can enter.
  const NobodyRunner* nobody = geteuid() == 0 ? &AsNobodyRunner() : nullptr;
  if (nobody != nullptr && !nobody->skip.empty()) GTEST_SKIP() << "running as root: " << nobody->skip;
  TempFolder in(nobody != nullptr), out(nobody != nullptr);
  std::string path = in / "locked";
  WriteFile(path, TinyHive().Bytes());
  ASSERT_EQ(chmod(path.c_str(), 0), 0);
  std::vector<std::string> args = {QUELBRIX_CLI, "search", path, "--output-dir", out.path()};
  if (nobody != nullptr) {
    ASSERT_EQ(chmod(out.path().c_str(), 0777), 0);
    args[0] = nobody->cli;
    args.insert(args.begin(), nobody->prefix.begin(), nobody->prefix.end());
  }
  ProcessResult run = RunProcess(args);
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_NE(run.err.find("ファイルが読めません"), std::string::npos) << run.err;
  EXPECT_TRUE(fs::is_empty(out.path()));
}

// --- Search on a small hive made here ------------------------------------------

TEST(CliSearch, ReportNameLinesAndStatus) {
  TempFolder in;
  TinyHive tiny;
  tiny.primary = 7;
  tiny.secondary = 9;
  std::string path = in / "tiny.hiv";
  WriteFile(path, tiny.Bytes());
  std::vector<std::string> lines = SearchAndCheckBaseBlock(path);
  ASSERT_GE(lines.size(), 11u);
  // The fields of the made hive, spelled out once by hand.
  EXPECT_EQ(lines[2], "FileSize(Byte)=8192 0x00002000");
  EXPECT_EQ(lines[5], "regfFileName=\\??\\C:\\tiny\\hive");
  EXPECT_EQ(lines[7], "regfVersion=1.5");
  EXPECT_EQ(lines[8], "regfSequence Error=7.9");
  EXPECT_EQ(lines[9], "regfType=0");
  EXPECT_EQ(lines[10], "regfFormat=1");
}

TEST(CliSearch, SequenceNumbersArePrintedSigned) {
  TempFolder in;
  TinyHive tiny;
  tiny.primary = 0xFFFFFFFF;
  tiny.secondary = 3;
  std::string path = in / "wrapped";
  WriteFile(path, tiny.Bytes());
  std::vector<std::string> lines = SearchAndCheckBaseBlock(path);
  ASSERT_GE(lines.size(), 9u);
  EXPECT_EQ(lines[8], "regfSequence Error=-1.3");
}

TEST(CliSearch, ChecksumErrorIsReportedAndTheFileLeftAlone) {
  TempFolder in;
  TinyHive tiny;
  tiny.breakChecksum = true;
  std::string path = in / "badsum";
  std::string bytes = tiny.Bytes();
  WriteFile(path, bytes);
  std::vector<std::string> lines = SearchAndCheckBaseBlock(path);
  ASSERT_GE(lines.size(), 5u);
  EXPECT_EQ(lines[4].rfind("regfChecksum Error calculate=0x", 0), 0u) << lines[4];
  EXPECT_EQ(ReadFile(path), bytes) << "a search changed the hive file";
}

// The tiny hive's root offset names a free cell, so every scan stops at the
// root key: Search has reported all it can, but Repair and Defrag have done
// nothing and must neither claim success nor write.
TEST(CliSearch, StoppedScanFailsRepairAndDefragAndWritesNothing) {
  TempFolder in;
  std::string path = in / "rootless";
  std::string bytes = TinyHive().Bytes();
  WriteFile(path, bytes);
  EXPECT_EQ(Search(in, path).status, kDamage);
  for (const char* command : {"repair", "defrag"}) {
    std::string out = in / (std::string(command) + ".out");
    ProcessResult run = Quelbrix({command, path, "--output-dir", in.path(), "-o", out});
    EXPECT_EQ(run.status, 1) << command << ": " << run.err;
    EXPECT_NE(run.err.find("nothing written"), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(out)) << command;
    run = Quelbrix({command, path, "--output-dir", in.path(), "--write"});
    EXPECT_EQ(run.status, 1) << command;
  }
  EXPECT_EQ(ReadFile(path), bytes);
}

TEST(CliSearch, FileSizeRule) {
  TempFolder in;
  {
    TinyHive longer;
    longer.extraBytes = 4096;
    std::string path = in / "longer";
    WriteFile(path, longer.Bytes());
    std::vector<std::string> lines = SearchAndCheckBaseBlock(path);
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "FileSize(regfSize+regfHbinsLength) Error calcutlate=8192 actual=12288"),
              lines.end());
  }
  {
    TinyHive shorter;
    shorter.hbins = 3 * 4096;
    std::string path = in / "shorter";
    WriteFile(path, shorter.Bytes());
    std::vector<std::string> lines = SearchAndCheckBaseBlock(path);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "FileSize(regfSize+regfHbinsLength) Error calcutlate=16384 actual=8192");
  }
  {
    TinyHive ragged;
    ragged.extraBytes = 100;
    std::string path = in / "ragged";
    WriteFile(path, ragged.Bytes());
    std::vector<std::string> lines = SearchAndCheckBaseBlock(path);
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[3], "FileSize Error not multiple 4096");
  }
}

TEST(CliSearch, NoDatesUsesItsOwnCaption) {
  TempFolder in, out;
  std::string path = in / "nodates";
  WriteFile(path, TinyHive().Bytes());
  ProcessResult run = Search(out, path, {"--no-dates"});
  EXPECT_EQ(run.status, kDamage) << run.err;
  EXPECT_NE(run.err.find("検索(日付無)完了"), std::string::npos) << run.err;
  std::vector<std::string> lines;
  ASSERT_TRUE(SplitCrLf(ReadFile(out / "nodates_7_7.search-nodates.txt"), &lines));
  ASSERT_GE(lines.size(), 2u);
  EXPECT_TRUE(IsHeading(lines.front(), Cp932("[検索(日付無)開始] ")));
  EXPECT_TRUE(IsHeading(lines.back(), Cp932("[検索(日付無)完了] ")));
}

TEST(CliSearch, CodePageDecidesTheReportBytes) {
  TempFolder in;
  TinyHive tiny;
  tiny.fileName = u"\\??\\C:\\ハイブ\\名前";
  std::string path = in / "named";
  WriteFile(path, tiny.Bytes());

  struct Case {
    const char* codePage;
    std::string heading;
    std::string fileName;
  };
  const Case cases[] = {
      {"932", kSearchStartCp932, "regfFileName=" + Cp932("\\??\\C:\\ハイブ\\名前")},
      {"65001", "[検索(日付有)開始]", "regfFileName=\\??\\C:\\ハイブ\\名前"},
      // Characters the code page lacks become '?'.
      {"1252", "[?\?(?\?\?)?\?]", "regfFileName=\\??\\C:\\???\\??"},
  };
  for (const auto& c : cases) {
    TempFolder out;
    ProcessResult run = Search(out, path, {"--codepage", c.codePage});
    EXPECT_EQ(run.status, kDamage) << c.codePage << ": " << run.err;
    std::vector<std::string> lines;
    ASSERT_TRUE(SplitCrLf(ReadFile(out / "named_7_7.search.txt"), &lines)) << c.codePage;
    ASSERT_GE(lines.size(), 6u) << c.codePage;
    EXPECT_TRUE(IsHeading(lines[0], c.heading + " ")) << c.codePage;
    EXPECT_EQ(lines[5], c.fileName) << c.codePage;
    // Whatever the code page of the report, a person reads UTF-8.
    if (std::strcmp(c.codePage, "1252") != 0) {
      EXPECT_NE(run.out.find("regfFileName=\\??\\C:\\ハイブ\\名前"), std::string::npos) << c.codePage << run.out;
    }
  }
}

TEST(CliSearch, QuietKeepsStdoutEmptyButWritesTheReport) {
  TempFolder in, out;
  std::string path = in / "quiet";
  WriteFile(path, TinyHive().Bytes());
  ProcessResult run = Search(out, path, {"--quiet"});
  EXPECT_EQ(run.status, kDamage) << run.err;
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find("report: " + out / "quiet_7_7.search.txt" + "\n"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("検索(日付有)完了"), std::string::npos) << run.err;
  EXPECT_GT(fs::file_size(out / "quiet_7_7.search.txt"), 0u);
}

TEST(CliSearch, NoColourWhenStdoutIsNotATerminal) {
  TempFolder in, out;
  std::string path = in / "plain";
  TinyHive tiny;
  tiny.breakChecksum = true;  // a red line
  WriteFile(path, tiny.Bytes());
  ProcessResult run = Search(out, path);
  EXPECT_NE(run.out.find("regfChecksum Error"), std::string::npos);
  EXPECT_EQ(run.out.find('\x1b'), std::string::npos);
  EXPECT_EQ(run.out.find('\r'), std::string::npos) << "stdout lines end in LF alone";
}

TEST(CliSearch, ReportThatCannotBeOpenedFailsTheCommand) {
  TempFolder in, out;
  std::string path = in / "blocked";
  WriteFile(path, TinyHive().Bytes());
  fs::create_directory(out / "blocked_7_7.search.txt");
  ProcessResult run = Search(out, path);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("出力ファイルを開けません"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("quelbrix: " + out / "blocked_7_7.search.txt" + ": Is a directory"), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find("report: "), std::string::npos) << run.err;
}

TEST(CliSearch, OutputFolderIsCreated) {
  TempFolder in, out;
  std::string path = in / "made";
  WriteFile(path, TinyHive().Bytes());
  std::string nested = out / "a/b";
  ProcessResult run = Quelbrix({"search", path, "--output-dir", nested, "--no-diagnostic"});
  EXPECT_EQ(run.status, kDamage) << run.err;
  EXPECT_TRUE(fs::is_regular_file(nested + "/made_7_7.search.txt"));
}

// --- Search on the shared hives ----------------------------------------------

std::string LibregfVersion(const std::string& path) {
  ProcessResult run = RunProcess({"/usr/bin/python3", "-c",
                                  "import sys, pyregf\n"
                                  "f = pyregf.file()\n"
                                  "f.open(sys.argv[1])\n"
                                  "print(f.format_version)\n",
                                  path});
  if (run.status != 0) return "<python3-libregf failed: " + run.err + ">";
  while (!run.out.empty() && (run.out.back() == '\n' || run.out.back() == '\r')) run.out.pop_back();
  return run.out;
}

class SharedHiveSearch : public ::testing::TestWithParam<SharedHive> {};

TEST_P(SharedHiveSearch, BaseBlockAgainstIndependentReaders) {
  std::string error;
  std::string path = DecompressedPath(GetParam(), &error);
  ASSERT_FALSE(path.empty()) << error;
  std::vector<std::string> lines = SearchAndCheckBaseBlock(path, Pane::kQuiet);

  std::string version = "regfVersion=" + LibregfVersion(path);
  EXPECT_NE(std::find(lines.begin(), lines.end(), version), lines.end()) << "libregf reads " << version;
}

std::string HiveTestName(const ::testing::TestParamInfo<SharedHive>& info) { return TestNameOf(info.param.name); }

INSTANTIATE_TEST_SUITE_P(Hives, SharedHiveSearch, ::testing::ValuesIn(ListSharedHives()), HiveTestName);
// Transaction logs open with a base block of their own and are mostly shorter
// than the bins it declares: the scan must stop at the size check.
INSTANTIATE_TEST_SUITE_P(TransactionLogs, SharedHiveSearch, ::testing::ValuesIn(ListSharedLogs()), HiveTestName);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(SharedHiveSearch);

// --- Verdict: exit status 3 and the --json summary ---------------------------

nlohmann::json Summary(const ProcessResult& run) {
  nlohmann::json j = nlohmann::json::parse(run.out, nullptr, false);
  EXPECT_TRUE(j.is_object()) << "stdout is not one JSON object: " << run.out;
  return j.is_object() ? j : nlohmann::json::object();
}

// A sound hive from the builder exits 0; the same hive with one fault exits 3,
// and --json says the same as the exit status and the files on disk.
TEST(CliVerdict, DamageFoundExitsThreeAndTheSummaryAgrees) {
  TempFolder in, out;
  HiveBuilder builder;
  Key k = builder.AddKey(builder.Root(), "Software");
  builder.AddValue(k, "Name", 1, {'a', 0, 0, 0});
  builder.Build();
  std::string sound = in / "sound.hiv";
  ASSERT_TRUE(builder.WriteTo(sound));
  builder.SetFileU32(0x08, builder.FileU32(0x04) + 1);  // an unfinished write: the sequence numbers differ
  builder.RecomputeChecksum();
  std::string dirty = in / "dirty.hiv";
  ASSERT_TRUE(builder.WriteTo(dirty));

  ProcessResult run = Quelbrix({"search", sound, "--output-dir", out.path(), "--json"});
  EXPECT_EQ(run.status, 0) << run.err;
  nlohmann::json j = Summary(run);
  EXPECT_EQ(j["exit_status"], 0);
  EXPECT_EQ(j["error_lines"], 0);
  EXPECT_EQ(j["status_text"], "検索(日付有)完了");
  EXPECT_EQ(j["command"], "search");
  EXPECT_EQ(j["hive"], sound);
  ASSERT_TRUE(j["report"].is_string());
  EXPECT_TRUE(fs::is_regular_file(j["report"].get<std::string>()));
  EXPECT_NE(run.err.find("report: " + j["report"].get<std::string>()), std::string::npos) << run.err;

  run = Quelbrix({"search", dirty, "--output-dir", out.path(), "--json"});
  EXPECT_EQ(run.status, kDamage) << run.err;
  j = Summary(run);
  EXPECT_EQ(j["exit_status"], kDamage);
  EXPECT_EQ(j["error_lines"], 1);
  EXPECT_EQ(j["scan_stopped"], false);

  // Repair of the dirty hive: the damage was found (3), the result was written
  // and its own search is clean.
  std::string repaired = in / "repaired.hiv";
  run = Quelbrix({"repair", dirty, "--output-dir", out.path(), "--json", "-o", repaired});
  EXPECT_EQ(run.status, kDamage) << run.err;
  j = Summary(run);
  EXPECT_EQ(j["output_file"], repaired);
  EXPECT_EQ(j["repair_counters"]["regfSequenceClean"], 1);
  EXPECT_EQ(Quelbrix({"search", repaired, "--output-dir", out.path(), "-q"}).status, 0);

  // Without --write or -o nothing is kept, and the command says so.
  run = Quelbrix({"repair", dirty, "--output-dir", out.path(), "-q"});
  EXPECT_EQ(run.status, kDamage);
  EXPECT_NE(run.err.find("quelbrix: nothing written; use --write or -o\n"), std::string::npos) << run.err;

  // A scan that stops at damage it cannot pass.
  std::string rootless = in / "rootless";
  WriteFile(rootless, TinyHive().Bytes());
  run = Quelbrix({"search", rootless, "--output-dir", out.path(), "--json"});
  EXPECT_EQ(run.status, kDamage);
  EXPECT_EQ(Summary(run)["scan_stopped"], true);

  // A refused file is a failure, not a verdict, in the summary too.
  run = Quelbrix({"search", in / "none", "--output-dir", out.path(), "--json"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(Summary(run)["exit_status"], 1);
}

TEST(CliUsage, VersionHelpAndUnknownCommand) {
  ProcessResult version = Quelbrix({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("quelbrix ", 0), 0u) << version.out;
  EXPECT_EQ(Quelbrix({"version"}).out, version.out);
  ProcessResult help = Quelbrix({"help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out, Quelbrix({"--help"}).out);
  ProcessResult unknown = Quelbrix({"frobnicate"});
  EXPECT_EQ(unknown.status, 2);
  EXPECT_NE(unknown.err.find("unknown command 'frobnicate'"), std::string::npos) << unknown.err;
  // Each command's help lists the common options too.
  ProcessResult searchHelp = Quelbrix({"search", "--help"});
  EXPECT_EQ(searchHelp.status, 0);
  for (const char* word : {"--output-dir", "--codepage", "--json", "report: PATH"})
    EXPECT_NE(searchHelp.out.find(word), std::string::npos) << word << "\n" << searchHelp.out;
}

TEST(CliFiles, FailuresNameTheFileAndTheReason) {
  TempFolder in, out;
  std::string path = in / "made";
  HiveBuilder builder;  // a hive whose repair completes, so that the write is tried
  builder.Build();
  ASSERT_TRUE(builder.WriteTo(path));
  ProcessResult run = Quelbrix({"repair", path, "--output-dir", out.path(), "-q", "-o", in / "nodir/x.hiv"});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("quelbrix: " + in / "nodir/x.hiv" + ": " + in / "nodir" + ": No such file or directory"),
            std::string::npos)
      << run.err;

  // regsave of a hive the machine registry folder lacks fails and creates nothing.
  std::string root = in / "config";
  run = Quelbrix({"regsave", "SAM", "--output-dir", out.path(), "--registry-root", root});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("quelbrix: " + root + "/SAM: "), std::string::npos) << run.err;
  EXPECT_FALSE(fs::exists(root));
  EXPECT_FALSE(fs::exists(out / "SAM.tmp"));
}

// --- Terminal text and language ---------------------------------------------

// The code points of `text`; false when it is not valid UTF-8.
bool DecodeUtf8(const std::string& text, std::u32string* out) {
  out->clear();
  for (size_t i = 0; i < text.size();) {
    unsigned char b = static_cast<unsigned char>(text[i]);
    size_t n = b < 0x80 ? 1 : (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 0;
    if (n == 0 || i + n > text.size()) return false;
    char32_t c = n == 1 ? b : b & (0x7F >> n);
    for (size_t k = 1; k < n; ++k) {
      unsigned char t = static_cast<unsigned char>(text[i + k]);
      if ((t & 0xC0) != 0x80) return false;
      c = c << 6 | (t & 0x3F);
    }
    if ((n == 2 && c < 0x80) || (n == 3 && c < 0x800) || (n == 4 && c < 0x10000) || (c >= 0xD800 && c < 0xE000))
      return false;
    out->push_back(c);
    i += n;
  }
  return true;
}

// Kana, CJK ideographs, CJK punctuation and full-width forms.
bool HoldsJapanese(const std::u32string& text) {
  return std::any_of(text.begin(), text.end(), [](char32_t c) {
    return (c >= 0x3000 && c <= 0x30FF) || (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0xFF00 && c <= 0xFFEF);
  });
}

// The code page shapes the report only: with one that lacks Japanese, and a
// file name whose UTF-8 bytes mean other characters in code page 932, stdout
// and stderr still hold the real texts and the name as the file system has it.
TEST(CliTerminal, TextIsUtf8WhateverTheCodePage) {
  TempFolder in;
  const std::string name = "SAM é ü.hiv";
  std::string path = in / name;
  WriteFile(path, TinyHive().Bytes());
  for (const char* codePage : {"1252", "932"}) {
    for (const char* command : {"search", "repair"}) {
      TempFolder out;
      ProcessResult run = Quelbrix({command, path, "--output-dir", out.path(), "--no-diagnostic", "--codepage", codePage});
      SCOPED_TRACE(std::string(command) + " --codepage " + codePage);
      // The rootless hive: the search finds the damage, the repair refuses to go on.
      EXPECT_EQ(run.status, std::strcmp(command, "search") == 0 ? kDamage : 1) << run.err;
      std::u32string err, outText;
      EXPECT_TRUE(DecodeUtf8(run.err, &err)) << run.err;
      EXPECT_TRUE(DecodeUtf8(run.out, &outText)) << run.out;
      const std::string caption = std::strcmp(command, "search") == 0 ? "検索(日付有)" : "修正";
      EXPECT_NE(run.err.find(caption + "完了"), std::string::npos) << run.err;
      const std::string report = name + "_7_7." + command + ".txt";
      EXPECT_NE(run.err.find("report: " + out / report), std::string::npos) << run.err;
      EXPECT_NE(run.out.find("[" + caption + "開始] "), std::string::npos) << run.out;
      EXPECT_NE(run.out.find("TextFileName=" + out / report), std::string::npos) << run.out;
      EXPECT_NE(run.out.find("FileName=" + path), std::string::npos) << run.out;
    }
  }
}

// The same commands with and without --lang en: the same exit statuses and
// report bytes (clock lines aside), and English stderr holds no Japanese.
TEST(CliLanguage, EnglishChangesTheTerminalOnly) {
  TempFolder in;
  std::string tiny = in / "tiny";
  WriteFile(tiny, TinyHive().Bytes());
  HiveBuilder builder;
  Key k = builder.AddKey(builder.Root(), "Software");
  builder.AddValue(k, "Name", 1, {'a', 0, 0, 0});
  builder.Build();
  std::string sound = in / "sound.hiv";
  ASSERT_TRUE(builder.WriteTo(sound));
  std::vector<std::string> hives = {tiny, sound, in / "missing"};
  std::string error;
  for (const SharedHive& shared : ListSharedHives())
    if (shared.name == "SAM" || shared.name == "corrupted_system_hive") hives.push_back(DecompressedPath(shared, &error));

  const std::vector<std::vector<std::string>> commands = {
      {"search"}, {"search", "--no-dates"}, {"repair"}, {"defrag"}, {"repair", "-o", in / "nodir/out.hiv"}};
  auto withoutClock = [](const std::string& report) {
    std::vector<std::string> lines;
    EXPECT_TRUE(SplitCrLf(report, &lines));
    for (std::string& line : lines)
      if (line.size() > 20 && line[0] == '[' && IsDateTime(line.substr(line.size() - 19))) line.resize(line.size() - 19);
    return lines;
  };
  int englishDone = 0;
  for (const std::string& hive : hives) {
    for (const auto& command : commands) {
      for (const char* codePage : {"932", "1252"}) {
        std::string trace = hive + " " + command.front() + (command.size() > 1 ? " " + command[1] : "") + " " + codePage;
        SCOPED_TRACE(trace);
        TempFolder outJa, outEn;
        std::vector<std::string> args = command;
        args.insert(args.begin() + 1, hive);
        for (const char* a : {"--no-diagnostic", "-q", "--codepage"}) args.push_back(a);
        args.push_back(codePage);
        std::vector<std::string> ja = args, en = args;
        for (const char* a : {"--output-dir", outJa.path().c_str()}) ja.push_back(a);
        for (const char* a : {"--output-dir", outEn.path().c_str(), "--lang", "en"}) en.push_back(a);
        ProcessResult runJa = Quelbrix(ja), runEn = Quelbrix(en);
        EXPECT_EQ(runJa.status, runEn.status) << runJa.err << runEn.err;
        std::vector<std::string> reportsJa, reportsEn;
        for (const auto& e : fs::directory_iterator(outJa.path())) reportsJa.push_back(e.path().filename());
        for (const auto& e : fs::directory_iterator(outEn.path())) reportsEn.push_back(e.path().filename());
        std::sort(reportsJa.begin(), reportsJa.end());
        std::sort(reportsEn.begin(), reportsEn.end());
        EXPECT_EQ(reportsJa, reportsEn);
        for (const std::string& report : reportsJa)
          EXPECT_EQ(withoutClock(ReadFile(outJa / report)), withoutClock(ReadFile(outEn / report))) << report;
        std::u32string err;
        EXPECT_TRUE(DecodeUtf8(runEn.err, &err)) << runEn.err;
        EXPECT_FALSE(HoldsJapanese(err)) << runEn.err;
        std::u32string errJa;
        if (hive != in / "missing") {
          EXPECT_TRUE(DecodeUtf8(runJa.err, &errJa) && HoldsJapanese(errJa)) << runJa.err;
        }
        if (runEn.err.find(" done") != std::string::npos) ++englishDone;
      }
    }
  }
  EXPECT_GT(englishDone, 0);
  // The summary follows the same choice; another language is a usage error.
  TempFolder out;
  ProcessResult run = Quelbrix({"search", sound, "--output-dir", out.path(), "--json", "--lang", "en"});
  EXPECT_EQ(Summary(run)["status_text"], "Search (dates) done");
  EXPECT_EQ(Quelbrix({"search", sound, "--lang", "fr"}).status, 2);
}

// The terminal language comes from the first of LC_ALL, LC_MESSAGES and LANG
// that is set and not empty, --lang over all of them; with none, Japanese.
// The --json status text is wholly in it, the note of an applied log too,
// and the report keeps its bytes whatever the language.
TEST(CliLanguage, FollowsTheLocaleUnlessLangIsGiven) {
  TempFolder in;
  auto generation = [](int keys) {
    HiveOptions o;
    o.primarySequence = 6;
    o.secondarySequence = 5;
    HiveBuilder b(o);
    for (int i = 0; i < keys; ++i) b.AddValue(b.AddKey(b.Root(), "Key" + std::to_string(i)), "V", 3, {1, 2});
    return b.Build();
  };
  std::vector<uint8_t> before = generation(2), after = generation(5);
  NewLogBuilder log(before, 5);
  log.AddEntry(5, before, after);
  std::string hive = in / "hive";
  WriteFile(hive, std::string(before.begin(), before.end()));
  WriteFile(in / "hive.LOG1", std::string(log.Bytes().begin(), log.Bytes().end()));

  struct Case {
    std::vector<std::string> env;  // NAME=VALUE; the three others are unset
    const char* lang;              // --lang, or null
    bool japanese;
  };
  const std::vector<Case> cases = {
      {{}, nullptr, true},
      {{"LANG=C.UTF-8"}, nullptr, false},
      {{"LANG=en_US.UTF-8"}, nullptr, false},
      {{"LANG=ja_JP.UTF-8"}, nullptr, true},
      {{"LC_ALL=ja_JP.UTF-8", "LC_MESSAGES=C", "LANG=en_US.UTF-8"}, nullptr, true},
      {{"LC_ALL=", "LC_MESSAGES=en_GB.UTF-8", "LANG=ja_JP.UTF-8"}, nullptr, false},
      {{"LC_ALL=", "LC_MESSAGES=", "LANG=ja_JP.eucJP"}, nullptr, true},
      {{"LANG=ja_JP.UTF-8"}, "en", false},
      {{"LC_ALL=C"}, "ja", true},
  };
  std::string firstReport;
  for (const Case& c : cases) {
    std::string trace;
    for (const std::string& e : c.env) trace += e + " ";
    SCOPED_TRACE(trace + (c.lang ? std::string("--lang ") + c.lang : ""));
    TempFolder out;
    std::vector<std::string> args = {"env", "-u", "LC_ALL", "-u", "LC_MESSAGES", "-u", "LANG"};
    args.insert(args.end(), c.env.begin(), c.env.end());
    args.insert(args.end(), {QUELBRIX_CLI, "search", hive, "--output-dir", out.path(), "--no-diagnostic", "--json"});
    if (c.lang) args.insert(args.end(), {"--lang", c.lang});
    ProcessResult run = RunProcess(args);
    ASSERT_EQ(run.status, 0) << run.err;
    nlohmann::json summary = Summary(run);
    ASSERT_EQ(summary["logs_applied"].size(), 1u) << run.out;
    std::string status = summary["status_text"];
    EXPECT_EQ(status, c.japanese ? "検索(日付有)完了 (トランザクションログ適用済)"
                                 : "Search (dates) done (transaction logs applied)");
    std::u32string err;
    EXPECT_TRUE(DecodeUtf8(run.err, &err));
    EXPECT_EQ(HoldsJapanese(err), c.japanese) << run.err;
    std::string report = ReadFile(summary["report"].get<std::string>());
    // The clock lines aside, every run writes the same report.
    std::vector<std::string> lines;
    EXPECT_TRUE(SplitCrLf(report, &lines));
    std::string timeless;
    for (const std::string& line : lines) {
      bool clock = line.size() > 19 && IsDateTime(line.substr(line.size() - 19));
      timeless += (clock ? line.substr(0, line.size() - 19) : line) + "\n";
    }
    if (firstReport.empty()) firstReport = timeless;
    EXPECT_EQ(timeless, firstReport);
  }
}

TEST(SharedHives, FolderIsPresent) {
  if (SharedHivesFolder().empty())
    GTEST_SKIP() << NoSharedHivesNote();
  std::vector<SharedHive> hives = ListSharedHives();
  EXPECT_FALSE(hives.empty());
  EXPECT_EQ(std::count_if(hives.begin(), hives.end(), [](const SharedHive& h) { return h.corrupted; }), 1);
  for (const auto& log : ListSharedLogs()) EXPECT_FALSE(log.corrupted) << log.name;
}

}  // namespace
}  // namespace quelbrix::testing
