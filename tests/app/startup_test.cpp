// Start-up rules: diagnostic mode from the program's path, and the test that
// a file is a hive worth reading.
#include "app/startup.h"

#include <gtest/gtest.h>

#include "core/report_log.h"
#include "support/hive_fixture.h"

namespace quelbrix {
namespace {

TEST(DiagnosticPath, ReleaseOrQuelbrixDebugInAnyCase) {
  EXPECT_TRUE(DiagnosticPath("/opt/Release/quelbrix"));
  EXPECT_TRUE(DiagnosticPath("/home/u/QUELBRIX/Debug/quelbrix"));
  EXPECT_TRUE(DiagnosticPath("C:\\Tools\\Quelbrix\\debug\\quelbrix.exe"));
  EXPECT_FALSE(DiagnosticPath("/home/u/debug/quelbrix"));
  EXPECT_FALSE(DiagnosticPath("/work/main/build/quelbrix"));
}

TEST(CheckHiveFile, RefusesShortFoldersAndForeignFiles) {
  testing::TempDir dir;
  EXPECT_EQ(CheckHiveFile(dir.Path()), "FileSize Error");
  EXPECT_EQ(CheckHiveFile(dir.File("absent")), "FileSize Error");
  ASSERT_TRUE(testing::WriteBytes(dir.File("short"), std::vector<uint8_t>(4095, 0)));
  EXPECT_EQ(CheckHiveFile(dir.File("short")), "FileSize Error");
  std::vector<uint8_t> page(4096, 0);
  ASSERT_TRUE(testing::WriteBytes(dir.File("zero"), page));
  EXPECT_EQ(CheckHiveFile(dir.File("zero")), "regf Signature Error");
  page[0] = 'r', page[1] = 'e', page[2] = 'g', page[3] = 'f';
  ASSERT_TRUE(testing::WriteBytes(dir.File("hive"), page));
  EXPECT_EQ(CheckHiveFile(dir.File("hive")), "");
}

}  // namespace
}  // namespace quelbrix
