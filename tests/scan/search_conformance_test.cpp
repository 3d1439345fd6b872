// Search on the real hives, held against an independent reader (python3-hivex):
// the key and value counts of the report, and every key path exactly once.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "support/run_process.h"
#include "support/shared_hives.h"

namespace quelbrix::testing {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> ReportLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find("\r\n", start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

long Number(const std::vector<std::string>& lines, const std::string& prefix) {
  for (const std::string& line : lines)
    if (line.rfind(prefix, 0) == 0) return std::strtol(line.c_str() + prefix.size(), nullptr, 10);
  return -1;
}

class SearchConformance : public ::testing::TestWithParam<SharedHive> {};

TEST_P(SearchConformance, CountsAndPathsMatchAnIndependentReader) {
  const SharedHive& hive = GetParam();
  std::string error;
  std::string path = DecompressedPath(hive, &error);
  ASSERT_FALSE(path.empty()) << error;
  fs::path out = fs::temp_directory_path() / ("quelbrix-conf-" + TestNameOf(hive.name) + "-" + std::to_string(getpid()));
  fs::create_directories(out);

  // Code page 65001 keeps every name lossless, so paths compare byte for byte.
  ProcessResult run = RunProcess({QUELBRIX_CLI, "search", "--no-dates", "--codepage", "65001", "--quiet",
                                  "--output-dir", out.string(), path});
  // 3: completed, damage found (a dirty base block, the damaged hive's broken bin).
  ASSERT_TRUE(run.status == 0 || run.status == 3) << run.status << run.err;
  std::string reportPath;
  for (const auto& entry : fs::directory_iterator(out)) reportPath = entry.path().string();
  ASSERT_FALSE(reportPath.empty());
  std::vector<std::string> lines = ReportLines(ReadAll(reportPath));

  if (hive.corrupted) {
    // The damage is a bin whose header is gone: the bin walk stops the scan.
    EXPECT_NE(std::find(lines.begin(), lines.end(), "HbinsSignature Error"), lines.end());
    EXPECT_EQ(Number(lines, "nkCells AccessCount="), -1);
    fs::remove_all(out);
    return;
  }

  ProcessResult reader = RunProcess({"/usr/bin/python3", std::string(QUELBRIX_TESTS_SOURCE) + "/scan/list_tree.py", path});
  ASSERT_EQ(reader.status, 0) << reader.err;
  std::vector<std::string> keyPaths;
  long keys = -1, values = -1;
  std::istringstream listing(reader.out);
  for (std::string line; std::getline(listing, line);) {
    if (line.rfind("K\t", 0) == 0) keyPaths.push_back(line.substr(2));
    if (line.rfind("N\t", 0) == 0) std::sscanf(line.c_str() + 2, "%ld\t%ld", &keys, &values);
  }
  EXPECT_EQ(Number(lines, "nkCells AccessCount="), keys);
  EXPECT_EQ(Number(lines, "vkCells AccessCount="), values);

  std::unordered_map<std::string, int> seen;
  for (const std::string& line : lines) seen[line]++;
  int missing = 0;
  for (const std::string& key : keyPaths) {
    auto it = seen.find(key);
    int count = it == seen.end() ? 0 : it->second;
    if (count != 1 && ++missing <= 5) ADD_FAILURE() << "key path seen " << count << " times: " << key;
  }
  EXPECT_EQ(missing, 0);
  fs::remove_all(out);
}

INSTANTIATE_TEST_SUITE_P(SharedHives, SearchConformance, ::testing::ValuesIn(ListSharedHives()),
                         [](const ::testing::TestParamInfo<SharedHive>& info) { return TestNameOf(info.param.name); });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(SearchConformance);

}  // namespace
}  // namespace quelbrix::testing
