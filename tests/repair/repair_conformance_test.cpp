// Repair of every shared hive through the quelbrix command, written over a
// copy: the result opens in hivexml, regfinfo and reglookup, python3-hivex
// reads the same keys and values as in the original (string values compared
// by their text, since Repair corrects string lengths), and a second Repair
// finds nothing left to do.  The damaged hive, which no reader opens, keeps
// every key an independent walk around its broken bins reaches.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "support/run_process.h"
#include "support/shared_hives.h"

namespace quelbrix::testing {
namespace {

namespace fs = std::filesystem;

// Exit status 0 when both hives hold the same tree.  Strings (types 1, 2, 7)
// compare by their text up to the terminator Repair puts in place.
constexpr const char* kCompareScript = R"PY(
import sys, hivex
def text(t, d):
    if t in (1, 2):
        d = d[:len(d) - len(d) % 2]
        for i in range(0, len(d), 2):
            if d[i:i+2] == b"\0\0":
                return d[:i]
        return d
    if t == 7:
        d = d[:len(d) - len(d) % 2]
        while d.endswith(b"\0\0"):
            d = d[:-2]
        return d
    return d
def tree(path):
    h = hivex.Hivex(path)
    out = {}
    stack = [(h.root(), "")]
    while stack:
        node, parent = stack.pop()
        p = parent + "\\" + h.node_name(node)
        vals = []
        for v in h.node_values(node):
            t, d = h.value_value(v)
            vals.append((h.value_key(v), t, text(t, d)))
        out[p] = sorted(vals)
        for child in h.node_children(node):
            stack.append((child, p))
    return out
a, b = tree(sys.argv[1]), tree(sys.argv[2])
for key in sorted(set(a) | set(b)):
    if a.get(key) != b.get(key):
        print("differs at", key)
        sys.exit(1)
print(len(a), sum(len(v) for v in a.values()))
)PY";

struct Repaired {
  int status = -1;
  std::string err;
  std::string summary;  // the counter lines after "[Repair Summary]"
};

Repaired RepairFile(const std::string& file, const std::string& reportDir) {
  fs::remove_all(reportDir);
  fs::create_directories(reportDir);
  ProcessResult r = RunProcess({QUELBRIX_CLI, "repair", file, "--write", "--output-dir", reportDir, "--quiet",
                                "--no-color", "--no-diagnostic"});
  Repaired result{r.status, r.err, ""};
  for (const auto& entry : fs::directory_iterator(reportDir)) {
    std::ifstream in(entry.path(), std::ios::binary);
    std::string line;
    bool inSummary = false;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.rfind("[Repair Summary]", 0) == 0) inSummary = true;
      else if (line.rfind("[HbinsCellsStruct Status]", 0) == 0) inSummary = false;
      else if (inSummary) result.summary += line + "\n";
    }
  }
  return result;
}

class RepairConformance : public ::testing::TestWithParam<SharedHive> {};

TEST_P(RepairConformance, RepairedHiveReadsTheSameInIndependentReaders) {
  const SharedHive& hive = GetParam();
  std::string error;
  std::string original = DecompressedPath(hive, &error);
  ASSERT_FALSE(original.empty()) << error;
  fs::path work = fs::temp_directory_path() / ("quelbrix-repair-" + TestNameOf(hive.name) + "-" + std::to_string(::getpid()));
  fs::create_directories(work);
  std::string copy = (work / hive.name).string();
  fs::copy_file(original, copy, fs::copy_options::overwrite_existing);

  Repaired first = RepairFile(copy, (work / "r1").string());
  // 3: completed, with damage found in the input; written all the same.
  ASSERT_TRUE(first.status == 0 || first.status == 3) << first.status << first.err;

  ProcessResult xml = RunProcess({"hivexml", copy});
  EXPECT_EQ(xml.status, 0) << xml.err.substr(0, 500);
  ProcessResult info = RunProcess({"regfinfo", copy});
  EXPECT_EQ(info.status, 0) << info.err.substr(0, 500);
  ProcessResult lookup = RunProcess({"reglookup", copy});
  EXPECT_EQ(lookup.status, 0) << lookup.err.substr(0, 500);
  EXPECT_EQ(lookup.err.find("ERROR"), std::string::npos) << lookup.err.substr(0, 500);

  if (hive.corrupted) {
    size_t keys = 0;
    for (size_t at = 0; (at = lookup.out.find(",KEY,", at)) != std::string::npos; ++at) ++keys;
    EXPECT_GE(keys, 1687u);
  } else {
    std::string script = (work / "compare.py").string();
    std::ofstream(script) << kCompareScript;
    ProcessResult same = RunProcess({"/usr/bin/python3", script, original, copy});
    EXPECT_EQ(same.status, 0) << same.out << same.err.substr(0, 500);
  }

  std::ifstream firstIn(copy, std::ios::binary);
  std::string firstBytes((std::istreambuf_iterator<char>(firstIn)), std::istreambuf_iterator<char>());
  Repaired second = RepairFile(copy, (work / "r2").string());
  // A repaired hive holds no damage: its report has no fault line (exit 0).
  ASSERT_EQ(second.status, 0) << second.err;
  EXPECT_EQ(second.summary, "");
  std::ifstream secondIn(copy, std::ios::binary);
  std::string secondBytes((std::istreambuf_iterator<char>(secondIn)), std::istreambuf_iterator<char>());
  EXPECT_TRUE(firstBytes == secondBytes) << "a second Repair changed the hive";
  fs::remove_all(work);
}

INSTANTIATE_TEST_SUITE_P(SharedHives, RepairConformance, ::testing::ValuesIn(ListSharedHives()),
                         [](const ::testing::TestParamInfo<SharedHive>& info) { return TestNameOf(info.param.name); });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(RepairConformance);

}  // namespace
}  // namespace quelbrix::testing
