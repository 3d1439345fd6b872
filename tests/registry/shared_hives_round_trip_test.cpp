// Every valid shared hive read into a registry tree and written back by the
// hive writer: hivex lists the same keys and values, reglookup the same
// descriptors, classes and times, and the hive reader the same tree.
#include <gtest/gtest.h>

#include "registry/hive_reader.h"
#include "registry/hive_writer.h"
#include "registry_test_util.h"
#include "support/hive_fixture.h"
#include "support/shared_hives.h"

namespace quelbrix::registry {
namespace {

using testing::ProcessResult;
using testing::RunProcess;
using testing::SharedHive;
using testing::TempDir;

std::vector<SharedHive> ValidHives() {
  std::vector<SharedHive> hives;
  for (const auto& h : testing::ListSharedHives())
    if (!h.corrupted) hives.push_back(h);
  return hives;
}

std::string Text(const std::string& path) {
  auto bytes = testing::ReadBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

class SharedHiveRoundTrip : public ::testing::TestWithParam<SharedHive> {};

TEST_P(SharedHiveRoundTrip, WrittenHiveHoldsWhatTheOriginalHolds) {
  std::string error;
  std::string original = testing::DecompressedPath(GetParam(), &error);
  ASSERT_FALSE(original.empty()) << error;
  TempDir dir;
  RegistryTree tree;
  platform::Status read = ReadHiveFile(original, &tree);
  ASSERT_TRUE(read) << read.Text();
  std::string written = dir.File(GetParam().name);
  ASSERT_TRUE(WriteHiveFile(written, tree));
  testing::ExpectOraclesAccept(written);

  ProcessResult a = testing::HivexListing(original, dir.File("original.txt"));
  ProcessResult b = testing::HivexListing(written, dir.File("written.txt"));
  ASSERT_EQ(a.status, 0) << a.err;
  ASSERT_EQ(b.status, 0) << b.err;
  std::string listing = Text(dir.File("written.txt"));
  EXPECT_GT(listing.size(), 4u);
  EXPECT_TRUE(Text(dir.File("original.txt")) == listing) << "hivex lists different keys or values";

  // Owner, group, SACL, DACL, class and last-write time of every key.
  a = RunProcess({"reglookup", "-s", "-t", "KEY", original}, dir.File("original.keys"));
  b = RunProcess({"reglookup", "-s", "-t", "KEY", written}, dir.File("written.keys"));
  ASSERT_EQ(a.status, 0);
  ASSERT_EQ(b.status, 0);
  EXPECT_TRUE(Text(dir.File("original.keys")) == Text(dir.File("written.keys")))
      << "reglookup lists different descriptors, classes or times";

  RegistryTree back;
  read = ReadHiveFile(written, &back);
  ASSERT_TRUE(read) << read.Text();
  EXPECT_EQ(back.MajorVersion, tree.MajorVersion);
  EXPECT_EQ(back.MinorVersion, tree.MinorVersion);
  testing::ExpectSameTree(*tree.Root, *back.Root);
}

INSTANTIATE_TEST_SUITE_P(Hives, SharedHiveRoundTrip, ::testing::ValuesIn(ValidHives()),
                         [](const auto& info) { return testing::TestNameOf(info.param.name); });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(SharedHiveRoundTrip);

TEST(SharedHiveReader, TheDamagedSystemHiveIsRefusedWithAReason) {
  if (testing::SharedHivesFolder().empty()) GTEST_SKIP() << testing::NoSharedHivesNote();
  bool seen = false;
  for (const auto& h : testing::ListSharedHives()) {
    if (!h.corrupted) continue;
    seen = true;
    std::string path = testing::DecompressedPath(h);
    ASSERT_FALSE(path.empty());
    RegistryTree tree;
    platform::Status read = ReadHiveFile(path, &tree);
    EXPECT_FALSE(read);
    EXPECT_NE(read.Reason.find("CellOffset 0x"), std::string::npos) << read.Text();
  }
  EXPECT_TRUE(seen);
}

}  // namespace
}  // namespace quelbrix::registry
