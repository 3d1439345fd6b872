// `quelbrix export` against independent readers: its .reg file holds what
// hivexregedit exports of the same hive, its JSON what the hive reader reads,
// and a damaged hive exports everything but the part that cannot be read.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "platform/text.h"
#include "registry/hive_reader.h"
#include "support/hive_builder.h"
#include "support/hive_fixture.h"
#include "support/run_process.h"
#include "support/shared_hives.h"

namespace quelbrix::testing {
namespace {

using nlohmann::json;

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

struct Built {
  HiveBuilder b;
  Key cafe, emoji;
};

// Non-ASCII key and value names (8-bit and UTF-16), every value type, strings
// that need escaping and REG_SZ data that is no string (no NUL, a NUL inside,
// a line break, empty).
Built EveryKind() {
  Built h;
  Key cjk = h.b.AddKey(h.b.Root(), u"\u65e5\u672c\u8a9e\u30ad\u30fc");
  h.cafe = h.b.AddKey(cjk, "caf\xe9");
  h.emoji = h.b.AddKey(h.cafe, u"\U0001F600");
  h.b.AddValue(cjk, "", 1, Utf16(u"default"));
  h.b.AddValue(cjk, u"\u540d \"q\" \\", 1, Utf16(u"C:\\dir \"x\" \u00e9"));
  for (auto data : {Utf16(u"", false), Utf16(u"ab", false), Utf16(std::u16string(u"a\0b", 3)), Utf16(u"a\r\nb")})
    h.b.AddValue(cjk, "caf\xe9 " + std::to_string(data.size()), 1, data);
  std::vector<uint8_t> bytes(300);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7);
  h.b.AddValue(h.cafe, "binary", 3, bytes);
  h.b.AddValue(h.cafe, "expand", 2, Utf16(u"%SystemRoot%\\x"));
  h.b.AddValue(h.cafe, "dword", 4, {1, 2, 3, 0xFF});
  h.b.AddValue(h.cafe, "short dword", 4, {1, 2, 3});
  h.b.AddValue(h.cafe, "big endian", 5, {0, 0, 1, 2});
  h.b.AddValue(h.cafe, "multi", 7, Utf16(std::u16string(u"one\0\u00e9\0\0", 7), false));
  h.b.AddValue(h.cafe, "qword", 11, {1, 2, 3, 4, 5, 6, 7, 0x80});
  for (uint32_t type : {0u, 6u, 8u, 9u, 10u, 0x20u, 0xFFFF0001u})
    h.b.AddValue(h.cafe, "type " + std::to_string(type), type, {static_cast<uint8_t>(type), 0x5C, 0x22});
  h.b.AddValue(h.b.Root(), "big", 3, std::vector<uint8_t>(40000, 0xA5));
  h.b.Build();
  return h;
}

// Ours and hivexregedit's export of `hive` hold the same keys and values.
void ExpectSameAsHivex(const std::string& hive, const TempDir& dir) {
  ASSERT_EQ(Export({hive, "--no-logs", "-o", dir.File("ours.reg")}).status, 0);
  ASSERT_EQ(RunProcess({"hivexregedit", "--export", hive, "\\"}, dir.File("theirs.reg")).status, 0);
  ProcessResult cmp = RunProcess({"/usr/bin/python3", std::string(QUELBRIX_TESTS_SOURCE) + "/cli/reg_compare.py",
                                  dir.File("ours.reg"), dir.File("theirs.reg")});
  EXPECT_EQ(cmp.status, 0) << hive << ":\n" << cmp.out << cmp.err;
}

TEST(ExportReg, AgreesWithHivex) {
  TempDir dir;
  ASSERT_TRUE(EveryKind().b.WriteTo(dir.File("built.hiv")));
  ExpectSameAsHivex(dir.File("built.hiv"), dir);
  // The file's own form: UTF-16LE with a byte order mark, CR LF, hex wrapped.
  std::vector<uint8_t> reg = ReadBytes(dir.File("ours.reg"));
  std::vector<uint8_t> head = Utf16(u"\uFEFFWindows Registry Editor Version 5.00\r\n\r\n[ROOT]\r\n\"big\"=hex:a5,", false);
  ASSERT_GE(reg.size(), head.size());
  EXPECT_TRUE(std::equal(head.begin(), head.end(), reg.begin()));
  // The first hex line ("big"=hex: and 23 bytes, from unit 49) ends in a backslash in column 80.
  std::vector<uint8_t> wrap = Utf16(u"a5,\\\r\n  a5,", false);
  EXPECT_EQ(std::search(reg.begin(), reg.end(), wrap.begin(), wrap.end()) - reg.begin(), 2 * (49 + 80 - 4));

  if (SharedHivesFolder().empty()) GTEST_SKIP() << NoSharedHivesNote();
  for (const SharedHive& h : ListSharedHives())
    if (h.name == "SAM" || h.name == "SECURITY" || h.name == "BCD" || h.name == "NTUSER.DAT")
      ExpectSameAsHivex(DecompressedPath(h), dir);
}

// The bytes a JSON value stands for, decoded by other code than the export's.
std::vector<uint8_t> BytesOf(const json& v) {
  std::vector<uint8_t> out;
  const json& d = v.contains("hex") ? v["hex"] : v["data"];
  if (v.contains("hex")) {
    for (size_t i = 0; i + 1 < d.get<std::string>().size(); i += 2)
      out.push_back(static_cast<uint8_t>(std::stoul(d.get<std::string>().substr(i, 2), nullptr, 16)));
  } else if (d.is_string()) {
    out = Utf16(platform::Utf8ToUtf16(d.get<std::string>()));
  } else if (d.is_array()) {
    for (const auto& s : d)
      for (uint8_t b : Utf16(platform::Utf8ToUtf16(s.get<std::string>()))) out.push_back(b);
    out.insert(out.end(), {0, 0});
  } else {
    for (int i = 0; i < (v["type_code"] == 11 ? 8 : 4); ++i) out.push_back(static_cast<uint8_t>(d.get<uint64_t>() >> (8 * i)));
    if (v["type_code"] == 5) std::reverse(out.begin(), out.end());
  }
  return out;
}

// The JSON export lists the reader's tree in order: names, types, bytes.
void ExpectJsonIsTheTree(const std::string& hive) {
  ProcessResult run = Export({hive, "--no-logs", "--format", "json"});
  ASSERT_EQ(run.status, 0) << run.err;
  json j = json::parse(run.out);
  registry::SetApplyTransactionLogs(false);
  registry::RegistryTree tree;
  ASSERT_TRUE(registry::ReadHiveFile(hive, &tree));
  registry::SetApplyTransactionLogs(true);
  std::vector<const registry::RegistryKey*> pending{tree.Root.get()};
  size_t at = 0, decoded = 0;
  for (; !pending.empty(); ++at) {
    const registry::RegistryKey* key = pending.back();
    pending.pop_back();
    ASSERT_LT(at, j["keys"].size());
    const json& entry = j["keys"][at];
    ASSERT_EQ(entry["name"], platform::Utf16ToUtf8(key->Name)) << entry["path"];
    ASSERT_EQ(entry["values"].size(), key->Values.size()) << entry["path"];
    for (size_t i = 0; i < key->Values.size(); ++i) {
      const json& v = entry["values"][i];
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
  ExpectJsonIsTheTree(dir.File("built.hiv"));
  if (SharedHivesFolder().empty()) GTEST_SKIP() << NoSharedHivesNote();
  for (const SharedHive& h : ListSharedHives())
    if (h.name == "NTUSER.DAT") ExpectJsonIsTheTree(DecompressedPath(h));
}

// A number with its top bit set is still unsigned: printed as a signed one,
// `data` would stand for other bytes to a reader that takes it at its word.
TEST(ExportJson, NumbersWithTheTopBitSetStayUnsigned) {
  const struct {
    uint32_t type;
    uint64_t number;
  } numbers[] = {{4, 0xFFFFFFFFu}, {4, 0x80000000u}, {11, 0x8000000000000001u}};
  HiveBuilder b;
  std::vector<std::vector<uint8_t>> stored;
  for (const auto& n : numbers) {
    stored.emplace_back(n.type == 11 ? 8 : 4);
    for (size_t k = 0; k < stored.back().size(); ++k) stored.back()[k] = static_cast<uint8_t>(n.number >> (8 * k));
    b.AddValue(b.Root(), "n" + std::to_string(stored.size()), n.type, stored.back());
  }
  b.Build();
  TempDir dir;
  ASSERT_TRUE(b.WriteTo(dir.File("numbers.hiv")));
  ProcessResult run = Export({dir.File("numbers.hiv"), "--format", "json"});
  ASSERT_EQ(run.status, 0) << run.err;
  const json values = json::parse(run.out)["keys"][0]["values"];
  ASSERT_EQ(values.size(), std::size(numbers));
  for (size_t i = 0; i < values.size(); ++i) {
    ASSERT_TRUE(values[i]["data"].is_number_unsigned()) << values[i];
    EXPECT_EQ(values[i]["data"].get<uint64_t>(), numbers[i].number);
    EXPECT_EQ(BytesOf(values[i]), stored[i]);
  }
}

// One fault in a built hive: the export leaves out exactly the part it
// spoils, keeps everything else, says so on stderr and exits 3.
TEST(ExportDamaged, LeavesOutTheUnreadablePartOnly) {
  TempDir dir;
  std::string hive = dir.File("hive");
  ASSERT_TRUE(EveryKind().b.WriteTo(hive));
  ProcessResult run = Export({hive, "--format", "json"});
  ASSERT_EQ(run.status, 0) << run.err;
  const json sound = json::parse(run.out);
  struct Fault {
    void (*poke)(Built&);
    const char* reason;
    void (*lose)(json& keys);  // keys[2] is café, keys[3] the last key, under it
  };
  const Fault faults[] = {
      {[](Built& h) { h.b.SetU32(h.b.Offset(h.b.NkCell(h.cafe)), 0x2C, 0x7FFFFFF0); },  // its value list
       "bad value list at CellOffset 0x7ffffff0", [](json& keys) { keys[2]["values"] = json::array(); }},
      {[](Built& h) { h.b.SetU32(h.b.EntryOf(h.emoji).leafOffset, 8 + 8 * h.b.EntryOf(h.emoji).index, 0x7FFFFFF0); },
       "bad nk cell at CellOffset 0x7ffffff0",
       [](json& keys) {
         keys[2]["subkey_count"] = 0;
         keys.erase(3);
       }},
  };
  for (const Fault& f : faults) {
    Built h = EveryKind();
    f.poke(h);
    ASSERT_TRUE(h.b.WriteTo(hive));
    for (const char* format : {"reg", "json"}) {
      run = Export({hive, "--format", format});
      EXPECT_EQ(run.status, 3) << f.reason << " " << format;
      EXPECT_NE(run.err.find(": 1 unreadable part left out of the export:\n  " + std::string(f.reason) + "\n"),
                std::string::npos) << run.err;
    }
    json expected = sound;
    ASSERT_EQ(expected["keys"][2]["name"], "caf\u00e9");
    f.lose(expected["keys"]);
    expected["unreadable_parts"] = 1;
    EXPECT_EQ(json::parse(run.out), expected) << f.reason;
  }
}

// Failures name the hive and what is wrong; KEY is found in any letter case
// and exported under the path the hive stores; usage errors exit 2.
TEST(ExportCommand, KeysPrefixesAndFailures) {
  TempDir dir;
  std::string hive = dir.File("built.hiv");
  ASSERT_TRUE(EveryKind().b.WriteTo(hive));
  ProcessResult run = Export({hive, "\\\u65e5\u672c\u8a9e\u30ad\u30fc\\CAF\u00c9", "--prefix", "HKLM\\X"});
  ASSERT_EQ(run.status, 0) << run.err;
  std::vector<uint8_t> head = Utf16(u"\uFEFFWindows Registry Editor Version 5.00\r\n\r\n"
                                    u"[HKLM\\X\\\u65e5\u672c\u8a9e\u30ad\u30fc\\caf\u00e9]\r\n\"binary\"=hex:00,07,", false);
  EXPECT_EQ(run.out.substr(0, head.size()), std::string(head.begin(), head.end()));

  run = Export({hive, "Nowhere\\Key"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "quelbrix: " + hive + ": no key Nowhere\\Key\n");
  EXPECT_EQ(run.out, "");
  run = Export({hive, "-o", dir.File("no/such.reg")});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find(dir.File("no/such.reg")), std::string::npos) << run.err;
  for (std::vector<std::string> args : {std::vector<std::string>{hive, "--format", "xml"}, {}, {"--json", hive}})
    EXPECT_EQ(Export(args).status, 2);
}

// "-" is stdout for `export -o`, byte for byte what a file gets, and no file
// named "-" appears; the UTF-16 .reg format is refused on a terminal (the
// hint names the ways out), JSON is not; `repair -o -` is a usage error.
TEST(ExportCommand, DashIsStdoutAndRegRefusesATerminal) {
  TempDir dir;
  std::string hive = dir.File("built.hiv");
  ASSERT_TRUE(EveryKind().b.WriteTo(hive));
  for (const char* format : {"reg", "json"}) {
    SCOPED_TRACE(format);
    std::string file = dir.File(std::string("out.") + format);
    ASSERT_EQ(Export({hive, "--format", format, "-o", file}).status, 0);
    ProcessResult dash =
        RunProcess({"env", "-C", dir.Path(), QUELBRIX_CLI, "export", hive, "--format", format, "-o", "-"});
    EXPECT_EQ(dash.status, 0) << dash.err;
    std::vector<uint8_t> written = ReadBytes(file);
    EXPECT_EQ(dash.out, std::string(written.begin(), written.end()));
    EXPECT_FALSE(std::filesystem::exists(dir.File("-")));
  }
  // script(1) gives the command a terminal for stdout (and stderr).
  auto onTerminal = [&](const std::string& args) {
    return RunProcess({"script", "-qec", std::string(QUELBRIX_CLI) + " " + args, "/dev/null"});
  };
  for (const std::string& args : {"export " + hive, "export " + hive + " -o -"}) {
    ProcessResult run = onTerminal(args);
    EXPECT_EQ(run.status, 2) << args << ": " << run.out;
    EXPECT_NE(run.out.find("the .reg format is UTF-16; use -o FILE, --format json, or pipe it"), std::string::npos)
        << run.out;
  }
  ProcessResult json = onTerminal("export " + hive + " --format json");
  EXPECT_EQ(json.status, 0) << json.out;
  EXPECT_NE(json.out.find("\"keys\""), std::string::npos) << json.out;
  for (const char* command : {"repair", "defrag"}) {
    ProcessResult run = RunProcess({"env", "-C", dir.Path(), QUELBRIX_CLI, command, hive, "-o", "-"});
    EXPECT_EQ(run.status, 2) << command << ": " << run.err;
    EXPECT_FALSE(std::filesystem::exists(dir.File("-"))) << command;
  }
}

}  // namespace
}  // namespace quelbrix::testing
