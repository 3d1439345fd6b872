// Defrag of every valid shared hive through the quelbrix command: the written
// hive opens in hivexml, regfinfo and reglookup, python3-hivex reads the same
// keys and values as in the original, the statistics after Defrag show no
// continued free cells, no unpacked cells and no free page that Defrag could
// have removed, and a further Defrag reaches a fixed point without growing
// the hive.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/hive_fixture.h"
#include "support/run_process.h"
#include "support/shared_hives.h"

namespace quelbrix::testing {
namespace {

// Every key path with its values (name, type, data), sorted, one line each;
// exit status 0 when both hives read the same.
constexpr const char* kCompareScript = R"PY(
import sys, hivex
def tree(path):
    h = hivex.Hivex(path)
    out = []
    stack = [(h.root(), "")]
    while stack:
        node, parent = stack.pop()
        path_ = parent + "\\" + h.node_name(node) if parent else "\\"
        values = sorted((h.value_key(v), h.value_type(v)[0], h.value_value(v)[1]) for v in h.node_values(node))
        out.append((path_, values))
        for child in h.node_children(node):
            stack.append((child, path_))
    return sorted(out)
a, b = tree(sys.argv[1]), tree(sys.argv[2])
if a != b:
    da, db = dict(a), dict(b)
    for key in sorted(set(da) | set(db)):
        if da.get(key) != db.get(key):
            print("differs at", key)
            break
    sys.exit(1)
print(len(a), sum(len(v) for _, v in a))
)PY";

struct Defragged {
  int status = -1;
  std::string err;
  std::vector<std::string> report;  // lines of the report file
};

Defragged DefragFile(const std::string& in, const std::string& out, const std::string& reportDir) {
  std::filesystem::create_directories(reportDir);
  ProcessResult r = RunProcess(
      {QUELBRIX_CLI, "defrag", in, "-o", out, "--output-dir", reportDir, "--quiet", "--no-color", "--no-diagnostic"});
  Defragged d{r.status, r.err, {}};
  for (const auto& entry : std::filesystem::directory_iterator(reportDir))
    if (entry.path().extension() == ".txt") d.report = SplitCrLf(ReadBytes(entry.path().string()));
  return d;
}

std::string LastLine(const std::vector<std::string>& lines, const std::string& prefix) {
  for (auto it = lines.rbegin(); it != lines.rend(); ++it)
    if (it->rfind(prefix, 0) == 0) return *it;
  return "";
}

std::vector<std::string> PassLines(const std::vector<std::string>& lines) {
  std::vector<std::string> out;
  for (const std::string& l : lines)
    if (l.find(" CellMoveCount=") != std::string::npos) out.push_back(l);
  return out;
}

uint32_t U32(const std::vector<uint8_t>& b, size_t at) {
  return at + 4 <= b.size() ? static_cast<uint32_t>(b[at] | b[at + 1] << 8 | b[at + 2] << 16 | b[at + 3] << 24) : 0;
}

// Bins whose free end is a whole page.  Each must be the one layout Defrag
// leaves it in: a page-multiple cell first in a bin one page longer than the
// cell, placed after every short cell had found room.
int FreePageBins(const std::vector<uint8_t>& hive) {
  int count = 0;
  size_t end = 4096 + static_cast<size_t>(U32(hive, 0x28));
  for (size_t bin = 4096; bin < end && end <= hive.size();) {
    uint32_t size = U32(hive, bin + 8);
    if (size < 32 || bin + size > end) {
      ADD_FAILURE() << "bin chain breaks at " << bin;
      break;
    }
    std::vector<int32_t> cells;
    for (size_t cell = bin + 32; cell < bin + size;) {
      int32_t s = static_cast<int32_t>(U32(hive, cell));
      if (s == 0) break;
      cells.push_back(s);
      cell += static_cast<uint32_t>(s < 0 ? -s : s);
    }
    if (!cells.empty() && cells.back() >= 4064) {
      ++count;
      EXPECT_EQ(cells, (std::vector<int32_t>{-static_cast<int32_t>(size - 4096), 4064})) << "free page at " << bin;
    }
    bin += size;
  }
  return count;
}

// Lines of a reader's warnings, with the cell offsets they name left out
// (Defrag moves cells).
std::set<std::string> Lines(const std::string& text) {
  std::set<std::string> out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) out.insert(std::regex_replace(l, std::regex("0x[0-9A-Fa-f]+"), "0x"));
  return out;
}

class DefragConformance : public ::testing::TestWithParam<SharedHive> {};

TEST_P(DefragConformance, WrittenHiveReadsTheSameAndIsCompact) {
  const SharedHive& hive = GetParam();
  std::string error;
  std::string original = DecompressedPath(hive, &error);
  ASSERT_FALSE(original.empty()) << error;
  TempDir dir;
  std::string out = dir.File("out");
  Defragged first = DefragFile(original, out, dir.File("r1"));
  // 3: completed, with damage found in the input (a dirty base block); written all the same.
  ASSERT_TRUE(first.status == 0 || first.status == 3) << first.status << first.err;

  EXPECT_EQ(RunProcess({"hivexml", out}, dir.File("xml")).status, 0);
  ProcessResult info = RunProcess({"regfinfo", out});
  EXPECT_EQ(info.status, 0) << info.err;
  ProcessResult lookup = RunProcess({"reglookup", out}, dir.File("lookup"));
  EXPECT_EQ(lookup.status, 0);
  std::string script = dir.File("compare.py");
  ASSERT_TRUE(WriteBytes(script, std::vector<uint8_t>(kCompareScript, kCompareScript + std::char_traits<char>::length(kCompareScript))));
  if (hive.corrupted) {
    // The readers refuse the damaged input; what Defrag salvaged is every key
    // Repair salvages (see the repair conformance test), and reads cleanly.
    std::vector<uint8_t> bytes = ReadBytes(dir.File("lookup"));
    std::string listed(bytes.begin(), bytes.end());
    size_t keys = 0;
    for (size_t at = 0; (at = listed.find(",KEY,", at)) != std::string::npos; ++at) ++keys;
    EXPECT_GE(keys, 1687u);
    EXPECT_EQ(lookup.err.find("ERROR"), std::string::npos) << lookup.err.substr(0, 500);
  } else {
    // reglookup warns about value data it cannot interpret; Defrag adds none.
    std::set<std::string> warnedBefore = Lines(RunProcess({"reglookup", original}, dir.File("lookup0")).err);
    for (const std::string& w : Lines(lookup.err)) EXPECT_TRUE(warnedBefore.count(w)) << w;
    ProcessResult same = RunProcess({"/usr/bin/python3", script, original, out});
    EXPECT_EQ(same.status, 0) << same.out << same.err;
  }

  EXPECT_EQ(LastLine(first.report, "ContinueCellsCount="), "ContinueCellsCount=0");
  EXPECT_EQ(LastLine(first.report, "UnpackedCellsCount="), "UnpackedCellsCount=0");
  std::vector<uint8_t> written = ReadBytes(out);
  int freePages = FreePageBins(written);
  EXPECT_EQ(LastLine(first.report, "UnallocHbinsCount="), "UnallocHbinsCount=" + std::to_string(freePages));

  // A second Defrag fills any page the first had to leave and never grows
  // the hive; from then on Defrag moves nothing and writes the same bytes.
  std::string again = dir.File("again");
  Defragged second = DefragFile(out, again, dir.File("r2"));
  ASSERT_EQ(second.status, 0) << second.err;
  std::vector<uint8_t> settled = ReadBytes(again);
  EXPECT_LE(settled.size(), written.size());
  EXPECT_EQ(FreePageBins(settled), 0);
  if (freePages == 0) {
    EXPECT_EQ(settled, written);
  } else {
    Defragged third = DefragFile(again, dir.File("third"), dir.File("r3"));
    ASSERT_EQ(third.status, 0) << third.err;
    EXPECT_EQ(ReadBytes(dir.File("third")), settled);
    second = third;
  }
  EXPECT_EQ(PassLines(second.report), (std::vector<std::string>{"UnpackedCells CellMoveCount=0 HbinDeleteCount=0",
                                                              "UnallocCells CellMoveCount=0 HbinDeleteCount=0",
                                                              "UnallocHbins CellMoveCount=0 HbinDeleteCount=0"}));
  if (!hive.corrupted) {
    EXPECT_EQ(RunProcess({"/usr/bin/python3", script, original, again}).status, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(SharedHives, DefragConformance, ::testing::ValuesIn(ListSharedHives()),
                         [](const ::testing::TestParamInfo<SharedHive>& info) { return TestNameOf(info.param.name); });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(DefragConformance);

}  // namespace
}  // namespace quelbrix::testing
