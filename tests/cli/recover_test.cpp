// `quelbrix recover` and `quelbrix undelete` on hives with keys deleted as
// the system deletes them.  The undeleted hive is checked against
// independent readers: hivex lists the same tree as the hive had before the
// deletion, hivexml reads it, and a Search of it finds nothing.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <set>

#include "support/hive_builder.h"
#include "support/hive_fixture.h"
#include "support/run_process.h"
#include "support/windows_delete.h"

namespace quelbrix::testing {
namespace {

using nlohmann::json;

ProcessResult Quelbrix(std::vector<std::string> args) {
  args.insert(args.begin(), QUELBRIX_CLI);
  return RunProcess(args);
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string HivexListing(const std::string& hive) {
  ProcessResult r = RunProcess(
      {"/usr/bin/python3", std::string(QUELBRIX_TESTS_SOURCE) + "/registry/hive_dump.py", hive});
  EXPECT_EQ(r.status, 0) << r.err;
  return r.out;
}

std::vector<uint8_t> Utf16(std::u16string_view text) {
  std::vector<uint8_t> out;
  for (char16_t u : text) out.insert(out.end(), {static_cast<uint8_t>(u), static_cast<uint8_t>(u >> 8)});
  out.insert(out.end(), {0, 0});
  return out;
}

struct Built {
  HiveBuilder b;
  Key gone, child, leaf, sibling;
};

// Root\Live, Root\Gonf and Root\Gone\Child\Leaf with values (one of them
// big data) and a class.
std::unique_ptr<Built> Make() {
  auto h = std::make_unique<Built>();
  HiveBuilder& b = h->b;
  Key live = b.AddKey(b.Root(), "Live");
  b.AddValue(live, "kept", 4, {1, 0, 0, 0});
  h->sibling = b.AddKey(b.Root(), "Gonf");
  h->gone = b.AddKey(b.Root(), "Gone");
  b.SetClass(h->gone, u"cls");
  b.AddValue(h->gone, "ImagePath", 2, Utf16(u"%SystemRoot%\\drv.sys"));
  b.AddValue(h->gone, "Start", 4, {3, 0, 0, 0});
  h->child = b.AddKey(h->gone, "Parameters");
  std::vector<uint8_t> big(20000);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7 + 1);
  b.AddValue(h->child, "blob", 3, big);
  b.AddValue(h->child, "", 1, Utf16(u"default"));
  h->leaf = b.AddKey(h->child, "Leaf");
  b.AddValue(h->leaf, "multi", 7, Utf16(std::u16string(u"a\0b\0", 4)));
  b.Build();
  return h;
}

TEST(Recover, JsonListsTheDeletedSubtree) {
  TempDir dir;
  auto h = Make();
  std::set<uint32_t> nk;
  for (Key k : {h->gone, h->child, h->leaf}) nk.insert(h->b.Offset(h->b.NkCell(k)));
  DeleteKeyAsWindows(h->b, h->gone);
  ASSERT_TRUE(h->b.WriteTo(dir.File("del.hiv")));
  ProcessResult run = Quelbrix({"--no-logs", "recover", dir.File("del.hiv"), "--format", "json"});
  ASSERT_EQ(run.status, 0) << run.err;
  json j = json::parse(run.out);
  EXPECT_EQ(j["hive"], dir.File("del.hiv"));
  EXPECT_EQ(j["values"], json::array());
  std::set<uint32_t> offsets;
  std::vector<std::string> paths;
  for (const json& k : j["keys"]) {
    offsets.insert(k["offset"].get<uint32_t>());
    paths.push_back(k["path"]);
    EXPECT_TRUE(k["path_complete"].get<bool>());
  }
  EXPECT_EQ(offsets, nk);
  EXPECT_EQ(paths, (std::vector<std::string>{"Gone", "Gone\\Parameters", "Gone\\Parameters\\Leaf"}));
  const json& gone = j["keys"][0];
  EXPECT_EQ(gone["name"], "Gone");
  EXPECT_EQ(gone["parent_offset"], h->b.Offset(h->b.NkCell(h->b.Root())));
  EXPECT_EQ(gone["last_write"], "2019-11-24T10:41:46.2495991Z");
  EXPECT_EQ(gone["class"], "cls");
  EXPECT_EQ(gone["values"][0], json({{"name", "ImagePath"}, {"type", "REG_EXPAND_SZ"}, {"type_code", 2},
                                     {"data", "%SystemRoot%\\drv.sys"}, {"complete", true}}));
  EXPECT_EQ(gone["values"][1]["data"], 3);
  const json& params = j["keys"][1];
  EXPECT_EQ(params["values"][0]["hex"].get<std::string>().size(), 40000u);
  EXPECT_EQ(params["values"][1]["name"], "");
  EXPECT_EQ(j["keys"][2]["values"][0]["data"], json::array({"a", "b"}));

  // KEY limits the listing, in any letter case; text keeps the tree.
  run = Quelbrix({"--no-logs", "recover", dir.File("del.hiv"), "GONE\\parameters", "--format", "json"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(json::parse(run.out)["keys"].size(), 2u);
  run = Quelbrix({"--no-logs", "recover", dir.File("del.hiv")});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("3 deleted keys (3 with a path from the root), 5 deleted values (5 complete)"),
            std::string::npos) << run.out;
  EXPECT_NE(run.out.find("\n  Parameters  ["), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("\n    Leaf  ["), std::string::npos) << run.out;
}

// Put back under its live parent, the tree reads as it did before the
// deletion; the file read is left as it was.
TEST(Undelete, GivesTheTreeBackSound) {
  TempDir dir;
  auto h = Make();
  ASSERT_TRUE(h->b.WriteTo(dir.File("orig.hiv")));
  DeleteKeyAsWindows(h->b, h->gone);
  ASSERT_TRUE(h->b.WriteTo(dir.File("del.hiv")));
  std::string before = Slurp(dir.File("del.hiv"));
  ProcessResult run = Quelbrix({"--no-logs", "-q", "--output-dir", dir.Path(), "undelete", dir.File("del.hiv"),
                                "Gone", "-o", dir.File("out.hiv")});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("Gone back as Gone: 3 keys, 5 values"), std::string::npos) << run.err;
  EXPECT_EQ(Slurp(dir.File("del.hiv")), before);
  EXPECT_EQ(Quelbrix({"-q", "--output-dir", dir.Path(), "search", dir.File("out.hiv")}).status, 0);
  EXPECT_EQ(HivexListing(dir.File("out.hiv")), HivexListing(dir.File("orig.hiv")));
  ProcessResult xml = RunProcess({"hivexml", dir.File("out.hiv")});
  EXPECT_EQ(xml.status, 0) << xml.err;
  EXPECT_NE(xml.out.find("Parameters"), std::string::npos);
}

// A live sibling that took the name: "Gone (2)".  A parent that is gone
// too: under Recovered at the root, named by @OFFSET.  -o - and the hive
// itself are refused.
TEST(Undelete, RenamesAndRecoveredParent) {
  TempDir dir;
  auto h = Make();
  HiveBuilder& b = h->b;
  uint32_t gone = b.Offset(b.NkCell(h->gone));
  uint32_t params = b.Offset(b.NkCell(h->child));
  DeleteKeyAsWindows(b, h->gone);
  // The live Gonf becomes Gone (same length; its hash follows).
  uint32_t sibling = b.Offset(b.NkCell(h->sibling));
  b.SetU32(sibling, 0x50, 0x656E6F47);  // "Gone"
  // The deletion moved the entries after Gone's one down.
  uint32_t leaf = b.EntryOf(h->sibling).leafOffset, slot = 0;
  while (b.U32(leaf, 8 + 8 * slot) != sibling) ++slot;
  b.SetU32(leaf, 8 + 8 * slot + 4, BuilderLhHash(u"Gone"));
  b.RecomputeChecksum();
  ASSERT_TRUE(b.WriteTo(dir.File("clash.hiv")));
  ASSERT_EQ(Quelbrix({"-q", "--output-dir", dir.Path(), "search", dir.File("clash.hiv")}).status, 0);
  ProcessResult run = Quelbrix({"--no-logs", "-q", "--output-dir", dir.Path(), "undelete", dir.File("clash.hiv"),
                                "gone", "-o", dir.File("two.hiv")});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("Gone: a live key has that name; restored as \"Gone (2)\""), std::string::npos) << run.err;
  EXPECT_EQ(Quelbrix({"-q", "--output-dir", dir.Path(), "search", dir.File("two.hiv")}).status, 0);
  ProcessResult xml = RunProcess({"hivexml", dir.File("two.hiv")});
  EXPECT_EQ(xml.status, 0);
  EXPECT_NE(xml.out.find("<node name=\"Gone (2)\""), std::string::npos);

  // Gone's cell reused: Parameters has no live parent any more.
  TakeCellAt(b, gone, 16);
  b.SetU32(gone, 4, 0);
  b.RecomputeChecksum();
  ASSERT_TRUE(b.WriteTo(dir.File("orphan.hiv")));
  char at[16];
  std::snprintf(at, sizeof at, "@0x%x", params);
  run = Quelbrix({"--no-logs", "-q", "--output-dir", dir.Path(), "undelete", dir.File("orphan.hiv"), at, "-o",
                  dir.File("rec.hiv")});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("restored under Recovered at the root"), std::string::npos) << run.err;
  EXPECT_EQ(Quelbrix({"-q", "--output-dir", dir.Path(), "search", dir.File("rec.hiv")}).status, 0);
  std::string listing = HivexListing(dir.File("rec.hiv"));
  // "Recovered/Parameters/Leaf" as hive_dump names it (UTF-16LE in hex).
  EXPECT_NE(listing.find("K 5200650063006f0076006500720065006400/50006100720061006d0065007400650072007300/"
                         "4c00650061006600"),
            std::string::npos)
      << listing;

  EXPECT_EQ(Quelbrix({"undelete", dir.File("orphan.hiv"), at, "-o", "-"}).status, 2);
  EXPECT_EQ(Quelbrix({"undelete", dir.File("orphan.hiv"), at, "-o", dir.File("orphan.hiv")}).status, 1);
  EXPECT_EQ(Quelbrix({"--no-logs", "undelete", dir.File("orphan.hiv"), "NoSuchKey", "-o", dir.File("x.hiv")}).status, 1);
}

}  // namespace
}  // namespace quelbrix::testing
