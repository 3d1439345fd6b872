// The Reg* calls over a machine registry folder: Windows semantics and error
// codes, the machine hives made on first use, write-back at the last close
// and at flush, mounts that outlive the process, saves.
#include "registry/registry.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/files.h"
#include "platform/text.h"
#include "registry/hive_reader.h"
#include "registry/hive_writer.h"
#include "registry/mount_table.h"
#include "registry_test_util.h"
#include "support/hive_fixture.h"

namespace quelbrix::registry {
namespace {

using testing::ReadBytes;
using testing::TempDir;

class RegCalls : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(SelectMachineRegistry(Folder())); }
  std::string Folder() const { return dir.File("registry"); }

  HKEY Open(const char* path) {
    HKEY key = 0;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS) << path;
    return key;
  }
  HKEY Create(HKEY parent, const char* name, const char* className = nullptr,
              const SECURITY_ATTRIBUTES* sa = nullptr, DWORD* how = nullptr) {
    HKEY key = 0;
    EXPECT_EQ(RegCreateKeyExA(parent, name, 0, className, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, sa, &key, how),
              ERROR_SUCCESS)
        << name;
    return key;
  }
  RegistryTree ReadBack(const std::string& path) {
    RegistryTree tree;
    platform::Status read = ReadHiveFile(path, &tree);
    EXPECT_TRUE(read) << read.Text();
    return tree;
  }
  // A hive file with one key "Inside" and a value, outside the registry folder.
  std::string HiveFile(const std::string& name) {
    RegistryTree tree = EmptyTree(u"LOADED", 0x01D0000000000000ull);
    auto inside = std::make_shared<RegistryKey>();
    inside->Name = u"Inside";
    inside->Security = StandardDescriptor();
    inside->Values.push_back({u"v", REG_DWORD, {7, 0, 0, 0}, 0});
    tree.Root->AddSubkey(inside, 0);
    std::string path = dir.File(name);
    EXPECT_TRUE(WriteHiveFile(path, tree));
    return path;
  }

  TempDir dir;
};

TEST_F(RegCalls, MachineHivesAreMadeOnFirstUseAndEnumeratedUnderHklm) {
  HKEY key = 0;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Rebuild", 0, KEY_ALL_ACCESS, &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key, 0u);
  EXPECT_FALSE(platform::FileExists(Folder()));  // looking for a mount creates nothing

  key = Open("system");
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  for (const char* name : {"SYSTEM", "SOFTWARE", "SAM", "SECURITY"}) {
    RegistryTree tree = ReadBack(Folder() + "/" + name);
    ASSERT_TRUE(tree.Root);
    EXPECT_TRUE(tree.Root->Subkeys.empty());
  }
  testing::ExpectOraclesAccept(Folder() + "/SYSTEM");

  char name[16];
  std::vector<std::string> names;
  for (DWORD i = 0;; ++i) {
    DWORD chars = sizeof name;
    LONG r = RegEnumKeyExA(HKEY_LOCAL_MACHINE, i, name, &chars, nullptr, nullptr, nullptr, nullptr);
    if (r != ERROR_SUCCESS) {
      EXPECT_EQ(r, ERROR_NO_MORE_ITEMS);
      break;
    }
    names.emplace_back(name, chars);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"SYSTEM", "SOFTWARE", "SAM", "SECURITY"}));
}

TEST_F(RegCalls, KeysAreCreatedOpenedEnumeratedAndDeletedAsOnWindows) {
  HKEY software = Open("SOFTWARE");
  DWORD how = 0;
  HKEY b = Create(software, "Alpha\\Beta", nullptr, nullptr, &how);
  EXPECT_EQ(how, REG_CREATED_NEW_KEY);
  HKEY again = Create(software, "ALPHA\\beta", nullptr, nullptr, &how);
  EXPECT_EQ(how, REG_OPENED_EXISTING_KEY);
  RegCloseKey(again);
  HKEY opened = 0;
  EXPECT_EQ(RegOpenKeyExA(software, "alpha\\BETA", 0, KEY_READ, &opened), ERROR_SUCCESS);
  RegCloseKey(opened);
  EXPECT_EQ(RegOpenKeyExA(software, "Alpha\\Gamma", 0, KEY_READ, &opened), ERROR_FILE_NOT_FOUND);

  char name[8];
  DWORD chars = 5;  // "Alpha" needs 6 with its NUL
  EXPECT_EQ(RegEnumKeyExA(software, 0, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  chars = sizeof name;
  EXPECT_EQ(RegEnumKeyExA(software, 0, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(std::string(name, chars), "Alpha");
  chars = sizeof name;
  EXPECT_EQ(RegEnumKeyExA(software, 1, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);

  EXPECT_EQ(RegDeleteKeyA(software, "Alpha"), ERROR_ACCESS_DENIED);  // it has a subkey
  EXPECT_EQ(RegDeleteKeyA(software, "Alpha\\Beta"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(software, "Alpha\\Beta"), ERROR_FILE_NOT_FOUND);
  uint8_t one = 1;
  EXPECT_EQ(RegSetValueExA(b, "x", 0, REG_BINARY, &one, 1), ERROR_KEY_DELETED);
  EXPECT_EQ(RegCloseKey(b), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(software, "Alpha"), ERROR_SUCCESS);

  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE"), ERROR_ACCESS_DENIED);
  HKEY none = 0;
  EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Other", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &none, nullptr),
            ERROR_ACCESS_DENIED);
  // A failed create leaves handle 0, and every call on it fails.
  EXPECT_EQ(RegSetValueExA(none, "x", 0, REG_BINARY, &one, 1), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCreateKeyExA(none, "x", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &none, nullptr), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(none), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(software), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(software), ERROR_INVALID_HANDLE);
}

TEST_F(RegCalls, StringsPassTheAnsiCodePageOtherDataIsStoredAsGiven) {
  testing::CodePageScope cp(932);
  HKEY software = Open("SOFTWARE");
  HKEY key = Create(software, "Values");
  RegCloseKey(software);
  std::string text = platform::Utf8ToAnsi("日本") + std::string(1, '\0');
  ASSERT_EQ(text.size(), 5u);  // two double-byte characters and the NUL
  auto data = [](const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); };
  EXPECT_EQ(RegSetValueExA(key, "sz", 0, REG_BINARY, data(text), 1), ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExA(key, "SZ", 0, REG_SZ, data(text), 5), ERROR_SUCCESS);  // replaces, in place
  EXPECT_EQ(RegSetValueExA(key, "multi", 0, REG_MULTI_SZ, data(std::string("a\0b\0\0", 5)), 5), ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExA(key, "bin", 0, REG_BINARY, data(text), 5), ERROR_SUCCESS);
  const uint8_t odd[3] = {1, 2, 3};
  EXPECT_EQ(RegSetValueExW(key, u"ワイド", 0, 0x20, odd, 3), ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExA(key, nullptr, 0, REG_DWORD, odd, 3), ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExA(key, "ex", 0, REG_EXPAND_SZ, data(std::string("%x%\0", 4)), 4), ERROR_SUCCESS);

  // The ANSI enumeration gives strings back in the code page.
  char name[32];
  uint8_t buffer[32];
  DWORD chars = sizeof name, type = 0, size = sizeof buffer;
  ASSERT_EQ(RegEnumValueA(key, 0, name, &chars, nullptr, &type, buffer, &size), ERROR_SUCCESS);
  EXPECT_EQ(std::string(name, chars), "sz");
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), size), text);
  chars = sizeof name;
  size = 2;
  EXPECT_EQ(RegEnumValueA(key, 2, name, &chars, nullptr, &type, buffer, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 5u);
  chars = sizeof name;
  EXPECT_EQ(RegEnumValueA(key, 6, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(RegDeleteValueA(key, "missing"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteValueA(key, "BIN"), ERROR_SUCCESS);
  RegCloseKey(key);

  // In the file: UTF-16 for the strings, the bytes as given for the rest.
  RegistryTree tree = ReadBack(Folder() + "/SOFTWARE");
  const RegistryKey* values = tree.Root->Subkey(u"Values");
  ASSERT_NE(values, nullptr);
  ASSERT_EQ(values->Values.size(), 5u);
  EXPECT_EQ(values->Values[0].Data, (std::vector<uint8_t>{0xE5, 0x65, 0x2C, 0x67, 0, 0}));  // 日本 and NUL
  EXPECT_EQ(values->Values[1].Data, (std::vector<uint8_t>{'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0}));
  EXPECT_TRUE(values->Values[2].Name == u"ワイド");
  EXPECT_EQ(values->Values[2].Type, 0x20u);
  EXPECT_EQ(values->Values[2].Data, (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_TRUE(values->Values[3].Name.empty());
  EXPECT_EQ(values->Values[3].Data, (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(values->Values[4].Type, REG_EXPAND_SZ);
  EXPECT_EQ(values->Values[4].Data, (std::vector<uint8_t>{'%', 0, 'x', 0, '%', 0, 0, 0}));
}

TEST_F(RegCalls, NewKeysTakeTheirClassAndDescriptorOrTheirParentsDescriptor) {
  testing::CodePageScope cp(932);
  std::vector<uint8_t> sd = *StandardDescriptor();
  sd[32] = 0x3E;
  SECURITY_ATTRIBUTES sa;
  sa.lpSecurityDescriptor = sd.data();
  sa.DescriptorLength = static_cast<DWORD>(sd.size());
  HKEY system = Open("SYSTEM");
  HKEY own = Create(system, "Own", platform::Utf8ToAnsi("クラス").c_str(), &sa);
  HKEY child = Create(own, "Child");
  std::vector<uint8_t> broken = sd;
  broken[0] = 2;  // revision
  sa.lpSecurityDescriptor = broken.data();
  HKEY bad = 0;
  EXPECT_EQ(RegCreateKeyExA(system, "Bad", 0, nullptr, 0, KEY_ALL_ACCESS, &sa, &bad, nullptr),
            ERROR_INVALID_SECURITY_DESCR);
  char name[16], className[16];
  DWORD chars = sizeof name, classChars = sizeof className;
  uint64_t written = 0;
  ASSERT_EQ(RegEnumKeyExA(system, 0, name, &chars, nullptr, className, &classChars, &written), ERROR_SUCCESS);
  EXPECT_EQ(platform::AnsiToUtf8(std::string(className, classChars)), "クラス");
  EXPECT_GT(written, 0x01D0000000000000ull);
  for (HKEY k : {child, own, system}) RegCloseKey(k);

  RegistryTree tree = ReadBack(Folder() + "/SYSTEM");
  ASSERT_EQ(tree.Root->Subkeys.size(), 1u);  // no "Bad"
  const RegistryKey& ownKey = *tree.Root->Subkeys[0];
  EXPECT_TRUE(ownKey.Class == u"クラス");
  EXPECT_EQ(*ownKey.Security, sd);
  ASSERT_EQ(ownKey.Subkeys.size(), 1u);
  EXPECT_TRUE(ownKey.Subkeys[0]->Class.empty());
  EXPECT_EQ(*ownKey.Subkeys[0]->Security, sd);
}

TEST_F(RegCalls, ChangesReachTheFileAtFlushAndAtTheLastCloseOnly) {
  HKEY sam = Open("SAM");
  std::string file = Folder() + "/SAM";
  std::vector<uint8_t> before = ReadBytes(file);
  HKEY a = Create(sam, "A");
  HKEY volatileKey = 0;
  ASSERT_EQ(RegCreateKeyExA(sam, "Temp", 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &volatileKey,
                            nullptr),
            ERROR_SUCCESS);
  HKEY lasting = 0;
  EXPECT_EQ(RegCreateKeyExA(volatileKey, "Lasting", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &lasting, nullptr),
            ERROR_CHILD_MUST_BE_VOLATILE);
  RegCloseKey(volatileKey);
  EXPECT_EQ(ReadBytes(file), before);
  EXPECT_EQ(RegFlushKey(a), ERROR_SUCCESS);
  RegistryTree flushed = ReadBack(file);
  ASSERT_EQ(flushed.Root->Subkeys.size(), 1u);  // the volatile key is never written
  EXPECT_GT(flushed.Sequence, ReadBack(dir.File("registry/SECURITY")).Sequence);

  HKEY b = Create(sam, "B");
  RegCloseKey(b);
  RegCloseKey(a);
  EXPECT_EQ(ReadBack(file).Root->Subkeys.size(), 1u);  // SAM is still open
  RegCloseKey(sam);
  EXPECT_EQ(ReadBack(file).Root->Subkeys.size(), 2u);
}

TEST_F(RegCalls, LoadMountsAFileUnderHklmUntilUnload) {
  std::string hive = HiveFile("x.hiv");
  std::vector<uint8_t> original = ReadBytes(hive);
  std::string other = HiveFile("other.hiv");
  std::string damaged = HiveFile("damaged.hiv");
  {
    std::vector<uint8_t> bytes = ReadBytes(damaged);
    bytes[4096 + 32 + 4] = 'x';  // the root nk's signature
    testing::WriteBytes(damaged, bytes);
  }
  std::vector<uint8_t> damagedBytes = ReadBytes(damaged);

  EXPECT_EQ(RegLoadKeyA(HKEY_LOCAL_MACHINE, "Rebuild", damaged.c_str()), ERROR_BADDB);
  EXPECT_EQ(ReadBytes(damaged), damagedBytes);
  EXPECT_EQ(RegLoadKeyA(HKEY_LOCAL_MACHINE, "Rebuild", dir.File("missing").c_str()), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegLoadKeyA(HKEY_LOCAL_MACHINE, "SYSTEM", hive.c_str()), ERROR_ALREADY_EXISTS);
  ASSERT_EQ(RegLoadKeyA(HKEY_LOCAL_MACHINE, "Rebuild", hive.c_str()), ERROR_SUCCESS);
  EXPECT_EQ(RegLoadKeyA(HKEY_LOCAL_MACHINE, "REBUILD", other.c_str()), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(RegLoadKeyA(HKEY_LOCAL_MACHINE, "Second", hive.c_str()), ERROR_SHARING_VIOLATION);
  EXPECT_EQ(ReadBytes(hive), original);  // a load changes nothing in the file
  std::vector<Mount> mounts = ReadMountTable(Folder());
  ASSERT_EQ(mounts.size(), 1u);
  EXPECT_EQ(mounts[0].HivePath, hive);

  HKEY inside = Open("Rebuild\\Inside");
  DWORD type = 0, size = 4, chars = 4;
  uint8_t data[4];
  char name[4];
  ASSERT_EQ(RegEnumValueA(inside, 0, name, &chars, nullptr, &type, data, &size), ERROR_SUCCESS);
  EXPECT_EQ(data[0], 7);
  EXPECT_EQ(RegUnLoadKeyA(HKEY_LOCAL_MACHINE, "Rebuild"), ERROR_ACCESS_DENIED);  // a key is open
  RegCloseKey(inside);
  EXPECT_EQ(RegUnLoadKeyA(HKEY_LOCAL_MACHINE, "SYSTEM"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegUnLoadKeyA(HKEY_LOCAL_MACHINE, "rebuild"), ERROR_SUCCESS);
  EXPECT_TRUE(ReadMountTable(Folder()).empty());
  HKEY gone = 0;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Rebuild", 0, KEY_ALL_ACCESS, &gone), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegUnLoadKeyA(HKEY_LOCAL_MACHINE, "Rebuild"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(ReadBytes(hive), original);
}

// A mounted file removed or overwritten behind the mount ends the mount, so
// the key can be loaded again rather than staying stuck.
TEST_F(RegCalls, AMountWhoseFileIsGoneOrDamagedIsDropped) {
  std::string gone = HiveFile("gone.hiv");
  ASSERT_EQ(RegLoadKeyA(HKEY_LOCAL_MACHINE, "Rebuild", gone.c_str()), ERROR_SUCCESS);
  ASSERT_EQ(std::remove(gone.c_str()), 0);
  std::string next = HiveFile("next.hiv");
  EXPECT_EQ(RegLoadKeyA(HKEY_LOCAL_MACHINE, "Rebuild", next.c_str()), ERROR_SUCCESS);
  std::vector<Mount> mounts = ReadMountTable(Folder());
  ASSERT_EQ(mounts.size(), 1u);
  EXPECT_EQ(mounts[0].HivePath, next);

  ASSERT_EQ(std::remove(next.c_str()), 0);
  HKEY key = 0;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Rebuild", 0, KEY_ALL_ACCESS, &key), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(ReadMountTable(Folder()).empty());

  std::string damaged = HiveFile("damaged.hiv");
  ASSERT_EQ(RegLoadKeyA(HKEY_LOCAL_MACHINE, "Rebuild", damaged.c_str()), ERROR_SUCCESS);
  std::vector<uint8_t> junk(8192, 0x5A);
  testing::WriteBytes(damaged, junk);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Rebuild\\Inside", 0, KEY_ALL_ACCESS, &key), ERROR_BADDB);
  EXPECT_TRUE(ReadMountTable(Folder()).empty());
  EXPECT_EQ(RegUnLoadKeyA(HKEY_LOCAL_MACHINE, "Rebuild"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(ReadBytes(damaged), junk);  // the file is left as it was found

  // A mount that is in use keeps its entry while its file still exists.
  std::string kept = HiveFile("kept.hiv");
  ASSERT_EQ(RegLoadKeyA(HKEY_LOCAL_MACHINE, "Rebuild", kept.c_str()), ERROR_SUCCESS);
  EXPECT_EQ(RegLoadKeyA(HKEY_LOCAL_MACHINE, "Rebuild", HiveFile("other.hiv").c_str()), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(RegUnLoadKeyA(HKEY_LOCAL_MACHINE, "Rebuild"), ERROR_SUCCESS);
}

TEST_F(RegCalls, SaveWritesASubtreeAsAHiveAndNeverReplacesAFile) {
  HKEY software = Open("SOFTWARE");
  HKEY tools = Create(software, "Tools", "cls");
  RegCloseKey(Create(tools, "Inner"));
  const uint8_t big[20000] = {9};
  ASSERT_EQ(RegSetValueExW(tools, u"big", 0, REG_BINARY, big, sizeof big), ERROR_SUCCESS);
  std::string whole = dir.File("whole.hiv"), part = dir.File("part.hiv");
  EXPECT_EQ(RegSaveKeyA(software, whole.c_str(), nullptr), ERROR_SUCCESS);
  EXPECT_EQ(RegSaveKeyA(tools, part.c_str(), nullptr), ERROR_SUCCESS);
  EXPECT_EQ(RegSaveKeyA(tools, part.c_str(), nullptr), ERROR_ALREADY_EXISTS);
  RegCloseKey(tools);
  RegCloseKey(software);

  RegistryTree saved = ReadBack(part);
  EXPECT_TRUE(saved.Root->Name == u"Tools");
  EXPECT_TRUE(saved.Root->Class == u"cls");
  ASSERT_EQ(saved.Root->Subkeys.size(), 1u);
  EXPECT_EQ(saved.Root->Values.at(0).Data.size(), sizeof big);
  testing::ExpectOraclesAccept(part);
  testing::ExpectSameTree(*ReadBack(Folder() + "/SOFTWARE").Root, *ReadBack(whole).Root);
}

// A process that dies with changes in memory leaves the mount in the table
// and the file as it was last written; the next process finds the mount and
// can unload it.
TEST_F(RegCalls, AMountOutlivesAKilledProcess) {
  std::string hive = HiveFile("x.hiv");
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    bool ok = RegLoadKeyA(HKEY_LOCAL_MACHINE, "Rebuild", hive.c_str()) == ERROR_SUCCESS;
    HKEY root = 0, key = 0;
    ok = ok && RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Rebuild", 0, KEY_ALL_ACCESS, &root) == ERROR_SUCCESS;
    ok = ok && RegCreateKeyExA(root, "Committed", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) == 0;
    ok = ok && RegFlushKey(root) == ERROR_SUCCESS;
    ok = ok && RegCreateKeyExA(root, "Lost", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) == 0;
    if (!ok) _exit(1);
    kill(getpid(), SIGKILL);
    _exit(2);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status)) << "child exit " << WEXITSTATUS(status);

  HKEY root = Open("Rebuild");
  char name[16];
  std::vector<std::string> names;
  for (DWORD i = 0;; ++i) {
    DWORD chars = sizeof name;
    if (RegEnumKeyExA(root, i, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    names.emplace_back(name, chars);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"Committed", "Inside"}));
  RegCloseKey(root);
  EXPECT_EQ(RegUnLoadKeyA(HKEY_LOCAL_MACHINE, "Rebuild"), ERROR_SUCCESS);
}

}  // namespace
}  // namespace quelbrix::registry
