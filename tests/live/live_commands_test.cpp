// The live-registry commands as RunCommand runs them: Delete subkeys with its
// three counts, status texts and abort; Hive load with its time-stamped copy
// and flags; Hive unload; Reg save with the older file moved to the trash;
// the start-up test for a mount left by an earlier run.
#include "app/context.h"
#include "live/live_commands.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "platform/files.h"
#include "platform/text.h"
#include "registry/hive_reader.h"
#include "registry/hive_writer.h"
#include "registry/registry.h"
#include "registry/registry_tree.h"
#include "support/hive_fixture.h"

namespace quelbrix {
namespace {

using registry::RegistryKey;
using registry::RegistryTree;
using testing::HiveRun;
using testing::ReadBytes;

RegistryKey* AddKey(RegistryKey* parent, const char16_t* name) {
  auto key = std::make_shared<RegistryKey>();
  key->Name = name;
  key->Security = registry::StandardDescriptor();
  bool found = false;
  size_t at = parent->FindSubkey(key->Name, &found);
  return parent->AddSubkey(key, at);
}

class LiveCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    // Keep the desktop trash of whoever runs the tests out of it.
    setenv("XDG_DATA_HOME", run.dir.File("xdg").c_str(), 1);
  }

  // Writes a hive holding `tree` and mounts it with Hive load.
  std::string Mount(const RegistryTree& tree, const std::string& name = "mounted.hiv") {
    std::string path = run.dir.File(name);
    EXPECT_TRUE(registry::WriteHiveFile(path, tree));
    run.ctx.InputPath = path;
    run.Run(kCmdHiveLoad);
    EXPECT_EQ(run.StatusUtf8(), "ハイブロード完了 FileSize=" + std::to_string(platform::FileSizeOf(path)));
    return path;
  }
  RegistryTree Read(const std::string& path) {
    RegistryTree tree;
    EXPECT_TRUE(registry::ReadHiveFile(path, &tree));
    return tree;
  }

  HiveRun run;
};

TEST_F(LiveCommands, DeleteSubkeysCountsWhatItMetAndEmptiesTheMount) {
  RegistryTree tree = registry::EmptyTree(u"ROOT", 1);
  RegistryKey* a = AddKey(tree.Root.get(), u"A");
  a->Values = {{u"one", 4, {1, 0, 0, 0}, 0}, {u"two", 3, {2}, 0}};
  AddKey(AddKey(tree.Root.get(), u"B"), u"C");
  std::string path = Mount(tree);
  run.ui.Clear();
  run.Run(kCmdDeleteSubkeys);
  EXPECT_EQ(run.StatusUtf8(), "サブキー削除完了 残りキー=0 アクセスキー=3 アクセスデータ=2");
  EXPECT_TRUE(run.ctx.Done(kDeleteDone));
  std::vector<std::string> shown;
  for (const auto& text : run.ui.StatusTexts(0)) shown.push_back(platform::AnsiToUtf8(text));
  std::vector<std::string> walk(shown.begin() + 1, shown.end() - 1);  // between the caption and the result
  EXPECT_EQ(walk, (std::vector<std::string>{"サブキー削除 ", "サブキー削除 \\A", "サブキー削除 \\B",
                                            "サブキー削除 \\B\\C"}));
  RegistryTree after = Read(path);
  EXPECT_TRUE(after.Root->Subkeys.empty());
  EXPECT_TRUE(after.Root->Values.empty());

  run.Run(kCmdDeleteSubkeys);
  EXPECT_EQ(run.StatusUtf8(), "サブキー削除完了 残りキー=0 アクセスキー=0 アクセスデータ=0");
}

TEST_F(LiveCommands, AnUndeletableKeyKeepsEveryAncestor) {
  RegistryTree tree = registry::EmptyTree(u"ROOT", 1);
  AddKey(AddKey(AddKey(tree.Root.get(), u"X"), u"Y"), u"Z")->Flags = registry::kKeyNoDelete;
  AddKey(tree.Root.get(), u"W")->Values = {{u"v", 4, {1, 0, 0, 0}, 0}};
  std::string path = Mount(tree);
  run.Run(kCmdDeleteSubkeys);
  EXPECT_EQ(run.StatusUtf8(), "サブキー削除完了 残りキー=3 アクセスキー=4 アクセスデータ=1");
  RegistryTree after = Read(path);
  ASSERT_EQ(after.Root->Subkeys.size(), 1u);
  const RegistryKey* x = after.Root->Subkey(u"X");
  ASSERT_NE(x, nullptr);
  ASSERT_NE(x->Subkey(u"Y"), nullptr);
  EXPECT_NE(x->Subkey(u"Y")->Subkey(u"Z"), nullptr);
}

TEST_F(LiveCommands, AbortStopsTheDescentButFinishesTheLevelItIsIn) {
  RegistryTree tree = registry::EmptyTree(u"ROOT", 1);
  AddKey(tree.Root.get(), u"Leaf")->Values = {{u"v", 4, {1, 0, 0, 0}, 0}};
  AddKey(AddKey(tree.Root.get(), u"Parent"), u"Child");
  std::string path = Mount(tree);
  run.ctx.AbortRequested.store(1);
  run.Run(kCmdDeleteSubkeys);
  EXPECT_EQ(run.StatusUtf8(), "サブキー削除中止");
  EXPECT_TRUE(run.ctx.Done(kDeleteDone));
  RegistryTree after = Read(path);
  ASSERT_EQ(after.Root->Subkeys.size(), 1u);
  EXPECT_TRUE(after.Root->Subkeys[0]->Name == u"Parent");
}

TEST_F(LiveCommands, LoadKeepsATimeStampedCopyAndSetsTheFlags) {
  platform::CalendarTime t;
  t.year = 2012, t.month = 9, t.day = 30, t.hour = 12, t.minute = 34, t.second = 56;
  EXPECT_EQ(BackupName("/h/x.hiv", t), "/h/x.hiv.20120930123456");

  run.ctx.SetDone(kDeleteDone, true);
  run.ctx.SetDone(kRebuildDone, true);
  std::string path = Mount(registry::EmptyTree(u"ROOT", 1));
  EXPECT_TRUE(run.ctx.Done(kHiveLoaded));
  EXPECT_FALSE(run.ctx.Done(kDeleteDone));
  EXPECT_FALSE(run.ctx.Done(kRebuildDone));
  EXPECT_EQ(run.ctx.LoadedHivePath, path);
  EXPECT_EQ(run.ui.RecentFiles(kCtlLoadFileCombo), std::vector<std::string>{path});
  int copies = 0;
  for (const auto& entry : std::filesystem::directory_iterator(run.dir.Path())) {
    std::string name = entry.path().filename().string();
    if (name.rfind("mounted.hiv.", 0) != 0) continue;
    ++copies;
    EXPECT_EQ(name.size(), std::string("mounted.hiv.").size() + 14) << name;
    EXPECT_EQ(ReadBytes(entry.path().string()), ReadBytes(path));
  }
  EXPECT_EQ(copies, 1);

  // A second load is refused and changes no flag; its file is still copied.
  std::string other = run.dir.File("other.hiv");
  ASSERT_TRUE(registry::WriteHiveFile(other, registry::EmptyTree(u"R", 1)));
  run.ctx.InputPath = other;
  run.Run(kCmdHiveLoad);
  EXPECT_EQ(run.StatusUtf8(), "ハイブロードに失敗しました");
  EXPECT_EQ(run.ctx.LoadedHivePath, path);
  EXPECT_TRUE(run.ctx.Done(kHiveLoaded));

  // Copies made within one second are numbered, never replaced (the load
  // above may already have taken the plain name of this second).
  bool sameSecond = false;
  for (int attempt = 0; attempt < 3 && !sameSecond; ++attempt) {
    std::string first, second;
    ASSERT_TRUE(BackupCopy(other, &first));
    ASSERT_TRUE(BackupCopy(other, &second));
    std::string stamp = first.substr(0, other.size() + 15);
    if (second.compare(0, stamp.size(), stamp) != 0) continue;  // the second changed between them
    sameSecond = true;
    EXPECT_NE(first, second);
    EXPECT_EQ(second.back(), ')') << second;
    EXPECT_EQ(ReadBytes(first), ReadBytes(other));
    EXPECT_EQ(ReadBytes(second), ReadBytes(other));
  }
  EXPECT_TRUE(sameSecond);
}

TEST_F(LiveCommands, AFailedLoadLeavesTheFileAndItsCopyWhole) {
  std::string path = run.dir.File("bad.hiv");
  RegistryTree tree = registry::EmptyTree(u"ROOT", 1);
  ASSERT_TRUE(registry::WriteHiveFile(path, tree));
  std::vector<uint8_t> bytes = ReadBytes(path);
  bytes[0x24] = 0x40;  // the root key offset, now inside the root's own cell
  ASSERT_TRUE(testing::WriteBytes(path, bytes));
  run.ctx.InputPath = path;
  run.Run(kCmdHiveLoad);
  EXPECT_EQ(run.StatusUtf8(), "ハイブロードに失敗しました");
  EXPECT_FALSE(run.ctx.Done(kHiveLoaded));
  EXPECT_EQ(ReadBytes(path), bytes);
  std::string copy;
  for (const auto& entry : std::filesystem::directory_iterator(run.dir.Path()))
    if (entry.path().filename().string().rfind("bad.hiv.", 0) == 0) copy = entry.path().string();
  ASSERT_FALSE(copy.empty());
  EXPECT_EQ(ReadBytes(copy), bytes);

  // A path whose copy would pass the path limit is refused before anything.
  std::string deep = run.dir.File(std::string(250 - run.dir.Path().size(), 'd'));
  ASSERT_TRUE(registry::WriteHiveFile(deep, tree));
  run.ctx.InputPath = deep;
  run.Run(kCmdHiveLoad);
  EXPECT_EQ(run.StatusUtf8(), "ハイブロードに失敗しました");
  EXPECT_FALSE(run.ctx.Done(kHiveLoaded));
}

TEST_F(LiveCommands, UnloadClearsTheFlagsAndTheNextRunSeesNoMount) {
  std::string path = Mount(registry::EmptyTree(u"ROOT", 1));
  HiveContext next;
  next.RegistryRoot = run.ctx.RegistryRoot;
  EXPECT_TRUE(RebuildMounted(next));  // a later process finds the mount

  run.ctx.SetDone(kDeleteDone, true);
  run.Run(kCmdHiveUnload);
  EXPECT_EQ(run.StatusUtf8(), "ハイブアンロード完了 FileSize=" + std::to_string(platform::FileSizeOf(path)));
  EXPECT_FALSE(run.ctx.Done(kHiveLoaded));
  EXPECT_FALSE(run.ctx.Done(kDeleteDone));
  EXPECT_FALSE(run.ctx.Done(kRebuildDone));
  EXPECT_EQ(run.ctx.LoadedHivePath, "");
  EXPECT_FALSE(RebuildMounted(next));
  run.Run(kCmdHiveUnload);
  EXPECT_EQ(run.StatusUtf8(), "ハイブアンロードに失敗しました");
}

TEST_F(LiveCommands, RegSaveWritesTheTmpFileAndMovesAnOlderOneToTheTrash) {
  run.ctx.HiveKeyName = "SOFTWARE";
  run.Run(kCmdRegSave);
  std::string target = run.dir.File("SOFTWARE.tmp");
  EXPECT_EQ(run.StatusUtf8(), "Ｒｅｇ保存完了 FileSize=" + std::to_string(platform::FileSizeOf(target)));
  std::vector<uint8_t> first = ReadBytes(target);
  ASSERT_FALSE(first.empty());

  // Without a desktop trash the older file goes to "trash" in the output folder.
  run.Run(kCmdRegSave);
  EXPECT_EQ(run.StatusUtf8().rfind("Ｒｅｇ保存完了", 0), 0u);
  EXPECT_EQ(ReadBytes(run.dir.File("trash/SOFTWARE.tmp")), first);

  // With one, it goes there, with the record the desktop needs to restore it.
  ASSERT_TRUE(platform::MakeDirectories(run.dir.File("xdg/Trash")));
  std::vector<uint8_t> second = ReadBytes(target);
  run.Run(kCmdRegSave);
  EXPECT_EQ(ReadBytes(run.dir.File("xdg/Trash/files/SOFTWARE.tmp")), second);
  auto info = ReadBytes(run.dir.File("xdg/Trash/info/SOFTWARE.tmp.trashinfo"));
  std::string record(info.begin(), info.end());
  EXPECT_EQ(record.rfind("[Trash Info]\nPath=" + target + "\nDeletionDate=", 0), 0u) << record;

  run.ctx.HiveKeyName = "NOSUCH";
  run.Run(kCmdRegSave);
  EXPECT_EQ(run.StatusUtf8(), "Ｒｅｇ保存に失敗しました");
}

}  // namespace
}  // namespace quelbrix
