// Files and paths: atomic replacement and the path helpers.
#include "platform/files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "support/hive_fixture.h"

namespace quelbrix::platform {
namespace {

using quelbrix::testing::ReadBytes;
using quelbrix::testing::TempDir;

TEST(WriteFileAtomic, ReplacesTheFileAndKeepsItsPermissions) {
  TempDir dir;
  std::string path = dir.File("target");
  ASSERT_TRUE(WriteFileAtomic(path, "old", 3));
  ASSERT_EQ(chmod(path.c_str(), 0600), 0);
  ASSERT_TRUE(WriteFileAtomic(path, "new bytes", 9));
  std::vector<uint8_t> got = ReadBytes(path);
  EXPECT_EQ(std::string(got.begin(), got.end()), "new bytes");
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  size_t files = 0;
  for (auto it = std::filesystem::directory_iterator(dir.Path()); it != std::filesystem::directory_iterator(); ++it)
    ++files;
  EXPECT_EQ(files, 1u);
}

TEST(WriteFileAtomic, FailsCleanlyIntoAMissingFolder) {
  TempDir dir;
  EXPECT_FALSE(WriteFileAtomic(dir.File("no/such/file"), "x", 1));
  EXPECT_FALSE(FileExists(dir.File("no")));
}

TEST(Paths, SizeFolderAndName) {
  TempDir dir;
  EXPECT_EQ(FileSizeOf(dir.Path()), 0u);  // a folder has no size here
  EXPECT_EQ(FileSizeOf(dir.File("absent")), 0u);
  ASSERT_TRUE(WriteFileAtomic(dir.File("f"), "12345", 5));
  EXPECT_EQ(FileSizeOf(dir.File("f")), 5u);
  EXPECT_EQ(FolderOf("/a/b/c"), "/a/b");
  EXPECT_EQ(FolderOf("/c"), "/");
  EXPECT_EQ(FolderOf("c"), "");
  EXPECT_EQ(FileNameOf("/a/b/SYSTEM"), "SYSTEM");
  EXPECT_EQ(FileNameOf("SYSTEM"), "SYSTEM");
}

}  // namespace
}  // namespace quelbrix::platform
