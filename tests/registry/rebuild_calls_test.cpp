// The calls Hive rebuild makes, in its order: open HKLM\Rebuild, create each
// key with its class and descriptor, set each value, give each key its time
// and close it when its subtree is done, all in UTF-16.  Re-creating a shared
// hive this way into a mounted empty hive at code page 932 gives, after
// unload, a file that hivex and reglookup read as the original, times and all.
#include <gtest/gtest.h>

#include "platform/text.h"
#include "registry/hive_reader.h"
#include "registry/hive_writer.h"
#include "registry/registry.h"
#include "registry_test_util.h"
#include "support/hive_fixture.h"
#include "support/shared_hives.h"

namespace quelbrix::registry {
namespace {

using testing::TempDir;

void Recreate(const RegistryKey& key, HKEY handle) {
  for (const RegistryValue& v : key.Values)
    RegSetValueExW(handle, v.Name.c_str(), 0, v.Type, v.Data.data(), static_cast<DWORD>(v.Data.size()));
  for (const auto& child : key.Subkeys) {
    SECURITY_ATTRIBUTES sa;
    if (child->Security) {
      sa.lpSecurityDescriptor = child->Security->data();
      sa.DescriptorLength = static_cast<DWORD>(child->Security->size());
    }
    HKEY sub = 0;
    RegCreateKeyExW(handle, child->Name.c_str(), 0, child->Class.c_str(), REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, &sa,
                    &sub, nullptr);
    Recreate(*child, sub);
    SetKeyLastWriteTime(sub, child->LastWrite);
    RegCloseKey(sub);
  }
}

std::string Text(const std::string& path) {
  auto bytes = testing::ReadBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

class RebuildCalls : public ::testing::TestWithParam<const char*> {};

TEST_P(RebuildCalls, RecreatedHiveReadsAsTheOriginal) {
  if (testing::SharedHivesFolder().empty()) GTEST_SKIP() << testing::NoSharedHivesNote();
  testing::SharedHive source;
  for (const auto& h : testing::ListSharedHives())
    if (h.name == GetParam()) source = h;
  ASSERT_FALSE(source.name.empty()) << GetParam();
  std::string original = testing::DecompressedPath(source);
  ASSERT_FALSE(original.empty());
  testing::CodePageScope japanese(932);
  TempDir dir;
  RegistryTree tree;
  ASSERT_TRUE(ReadHiveFile(original, &tree));
  RegistryTree empty = EmptyTree(tree.Root->Name, tree.Root->LastWrite);
  empty.MajorVersion = tree.MajorVersion;
  empty.MinorVersion = tree.MinorVersion;
  empty.Root->Security = tree.Root->Security;
  std::string target = dir.File("target.hiv");
  ASSERT_TRUE(WriteHiveFile(target, empty));

  ASSERT_TRUE(SelectMachineRegistry(dir.File("registry")));
  ASSERT_EQ(RegLoadKeyA(HKEY_LOCAL_MACHINE, "Rebuild", target.c_str()), ERROR_SUCCESS);
  HKEY root = 0;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Rebuild", 0, KEY_ALL_ACCESS, &root), ERROR_SUCCESS);
  Recreate(*tree.Root, root);
  SetKeyLastWriteTime(root, tree.Root->LastWrite);
  EXPECT_EQ(RegCloseKey(root), ERROR_SUCCESS);
  ASSERT_EQ(RegUnLoadKeyA(HKEY_LOCAL_MACHINE, "Rebuild"), ERROR_SUCCESS);

  testing::ExpectOraclesAccept(target);
  ASSERT_EQ(testing::HivexListing(original, dir.File("a.txt")).status, 0);
  ASSERT_EQ(testing::HivexListing(target, dir.File("b.txt")).status, 0);
  EXPECT_TRUE(Text(dir.File("a.txt")) == Text(dir.File("b.txt"))) << "hivex lists different keys or values";
  testing::RunProcess({"reglookup", "-s", "-t", "KEY", original}, dir.File("a.keys"));
  testing::RunProcess({"reglookup", "-s", "-t", "KEY", target}, dir.File("b.keys"));
  std::string keys = Text(dir.File("b.keys"));
  EXPECT_GT(keys.size(), 100u);
  EXPECT_TRUE(Text(dir.File("a.keys")) == keys) << "reglookup lists different times, descriptors or classes";
}

INSTANTIATE_TEST_SUITE_P(Hives, RebuildCalls, ::testing::Values("BCD", "SAM", "SECURITY", "NTUSER.DAT", "amcache.hve"),
                         [](const auto& info) { return testing::TestNameOf(info.param); });

}  // namespace
}  // namespace quelbrix::registry
