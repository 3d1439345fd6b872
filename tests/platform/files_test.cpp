// Files and paths: atomic replacement and copying (attributes kept, every
// failing step leaves the old file whole and says why) and the path helpers.
#include "platform/files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

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

size_t EntriesIn(const std::string& folder) {
  size_t n = 0;
  for (auto it = std::filesystem::directory_iterator(folder); it != std::filesystem::directory_iterator(); ++it) ++n;
  return n;
}

std::string Text(const std::string& path) {
  std::vector<uint8_t> bytes = ReadBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

TEST(WriteFileAtomic, KeepsOwnerAndGroupFollowsLinksAndRefusesReadOnlyFiles) {
  TempDir dir;
  std::string path = dir.File("hive");
  ASSERT_TRUE(WriteFileAtomic(path, "old", 3));
  if (geteuid() == 0) {
    ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
    ASSERT_TRUE(WriteFileAtomic(path, "new", 3));
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_gid, 65534u);
  }
  std::string link = dir.File("link");
  ASSERT_EQ(symlink(path.c_str(), link.c_str()), 0);
  ASSERT_TRUE(WriteFileAtomic(link, "via link", 8));
  EXPECT_EQ(Text(path), "via link");
  struct stat lst {};
  ASSERT_EQ(lstat(link.c_str(), &lst), 0);
  EXPECT_TRUE(S_ISLNK(lst.st_mode));

  ASSERT_EQ(chmod(path.c_str(), 0444), 0);
  EXPECT_FALSE(WriteFileAtomic(path, "lost", 4));
  Status refused = MayReplaceFile(path);
  EXPECT_EQ(Text(path), "via link");
  EXPECT_EQ(refused.Code, EACCES);
  EXPECT_EQ(refused.Path, path);
  EXPECT_EQ(EntriesIn(dir.Path()), 2u);
}

// Each step of a replacement fails in turn through the test seam: the old
// bytes stay, no temporary file is left, and the error names the target.
TEST(WriteFileAtomic, EveryFailingStepLeavesTheOldFileWhole) {
  TempDir dir;
  std::string path = dir.File("hive");
  std::string copy = dir.File("hive.copy");
  ASSERT_TRUE(WriteFileAtomic(path, "old bytes", 9));
  for (const char* op : {"open", "write", "fsync", "close", "rename"}) {
    SetFileFailuresForTest(std::string(op) + ":1");
    Status failed = WriteFileAtomic(path, "new", 3);
    EXPECT_FALSE(failed) << op;
    EXPECT_EQ(Text(path), "old bytes") << op;
    EXPECT_EQ(failed.Code, EIO) << op;
    EXPECT_EQ(failed.Path, path) << op;
    EXPECT_NE(failed.Text().find(": " + path + ": "), std::string::npos) << op;
    SetFileFailuresForTest(std::string(op) + ":1");
    EXPECT_FALSE(CopyFileAtomic(path, copy)) << op;
    EXPECT_EQ(EntriesIn(dir.Path()), 1u) << op;
  }
  SetFileFailuresForTest("");
  // The seam counts: the second rename fails, the first goes through.
  SetFileFailuresForTest("rename:2");
  EXPECT_TRUE(WriteFileAtomic(path, "first", 5));
  EXPECT_FALSE(WriteFileAtomic(path, "second", 6));
  EXPECT_EQ(Text(path), "first");
  SetFileFailuresForTest("");
}

TEST(CopyFileAtomic, CopiesBytesAndModeAndNeverReplaces) {
  TempDir dir;
  std::string from = dir.File("hive"), to = dir.File("hive.20260101000000");
  std::string big(3 << 20, 'x');
  big[12345] = 'y';
  ASSERT_TRUE(WriteFileAtomic(from, big.data(), big.size()));
  ASSERT_EQ(chmod(from.c_str(), 0640), 0);
  ASSERT_TRUE(CopyFileAtomic(from, to));
  EXPECT_TRUE(Text(to) == big);
  struct stat st {};
  ASSERT_EQ(stat(to.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(CopyFileAtomic(from, to).Code, EEXIST);
  EXPECT_EQ(CopyFileAtomic(dir.File("absent"), dir.File("other")).Code, ENOENT);
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
