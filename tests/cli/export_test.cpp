// `quelbrix export` against independent readers: its .reg file holds what
// hivexregedit exports of the same hive, its JSON what the hive reader reads,
// and a damaged hive exports everything but the part that cannot be read.
#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/text.h"
#include "registry/hive_reader.h"
#include "support/hive_builder.h"
#include "support/hive_fixture.h"
#include "support/run_process.h"
#include "support/shared_hives.h"

namespace quelbrix::testing {
namespace {

ProcessResult Export(std::vector<std::string> args) {
  args.insert(args.begin(), {QUELBRIX_CLI, "export"});
  return RunProcess(args);
}

std::vector<uint8_t> Utf16(std::u16string_view text, bool nul = true) {
  std::vector<uint8_t> out;
  for (char16_t u : text) out.insert(out.end(), {static_cast<uint8_t>(u), static_cast<uint8_t>(u >> 8)});
  if (nul) out.insert(out.end(), {0, 0});
  return out;
}

// Non-ASCII key and value names (8-bit and UTF-16), every value type, strings
// that need escaping and strings that cannot be written as text.
struct Built {
  HiveBuilder b;
  Key cjk, cafe, emoji;
};

Built EveryKind() {
  Built built;
  HiveBuilder& b = built.b;
  Key cjk = built.cjk = b.AddKey(b.Root(), u"\u65e5\u672c\u8a9e\u30ad\u30fc");
  Key cafe = built.cafe = b.AddKey(cjk, "caf\xe9");
  built.emoji = b.AddKey(cafe, u"\U0001F600");
  b.AddValue(cjk, "", 1, Utf16(u"default"));
  b.AddValue(cjk, u"\u540d\u524d \"q\" \\", 1, Utf16(u"C:\\dir \"x\" \u00e9"));
  b.AddValue(cjk, "caf\xe9", 1, Utf16(u""));
  b.AddValue(cjk, "no NUL", 1, Utf16(u"ab", false));
  b.AddValue(cjk, "NUL inside", 1, Utf16(std::u16string(u"a\0b", 3)));
  b.AddValue(cjk, "line break", 1, Utf16(u"a\r\nb"));
  b.AddValue(cjk, "empty", 1, {});
  b.AddValue(cjk, "expand", 2, Utf16(u"%SystemRoot%\\x"));
  std::vector<uint8_t> bytes(300);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7);
  b.AddValue(cafe, "binary", 3, bytes);
  b.AddValue(cafe, "dword", 4, {1, 2, 3, 0xFF});
  b.AddValue(cafe, "short dword", 4, {1, 2, 3});
  b.AddValue(cafe, "big endian", 5, {0, 0, 1, 2});
  b.AddValue(cafe, "link", 6, Utf16(u"\\Registry\\Machine", false));
  b.AddValue(cafe, "multi", 7, Utf16(std::u16string(u"one\0\u00e9\u00e9\0\0", 8), false));
  for (uint32_t type : {0u, 8u, 9u, 10u, 0x20u, 0xFFFF0001u})
    b.AddValue(cafe, "type " + std::to_string(type), type, {static_cast<uint8_t>(type), 0x5C, 0x22});
  b.AddValue(cafe, "qword", 11, {1, 2, 3, 4, 5, 6, 7, 0x80});
  b.AddValue(b.Root(), "big", 3, std::vector<uint8_t>(40000, 0xA5));
  b.Build();
  return built;
}

// Ours and hivexregedit's export of `hive` hold the same keys and values.
void ExpectSameAsHivex(const std::string& hive, const TempDir& dir) {
  ProcessResult ours = Export({hive, "--no-logs", "-o", dir.File("ours.reg")});
  ASSERT_EQ(ours.status, 0) << ours.err;
  ProcessResult theirs = RunProcess({"hivexregedit", "--export", hive, "\\"}, dir.File("theirs.reg"));
  ASSERT_EQ(theirs.status, 0) << theirs.err;
  ProcessResult cmp = RunProcess({"/usr/bin/python3", std::string(QUELBRIX_TESTS_SOURCE) + "/cli/reg_compare.py",
                                  dir.File("ours.reg"), dir.File("theirs.reg")});
  EXPECT_EQ(cmp.status, 0) << hive << ":\n" << cmp.out << cmp.err;
  EXPECT_NE(cmp.out.find(" values agree"), std::string::npos) << cmp.out;
}

TEST(ExportReg, AgreesWithHivexOnABuiltHive) {
  TempDir dir;
  ASSERT_TRUE(EveryKind().b.WriteTo(dir.File("built.hiv")));
  ExpectSameAsHivex(dir.File("built.hiv"), dir);
  // The file's own form: UTF-16LE with a byte order mark, CR LF, wrapped hex.
  std::vector<uint8_t> reg = ReadBytes(dir.File("ours.reg"));
  std::vector<uint8_t> head = Utf16(u"\uFEFFWindows Registry Editor Version 5.00\r\n\r\n[ROOT]\r\n", false);
  ASSERT_GE(reg.size(), head.size());
  EXPECT_TRUE(std::equal(head.begin(), head.end(), reg.begin()));
  std::u16string text(reg.size() / 2, u'\0');
  for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char16_t>(reg[2 * i] | reg[2 * i + 1] << 8);
  EXPECT_NE(text.find(u"\"dword\"=dword:ff030201\r\n"), std::u16string::npos);
  EXPECT_NE(text.find(u"\"\u540d\u524d \\\"q\\\" \\\\\"=\"C:\\\\dir \\\"x\\\" \u00e9\"\r\n"), std::u16string::npos);
  EXPECT_NE(text.find(u"\"no NUL\"=hex(1):61,00,62,00\r\n"), std::u16string::npos);
  size_t longest = 0;
  for (size_t start = 0, end; (end = text.find(u"\r\n", start)) != std::u16string::npos; start = end + 2)
    longest = std::max(longest, end - start);
  EXPECT_LE(longest, 80u) << "hex lines are not wrapped";
}

TEST(ExportReg, AgreesWithHivexOnSharedHives) {
  if (SharedHivesFolder().empty()) GTEST_SKIP() << NoSharedHivesNote();
  int compared = 0;
  for (const SharedHive& h : ListSharedHives()) {
    if (h.name != "SAM" && h.name != "SECURITY" && h.name != "BCD" && h.name != "NTUSER.DAT") continue;
    std::string error;
    std::string path = DecompressedPath(h, &error);
    ASSERT_FALSE(path.empty()) << error;
    TempDir dir;
    ExpectSameAsHivex(path, dir);
    ++compared;
  }
  EXPECT_EQ(compared, 4);
}

// The bytes a JSON value stands for, decoded by other code than the export's.
std::vector<uint8_t> BytesOf(const nlohmann::json& v) {
  std::vector<uint8_t> out;
  if (v.contains("hex")) {
    std::string hex = v["hex"];
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
  }
  const nlohmann::json& d = v["data"];
  uint32_t type = v["type_code"];
  if (d.is_string()) return Utf16(platform::Utf8ToUtf16(d.get<std::string>()));
  if (d.is_array()) {
    for (const auto& s : d) {
      std::vector<uint8_t> one = Utf16(platform::Utf8ToUtf16(s.get<std::string>()));
      out.insert(out.end(), one.begin(), one.end());
    }
    out.insert(out.end(), {0, 0});
    return out;
  }
  uint64_t n = d.get<uint64_t>();
  for (int i = 0; i < (type == 11 ? 8 : 4); ++i) out.push_back(static_cast<uint8_t>(n >> (8 * i)));
  if (type == 5) std::reverse(out.begin(), out.end());
  return out;
}

// The JSON export lists the reader's tree in order: names, types, bytes.
void ExpectJsonIsTheTree(const std::string& hive, const TempDir& dir) {
  ProcessResult run = Export({hive, "--no-logs", "--format", "json", "-o", dir.File("out.json")});
  ASSERT_EQ(run.status, 0) << run.err;
  std::vector<uint8_t> bytes = ReadBytes(dir.File("out.json"));
  nlohmann::json j = nlohmann::json::parse(bytes.begin(), bytes.end());
  registry::SetApplyTransactionLogs(false);
  registry::RegistryTree tree;
  std::string problem;
  ASSERT_TRUE(registry::ReadHiveFile(hive, &tree, &problem)) << problem;
  registry::SetApplyTransactionLogs(true);
  EXPECT_EQ(j["unreadable_parts"], 0);
  std::vector<const registry::RegistryKey*> pending{tree.Root.get()};
  size_t at = 0, decoded = 0;
  while (!pending.empty()) {
    const registry::RegistryKey* key = pending.back();
    pending.pop_back();
    ASSERT_LT(at, j["keys"].size());
    const nlohmann::json& entry = j["keys"][at++];
    ASSERT_EQ(entry["name"], platform::Utf16ToUtf8(key->Name)) << entry["path"];
    ASSERT_EQ(entry["values"].size(), key->Values.size()) << entry["path"];
    for (size_t i = 0; i < key->Values.size(); ++i) {
      const nlohmann::json& v = entry["values"][i];
      EXPECT_EQ(v["name"], platform::Utf16ToUtf8(key->Values[i].Name)) << entry["path"];
      EXPECT_EQ(v["type_code"], key->Values[i].Type) << entry["path"] << " " << v["name"];
      EXPECT_EQ(BytesOf(v), key->Values[i].Data) << entry["path"] << " " << v;
      decoded += v.contains("data");
    }
    for (size_t i = key->Subkeys.size(); i-- > 0;) pending.push_back(key->Subkeys[i].get());
  }
  EXPECT_EQ(at, j["keys"].size());
  EXPECT_GT(decoded, 0u);
}

TEST(ExportJson, ListsWhatTheReaderReads) {
  TempDir dir;
  ASSERT_TRUE(EveryKind().b.WriteTo(dir.File("built.hiv")));
  ExpectJsonIsTheTree(dir.File("built.hiv"), dir);
  if (SharedHivesFolder().empty()) GTEST_SKIP() << NoSharedHivesNote();
  for (const SharedHive& h : ListSharedHives())
    if (h.name == "NTUSER.DAT") ExpectJsonIsTheTree(DecompressedPath(h), dir);
}

// One fault in a built hive: the export leaves out exactly the part it
// spoils, keeps everything else, says so on stderr and exits 3.
TEST(ExportDamaged, LeavesOutTheUnreadablePartOnly) {
  TempDir dir;
  ASSERT_TRUE(EveryKind().b.WriteTo(dir.File("sound.hiv")));
  ProcessResult run = Export({dir.File("sound.hiv"), "--format", "json"});
  ASSERT_EQ(run.status, 0) << run.err;
  const nlohmann::json sound = nlohmann::json::parse(run.out);
  const std::string cafePath = "ROOT\\\u65e5\u672c\u8a9e\u30ad\u30fc\\caf\u00e9";
  auto at = [](nlohmann::json& j, const std::string& path) -> nlohmann::json& {
    for (auto& key : j["keys"])
      if (key["path"] == path) return key;
    ADD_FAILURE() << "no key " << path;
    return j;
  };
  struct Fault {
    const char* what;
    void (*poke)(Built&);
    const char* reason;
    void (*expect)(nlohmann::json&, nlohmann::json& cafe);  // the sound export less what the fault spoils
  };
  const Fault faults[] = {
      {"value list outside the file", [](Built& h) { h.b.SetU32(h.b.Offset(h.b.NkCell(h.cafe)), 0x2C, 0x7FFFFFF0); },
       "bad value list at CellOffset 0x7ffffff0", [](nlohmann::json&, nlohmann::json& cafe) { cafe["values"] = nlohmann::json::array(); }},
      {"subkey entry outside the file",
       [](Built& h) {
         HiveBuilder::Entry e = h.b.EntryOf(h.emoji);
         h.b.SetU32(e.leafOffset, 8 + 8 * e.index, 0x7FFFFFF0);
       },
       "bad nk cell at CellOffset 0x7ffffff0",
       [](nlohmann::json& j, nlohmann::json& cafe) {
         cafe["subkey_count"] = 0;
         j["keys"].erase(j["keys"].size() - 1);  // the last key in tree order
       }},
  };
  for (const Fault& f : faults) {
    Built h = EveryKind();
    f.poke(h);
    std::string hive = dir.File("damaged.hiv");
    ASSERT_TRUE(h.b.WriteTo(hive));
    for (const char* format : {"reg", "json"}) {
      run = Export({hive, "--format", format});
      EXPECT_EQ(run.status, 3) << f.what << " " << format;
      EXPECT_NE(run.err.find(": 1 unreadable part left out of the export:\n  " + std::string(f.reason) + "\n"),
                std::string::npos) << f.what << ": " << run.err;
    }
    nlohmann::json expected = sound;
    f.expect(expected, at(expected, cafePath));
    expected["unreadable_parts"] = 1;
    nlohmann::json damaged = nlohmann::json::parse(run.out);
    damaged["hive"] = expected["hive"];
    EXPECT_EQ(damaged, expected) << f.what;
  }
}

// Failures name the hive and what is wrong; KEY is found in any letter case
// and exported under the path the hive stores; usage errors exit 2.
TEST(ExportCommand, KeysPrefixesAndFailures) {
  TempDir dir;
  std::string hive = dir.File("built.hiv");
  ASSERT_TRUE(EveryKind().b.WriteTo(hive));
  ProcessResult run = Export({hive, "\\\u65e5\u672c\u8a9e\u30ad\u30fc\\CAF\u00c9", "--prefix", "HKEY_LOCAL_MACHINE\\X", "-o", dir.File("sub.reg")});
  ASSERT_EQ(run.status, 0) << run.err;
  std::vector<uint8_t> reg = ReadBytes(dir.File("sub.reg"));
  std::vector<uint8_t> head = Utf16(u"\uFEFFWindows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\X\\\u65e5\u672c\u8a9e\u30ad\u30fc\\caf\u00e9]\r\n\"binary\"=hex:00,07,", false);
  ASSERT_GE(reg.size(), head.size());
  EXPECT_TRUE(std::equal(head.begin(), head.end(), reg.begin()));

  run = Export({hive, "Nowhere\\Key"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "quelbrix: " + hive + ": no key Nowhere\\Key\n");
  EXPECT_EQ(run.out, "");
  run = Export({dir.File("none"), "-o", dir.File("none.reg")});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "quelbrix: " + dir.File("none") + ": No such file or directory\n");
  run = Export({hive, "-o", dir.File("no/such/folder.reg")});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find(dir.File("no/such/")), std::string::npos) << run.err;
  for (std::vector<std::string> args : {std::vector<std::string>{hive, "--format", "xml"}, {}, {"--json", hive}}) {
    run = Export(args);
    EXPECT_EQ(run.status, 2) << run.err;
    EXPECT_FALSE(run.err.empty());
  }
  EXPECT_FALSE(platform::FileExists(dir.File("none.reg")));
}

}  // namespace
}  // namespace quelbrix::testing
