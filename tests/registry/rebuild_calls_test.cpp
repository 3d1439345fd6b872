// The calls Hive rebuild makes, in its order: open HKLM\Rebuild, create each
// key with its class and descriptor, set each value (strings through the ANSI
// call, the rest through the UTF-16 call), close each key when its subtree is
// done.  Re-creating a shared hive this way into a mounted empty hive gives,
// after unload, a file that hivex and reglookup read as the original.
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
  for (const RegistryValue& v : key.Values) {
    std::string name = platform::Utf16ToAnsi(v.Name);
    if (v.Type == REG_SZ || v.Type == REG_EXPAND_SZ) {
      std::u16string text;
      for (size_t i = 0; i + 1 < v.Data.size(); i += 2) {
        char16_t unit = static_cast<char16_t>(v.Data[i] | v.Data[i + 1] << 8);
        if (unit == 0) break;
        text.push_back(unit);
      }
      std::string ansi = platform::Utf16ToAnsi(text);
      RegSetValueExA(handle, name.c_str(), 0, v.Type, reinterpret_cast<const uint8_t*>(ansi.c_str()),
                     static_cast<DWORD>(ansi.size() + 1));
    } else {
      std::u16string wide = platform::AnsiToUtf16(name);
      RegSetValueExW(handle, wide.c_str(), 0, v.Type, v.Data.data(), static_cast<DWORD>(v.Data.size()));
    }
  }
  for (const auto& child : key.Subkeys) {
    SECURITY_ATTRIBUTES sa;
    if (child->Security) {
      sa.lpSecurityDescriptor = child->Security->data();
      sa.DescriptorLength = static_cast<DWORD>(child->Security->size());
    }
    HKEY sub = 0;
    RegCreateKeyExA(handle, platform::Utf16ToAnsi(child->Name).c_str(), 0, platform::Utf16ToAnsi(child->Class).c_str(),
                    REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, &sa, &sub, nullptr);
    Recreate(*child, sub);
    RegCloseKey(sub);
  }
}

// reglookup's key lines without the last-write time, which the rebuild sets anew.
std::string KeysWithoutTimes(const std::string& csv) {
  std::string out;
  size_t start = 0;
  while (start < csv.size()) {
    size_t end = csv.find('\n', start);
    if (end == std::string::npos) end = csv.size();
    std::string line = csv.substr(start, end - start);
    size_t a = line.find(','), b = a == std::string::npos ? a : line.find(',', a + 1);
    size_t c = b == std::string::npos ? b : line.find(',', b + 1);
    size_t d = c == std::string::npos ? c : line.find(',', c + 1);
    if (d != std::string::npos) line.erase(c, d - c);
    out += line + "\n";
    start = end + 1;
  }
  return out;
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
  testing::CodePageScope utf8(65001);
  TempDir dir;
  RegistryTree tree;
  ASSERT_TRUE(ReadHiveFile(original, &tree, nullptr));
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
  RegCloseKey(root);
  ASSERT_EQ(RegUnLoadKeyA(HKEY_LOCAL_MACHINE, "Rebuild"), ERROR_SUCCESS);

  testing::ExpectOraclesAccept(target);
  ASSERT_EQ(testing::HivexListing(original, dir.File("a.txt"), {"--strings-to-nul"}).status, 0);
  ASSERT_EQ(testing::HivexListing(target, dir.File("b.txt"), {"--strings-to-nul"}).status, 0);
  EXPECT_TRUE(Text(dir.File("a.txt")) == Text(dir.File("b.txt"))) << "hivex lists different keys or values";
  testing::RunProcess({"reglookup", "-s", "-t", "KEY", original}, dir.File("a.keys"));
  testing::RunProcess({"reglookup", "-s", "-t", "KEY", target}, dir.File("b.keys"));
  std::string keys = KeysWithoutTimes(Text(dir.File("b.keys")));
  EXPECT_GT(keys.size(), 100u);
  EXPECT_TRUE(KeysWithoutTimes(Text(dir.File("a.keys"))) == keys) << "reglookup lists different descriptors or classes";
}

INSTANTIATE_TEST_SUITE_P(Hives, RebuildCalls, ::testing::Values("BCD", "SAM", "SECURITY", "NTUSER.DAT", "amcache.hve"),
                         [](const auto& info) { return testing::TestNameOf(info.param); });

}  // namespace
}  // namespace quelbrix::registry
