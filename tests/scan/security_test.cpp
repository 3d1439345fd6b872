#include "app/context.h"
#include "scan/security.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/report_log.h"
#include "hive/access_map.h"
#include "hive/bytes.h"
#include "support/recording_findings.h"
#include "support/recording_frontend.h"

namespace quelbrix {
namespace {

using Bytes = std::vector<uint8_t>;

// A HiveContext over a zeroed image and AccessMap, a report in a temporary
// file and the pane recorded.
class SecurityTest : public ::testing::Test {
 protected:
  SecurityTest() : buffer_(kImageSize, 0) {
    ctx_.Image = buffer_.data();
    ctx_.ImageSize = kImageSize;
    EXPECT_TRUE(ctx_.Shadow.Reset(kImageSize));
    ctx_.ReportFile = std::tmpfile();
    ctx_.UI = &ui_;
    ctx_.Findings = &found_;
    ctx_.CommandId = kCmdSearchDates;
    ctx_.Rules = MakePassRules(ctx_.CommandId, ctx_.DiagnosticMode != 0);
  }
  ~SecurityTest() override {
    DeleteDescriptorList(ctx_.Descriptors);
    if (ctx_.ReportFile) std::fclose(ctx_.ReportFile);
  }

  std::vector<std::string> Report() {
    std::fflush(ctx_.ReportFile);
    std::rewind(ctx_.ReportFile);
    std::string all;
    char chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, ctx_.ReportFile)) > 0) all.append(chunk, n);
    std::vector<std::string> lines;
    for (size_t start = 0; start < all.size();) {
      size_t end = all.find("\r\n", start);
      if (end == std::string::npos) end = all.size();
      lines.push_back(all.substr(start, end - start));
      start = end + 2;
    }
    return lines;
  }
  // The lines the check reported as findings, whatever their severity (only
  // faults are red in the pane).
  std::vector<std::string> Found() const {
    std::vector<std::string> out;
    for (const auto& h : found_.All()) out.push_back(h.Line);
    return out;
  }
  int32_t Counter(RepairCounter c) { return ScanTotals(ctx_).Counter(c); }
  int32_t DescriptorCounters() {
    int32_t sum = 0;
    for (uint32_t pos = static_cast<uint32_t>(RepairCounter::DescriptorDaclSidClean);
         pos <= static_cast<uint32_t>(RepairCounter::DescriptorDaclLocalClean); pos += 4)
      sum += ScanTotals(ctx_).Counter(static_cast<RepairCounter>(pos));
    return sum;
  }
  DescriptorRecord& Check(const Bytes& sd, int32_t command) {
    ctx_.CommandId = command;
    ctx_.Rules = MakePassRules(ctx_.CommandId, ctx_.DiagnosticMode != 0);
    DescriptorRecord* r = RegisterDescriptor(ctx_, sd.data(), static_cast<uint32_t>(sd.size()));
    EXPECT_NE(r, nullptr);
    CheckSecurityDescriptor(ctx_, *r);
    return *r;
  }
  static Bytes Work(const DescriptorRecord& r) { return Bytes(r.WorkCopy.begin(), r.WorkCopy.begin() + r.WorkLength); }

  static constexpr uint32_t kImageSize = 8192;
  Bytes buffer_;
  testing::RecordingFrontend ui_;
  testing::RecordingFindings found_;
  HiveContext ctx_;
};

// ---- descriptors built byte by byte ----

Bytes Sid(uint8_t authority, std::initializer_list<uint32_t> subs) {
  Bytes s = {1, static_cast<uint8_t>(subs.size()), 0, 0, 0, 0, 0, authority};
  for (uint32_t v : subs) {
    s.resize(s.size() + 4);
    StoreU32(&s[s.size() - 4], v);
  }
  return s;
}
const Bytes kSystem = Sid(5, {18});
const Bytes kAdmins = Sid(5, {32, 544});
const Bytes kEveryone = Sid(1, {0});
const Bytes kUsers = Sid(5, {32, 545});

// An ACE of the SID's own length plus `slack` bytes.
Bytes Ace(uint8_t type, uint32_t mask, const Bytes& sid, uint8_t flags = 0x02, uint16_t slack = 0) {
  Bytes a(8, 0);
  a[0] = type;
  a[1] = flags;
  StoreU16(&a[2], static_cast<uint16_t>(8 + sid.size() + slack));
  StoreU32(&a[4], mask);
  a.insert(a.end(), sid.begin(), sid.end());
  a.resize(a.size() + slack, 0xEE);
  return a;
}

Bytes Acl(const std::vector<Bytes>& aces, uint16_t extra = 0) {
  Bytes acl = {2, 0, 0, 0, 0, 0, 0, 0};
  for (const Bytes& a : aces) acl.insert(acl.end(), a.begin(), a.end());
  acl.resize(acl.size() + extra, 0);
  StoreU16(&acl[2], static_cast<uint16_t>(acl.size()));
  StoreU16(&acl[4], static_cast<uint16_t>(aces.size()));
  return acl;
}

// Header, then the DACL (when given), owner and group.
Bytes Descriptor(uint16_t control, const Bytes* dacl, const Bytes& owner, const Bytes& group) {
  Bytes sd(20, 0);
  sd[0] = 1;
  StoreU16(&sd[2], control);
  auto put = [&sd](uint32_t field, const Bytes& part) {
    StoreU32(&sd[field], static_cast<uint32_t>(sd.size()));
    sd.insert(sd.end(), part.begin(), part.end());
  };
  if (dacl) put(16, *dacl);
  put(4, owner);
  put(8, group);
  return sd;
}

std::string Hex(const Bytes& b) {
  std::string s;
  char pair[3];
  for (uint8_t v : b) {
    std::snprintf(pair, sizeof pair, "%02x", v);
    s += pair;
  }
  return s;
}

constexpr uint16_t kSelfRelativeDacl = 0x8004;
const uint8_t kAdminsAce[24] = {0x00, 0x12, 0x18, 0x00, 0x3F, 0x00, 0x0F, 0x00, 0x01, 0x02, 0x00, 0x00,
                                0x00, 0x00, 0x00, 0x05, 0x20, 0x00, 0x00, 0x00, 0x20, 0x02, 0x00, 0x00};
const uint8_t kSystemAce[20] = {0x00, 0x12, 0x14, 0x00, 0x3F, 0x00, 0x0F, 0x00, 0x01, 0x01,
                                0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x12, 0x00, 0x00, 0x00};

// ---- SID texts and names ----

TEST(SidText, FormatsAndNames) {
  EXPECT_EQ(SidText(kSystem.data(), 12), "S-1-5-18");
  EXPECT_EQ(LookupSidName("S-1-5-18"), std::string("Local System"));
  EXPECT_EQ(LookupSidName(SidText(kAdmins.data(), 16)), std::string("Administrators"));
  EXPECT_EQ(LookupSidName("S-1-0"), std::string("Null Authority"));
  EXPECT_EQ(LookupSidName("S-1-5-32-574"), std::string("BUILTIN\\Certificate Service DCOM Access"));
  EXPECT_EQ(LookupSidName("S-1-5-19"), std::string("NT Authority"));
  // Exact, case-sensitive text comparison: descriptive rows match only themselves.
  EXPECT_EQ(LookupSidName("S-1-5-5-0-999"), std::string("Unknown"));
  EXPECT_EQ(LookupSidName("s-1-5-18"), std::string("Unknown"));
  EXPECT_EQ(LookupSidName("S-1-5-1"), std::string("Dialup"));

  Bytes domain = Sid(5, {21, 3623811015u, 3361044348u, 30300820u, 1013});
  std::string text = SidText(domain.data(), static_cast<uint32_t>(domain.size()));
  EXPECT_EQ(text, "S-1-5-21-3623811015-3361044348-30300820-1013");
  EXPECT_EQ(LookupSidName(text), std::string("Unknown"));
}

TEST(SidText, StaysInsideItsBytesAndLineBuffer) {
  // SubAuthorityCount claims 5, but only one sub-authority is available.
  Bytes claim = Sid(5, {18});
  claim[1] = 5;
  EXPECT_EQ(SidText(claim.data(), 12), "S-1-5-18");
  EXPECT_EQ(SidText(claim.data(), 3), "S-1-0");
  EXPECT_EQ(SidText(nullptr, 0), "S-0-0");

  Bytes huge = {1, 255, 0, 0, 0, 0, 0, 5};
  huge.resize(8 + 4 * 255, 0xFF);
  std::string text = SidText(huge.data(), static_cast<uint32_t>(huge.size()));
  EXPECT_EQ(text.size(), 259u);
  EXPECT_EQ(text.rfind("S-1-5-4294967295-4294967295-", 0), 0u);
}

// ---- the DescriptorList ----

// The last record is compared first: runs of one descriptor, the same bytes
// at another address and a descriptor met again after others all count on
// the record their bytes name, never on the last one met.
TEST_F(SecurityTest, RunsOfOneDescriptorCountOnTheirOwnRecord) {
  Bytes a(40, 1), b(40, 1), c(24, 5);
  b[39] = 2;  // a's length, one byte apart
  Bytes aCopy = a;
  const Bytes* order[] = {&a, &a, &b, &aCopy, &c, &c, &a, &b, &b};
  for (const Bytes* d : order) ASSERT_NE(RegisterDescriptor(ctx_, d->data(), static_cast<uint32_t>(d->size())), nullptr);
  DescriptorRecord* ra = FindDescriptor(ctx_, a.data(), 40);
  DescriptorRecord* rb = FindDescriptor(ctx_, b.data(), 40);
  DescriptorRecord* rc = FindDescriptor(ctx_, c.data(), 24);
  ASSERT_TRUE(ra && rb && rc);
  EXPECT_EQ(ctx_.Descriptors->Records.size(), 3u);
  EXPECT_EQ(ra->AccessCount, 4u);
  EXPECT_EQ(rb->AccessCount, 3u);
  EXPECT_EQ(rc->AccessCount, 2u);
  EXPECT_EQ(ra->Number, 1u);
  EXPECT_EQ(rb->Number, 2u);
  EXPECT_EQ(rc->Number, 3u);
}

TEST_F(SecurityTest, ListKeepsFirstSeenOrderWithinLengths) {
  Bytes a(40, 1), b(20, 2), c(40, 3);
  DescriptorRecord* ra = RegisterDescriptor(ctx_, a.data(), 40);
  DescriptorRecord* rb = RegisterDescriptor(ctx_, b.data(), 20);
  DescriptorRecord* rc = RegisterDescriptor(ctx_, c.data(), 40);
  EXPECT_EQ(RegisterDescriptor(ctx_, a.data(), 40), ra);
  EXPECT_EQ(RegisterDescriptor(ctx_, a.data(), 0), nullptr);
  ASSERT_TRUE(ra && rb && rc);
  EXPECT_EQ(ra->Number, 1u);
  EXPECT_EQ(rb->Number, 2u);
  EXPECT_EQ(rc->Number, 3u);
  EXPECT_EQ(ra->AccessCount, 2u);
  EXPECT_EQ(rc->AccessCount, 1u);
  EXPECT_EQ(ScanTotals(ctx_).Get(Total::DescriptorRunningNumber), 3u);
  EXPECT_EQ(ctx_.Descriptors->Ordered(), (std::vector<DescriptorRecord*>{rb, ra, rc}));
  EXPECT_EQ(FindDescriptor(ctx_, c.data(), 40), rc);
  Bytes a2 = a;
  a2[39] = 9;
  EXPECT_EQ(FindDescriptor(ctx_, a2.data(), 40), nullptr);
  EXPECT_EQ(FindDescriptor(ctx_, a.data(), 39), nullptr);

  rb->CellCount = 2;
  ui_.Clear();
  found_.Clear();
  SecurityDescriptorSummary(ctx_);
  std::vector<testing::PaneLine> pane = ui_.Pane();
  ASSERT_FALSE(pane.empty());
  EXPECT_EQ(pane.front().text.rfind("[SecurityDescriptor Summary] ", 0), 0u);
  EXPECT_EQ(pane.front().colour, kGreen);
  std::vector<std::string> black;
  for (const auto& l : pane)
    if (l.colour == kBlack) black.push_back(l.text);
  EXPECT_EQ(black, (std::vector<std::string>{"No.2 SecurityDescriptor(20Byte) AccessCount=1 CellCount=2",
                                             "No.1 SecurityDescriptor(40Byte) AccessCount=2 CellCount=0",
                                             "No.3 SecurityDescriptor(40Byte) AccessCount=1 CellCount=0",
                                             "SecurityDescriptor(Total) AccessCount=4 CellCount=2"}));
}

// ---- listing ----

TEST_F(SecurityTest, ListsEveryPartToTheReportOnly) {
  Bytes dacl = Acl({Ace(0, 0x000F003F, kAdmins), Ace(0, 0x000F003F, kSystem, 0x12), Ace(1, 0x00020019, kEveryone, 0)});
  Bytes sd = Descriptor(kSelfRelativeDacl, &dacl, kAdmins, kSystem);
  DescriptorRecord& r = Check(sd, kCmdSearchDates);

  EXPECT_EQ(Report(), (std::vector<std::string>{
                          "SECURITY_DESCRIPTOR_RELATIVE=" + Hex(sd),
                          "SECURITY_DESCRIPTOR_CONTROL=8004",
                          "Owner=S-1-5-32-544(Administrators):SID=" + Hex(kAdmins),
                          "Group=S-1-5-18(Local System):SID=" + Hex(kSystem),
                          "ACCESS_ALLOWED_ACE_TYPE AceFlags=02 ACCESS_MASK=000f003f S-1-5-32-544(Administrators):SID=" +
                              Hex(kAdmins),
                          "ACCESS_ALLOWED_ACE_TYPE AceFlags=12 ACCESS_MASK=000f003f S-1-5-18(Local System):SID=" +
                              Hex(kSystem),
                          "ACCESS_DENIED_ACE_TYPE  AceFlags=00 ACCESS_MASK=00020019 S-1-1-0(Everyone);SID=" +
                              Hex(kEveryone),
                      }));
  EXPECT_TRUE(ui_.Pane().empty());
  EXPECT_EQ(r.HasAdministrators, 1);
  EXPECT_EQ(r.HasLocalSystem, 1);
  EXPECT_EQ(r.Modified, 0);
  EXPECT_EQ(Work(r), sd);
}

TEST_F(SecurityTest, OutsideRepairNothingChanges) {
  // Every fault that Repair would fix: a weak Administrators mask, a denied
  // LocalSystem, an over-long ACE, a DACL with room to spare, SE_SACL_PRESENT.
  Bytes dacl = Acl({Ace(0, 0x00020019, kAdmins), Ace(1, 0x10000, kSystem), Ace(0, 1, kUsers, 0, 8)}, 16);
  Bytes sd = Descriptor(kSelfRelativeDacl | 0x10, &dacl, kAdmins, kSystem);
  for (int32_t command : {kCmdSearchDates, kCmdSearchNoDates, kCmdDefrag, kCmdRebuild}) {
    DescriptorRecord& r = Check(sd, command);
    EXPECT_EQ(r.Modified, 0) << command;
    EXPECT_EQ(Work(r), sd) << command;
    EXPECT_EQ(r.Bytes, sd) << command;
    EXPECT_EQ(r.HasAdministrators, 1) << command;
    EXPECT_EQ(r.HasLocalSystem, 0) << command;  // only a repair turns the denied ACE round
  }
  Bytes noDacl = Descriptor(0x8000, nullptr, kAdmins, kSystem);
  EXPECT_EQ(Check(noDacl, kCmdDefrag).Modified, 0);
  EXPECT_TRUE(Found().empty());
  EXPECT_EQ(DescriptorCounters(), 0);
}

TEST_F(SecurityTest, MissingOwnerGroupAndStrayOffsetsAreReported) {
  Bytes dacl = Acl({Ace(0, 0x000F003F, kAdmins), Ace(0, 0x000F003F, kSystem)});
  Bytes sd = Descriptor(kSelfRelativeDacl, &dacl, kAdmins, kSystem);
  StoreU32(&sd[4], 0);      // no owner
  StoreU32(&sd[8], 5000);   // group beyond the descriptor
  StoreU32(&sd[12], 5000);  // SACL likewise
  Check(sd, kCmdSearchDates);
  EXPECT_EQ(Found(), (std::vector<std::string>{"Group Offset Error offset=5000 Length=" + std::to_string(sd.size()),
                                             "SACL Offset Error offset=5000 Length=" + std::to_string(sd.size()),
                                             Ansi("Owner なし Error"), Ansi("Group なし Error")}));

  Bytes tiny = {1, 0, 4, 0x80, 0, 0, 0, 0, 0, 0, 0, 0};
  ui_.Clear();
  found_.Clear();
  DescriptorRecord& r = Check(tiny, kCmdRepair);
  EXPECT_EQ(Found(), (std::vector<std::string>{"SECURITY_DESCRIPTOR Length Error Length=12"}));
  EXPECT_EQ(r.Modified, 0);
}

// ---- malformed ACL chains: the walk ends inside the descriptor ----

TEST_F(SecurityTest, MalformedAcesEndTheWalkAndBlockRepairs) {
  struct Case {
    const char* what;
    uint16_t aceSize;   // of the second ACE
    uint16_t aceCount;  // of the DACL
    bool daclLast;      // owner and group first, nothing behind the DACL
    std::string red;
  };
  // DACL first: it runs from 20 to 72, the second ACE starts at 52.
  // DACL last: it runs from 48 to the end (100), the second ACE starts at 80.
  const std::vector<Case> cases = {
      {"AceSize 0", 0, 2, false, "ACE Size Error offset=52 AceSize=0"},
      {"AceSize 6", 6, 2, false, "ACE Size Error offset=52 AceSize=6"},
      {"past the DACL", 40, 2, false, "ACE OverFlow Error offset=52 AceSize=40 DaclSize=52"},
      {"past the descriptor", 0xFFFF, 2, true, "ACE OverFlow Error offset=80 AceSize=65535 DaclSize=52"},
      {"AceCount beyond the ACEs", 20, 0xFFFF, true, "ACE OverFlow Error offset=100 AceSize=0 DaclSize=52"},
  };
  for (const Case& c : cases) {
    Bytes dacl = Acl({Ace(0, 0x00020019, kAdmins), Ace(0, 0x000F003F, kSystem)});
    StoreU16(&dacl[4], c.aceCount);
    StoreU16(&dacl[8 + 24 + 2], c.aceSize);
    Bytes sd;
    if (c.daclLast) {
      sd = Descriptor(kSelfRelativeDacl, nullptr, kAdmins, kSystem);
      StoreU32(&sd[16], static_cast<uint32_t>(sd.size()));
      sd.insert(sd.end(), dacl.begin(), dacl.end());
    } else {
      sd = Descriptor(kSelfRelativeDacl, &dacl, kAdmins, kSystem);
    }
    ui_.Clear();
    found_.Clear();
    DescriptorRecord& r = Check(sd, kCmdRepair);
    EXPECT_EQ(Found(), std::vector<std::string>{c.red}) << c.what;
    EXPECT_EQ(r.Modified, 0) << c.what;
    EXPECT_EQ(Work(r), sd) << c.what;
  }
  EXPECT_EQ(DescriptorCounters(), 0);
}

TEST_F(SecurityTest, SidLongerThanItsAceIsListedCut) {
  Bytes ace = Ace(0, 0x000F003F, kAdmins);
  ace[9] = 4;  // claims 24 bytes of SID in 16
  Bytes dacl = Acl({Ace(0, 0x000F003F, kSystem), ace});
  Bytes sd = Descriptor(kSelfRelativeDacl, &dacl, kAdmins, kSystem);
  DescriptorRecord& r = Check(sd, kCmdRepair);
  EXPECT_EQ(Found(), (std::vector<std::string>{"ACE Sid Error offset=48 AceSize=24 SidLength=24"}));
  std::vector<std::string> report = Report();
  ASSERT_GE(report.size(), 2u);
  EXPECT_EQ(report[report.size() - 2],
            "ACCESS_ALLOWED_ACE_TYPE AceFlags=02 ACCESS_MASK=000f003f S-1-5-32-544(Administrators):SID=" +
                Hex(Bytes(ace.begin() + 8, ace.end())));
  EXPECT_EQ(report.back(), "ACE Sid Error offset=48 AceSize=24 SidLength=24");
  EXPECT_EQ(r.Modified, 0);
}

// ---- repairs ----

TEST_F(SecurityTest, RepairAddsDefaultDaclWhenThereIsNone) {
  Bytes sd = Descriptor(0x8000, nullptr, kAdmins, kSystem);  // owner at 20, group at 36
  DescriptorRecord& r = Check(sd, kCmdRepair);
  EXPECT_EQ(Found(), (std::vector<std::string>{"DACL no present Error"}));
  EXPECT_EQ(r.Modified, 1);
  EXPECT_EQ(r.WorkLength, sd.size() + 52);
  Bytes expect = sd;
  StoreU16(&expect[2], 0x8004);
  StoreU32(&expect[4], 72);
  StoreU32(&expect[8], 88);
  StoreU32(&expect[16], 20);
  Bytes defaultDacl = {0x02, 0x00, 0x34, 0x00, 0x02, 0x00, 0x00, 0x00};
  defaultDacl.insert(defaultDacl.end(), kSystemAce, kSystemAce + 20);
  defaultDacl.insert(defaultDacl.end(), kAdminsAce, kAdminsAce + 24);
  expect.insert(expect.begin() + 20, defaultDacl.begin(), defaultDacl.end());
  EXPECT_EQ(Work(r), expect);
  EXPECT_EQ(Counter(RepairCounter::DescriptorDaclClean), 1);
  EXPECT_EQ(DescriptorCounters(), 1);
  EXPECT_EQ(r.Bytes, sd);
}

TEST_F(SecurityTest, RepairClearsControlBitsOfAbsentLists) {
  Bytes sd = Descriptor(0x8014, nullptr, kAdmins, kSystem);
  StoreU32(&sd[16], 9999);  // a DACL outside the descriptor counts as none
  DescriptorRecord& r = Check(sd, kCmdRepair);
  EXPECT_EQ(Found(), (std::vector<std::string>{"DACL Offset Error offset=9999 Length=48", "SE_SACL_PRESENT Error 0010",
                                             "DACL no present Error", "SE_DACL_PRESENT Error 0004"}));
  EXPECT_EQ(LoadU16(&r.WorkCopy[2]), 0x8004);
  EXPECT_EQ(LoadU32(&r.WorkCopy[16]), 20u);
  EXPECT_EQ(Counter(RepairCounter::DescriptorControlSaclClean), 1);
  EXPECT_EQ(Counter(RepairCounter::DescriptorControlDaclClean), 1);
  EXPECT_EQ(Counter(RepairCounter::DescriptorDaclClean), 1);
}

TEST_F(SecurityTest, RepairFillsAnEmptyDacl) {
  Bytes dacl = Acl({});
  Bytes sd = Descriptor(kSelfRelativeDacl, &dacl, kAdmins, kSystem);  // owner at 28
  DescriptorRecord& r = Check(sd, kCmdRepair);
  EXPECT_EQ(Found(), (std::vector<std::string>{"DACL no Administrators", "DACL no Local System"}));
  Bytes expect = sd;
  StoreU32(&expect[4], 28 + 44);
  StoreU32(&expect[8], 44 + 44);
  StoreU16(&expect[20 + 2], 52);
  StoreU16(&expect[20 + 4], 2);
  expect.insert(expect.begin() + 28, kAdminsAce, kAdminsAce + 24);
  expect.insert(expect.begin() + 28, kSystemAce, kSystemAce + 20);
  EXPECT_EQ(Work(r), expect);
  EXPECT_EQ(Counter(RepairCounter::DescriptorDaclAdminClean), 1);
  EXPECT_EQ(Counter(RepairCounter::DescriptorDaclLocalClean), 1);
  EXPECT_EQ(Counter(RepairCounter::DescriptorDaclSequenceClean), 0);
  EXPECT_EQ(DescriptorCounters(), 2);
}

TEST_F(SecurityTest, RepairOrdersAcesByRank) {
  Bytes everyone = Ace(0, 0x00020019, kEveryone), admins = Ace(0, 0x000F003F, kAdmins),
        system = Ace(0, 0x000F003F, kSystem), users = Ace(0, 0x00020019, kUsers),
        authenticated = Ace(0, 0x00020019, Sid(5, {11}));
  Bytes dacl = Acl({users, everyone, authenticated, admins, system});
  Bytes sd = Descriptor(kSelfRelativeDacl, &dacl, kAdmins, kSystem);
  DescriptorRecord& r = Check(sd, kCmdRepair);
  EXPECT_TRUE(Found().empty());
  Bytes expect = sd;
  Bytes ordered = Acl({system, admins, everyone, authenticated, users});
  std::copy(ordered.begin(), ordered.end(), expect.begin() + 20);
  EXPECT_EQ(Work(r), expect);
  EXPECT_EQ(r.Modified, 1);
  EXPECT_EQ(Counter(RepairCounter::DescriptorDaclSequenceClean), 1);
  EXPECT_EQ(DescriptorCounters(), 1);
}

TEST_F(SecurityTest, RepairGivesAdministratorsAndSystemFullControl) {
  Bytes dacl = Acl({Ace(1, 0x00010000, kSystem), Ace(0, 0x00020019, kAdmins)});
  Bytes sd = Descriptor(kSelfRelativeDacl, &dacl, kAdmins, kSystem);
  DescriptorRecord& r = Check(sd, kCmdRepair);
  EXPECT_EQ(Found(), (std::vector<std::string>{"LocalSystem ACCESS_DENIED_ACE_TYPE Error 00010000",
                                             "Administrators Mask Error 00020019"}));
  Bytes expect = sd;
  expect[28] = 0;  // allowed
  StoreU32(&expect[28 + 4], 0x000F003F);
  StoreU32(&expect[48 + 4], 0x000F003F);
  EXPECT_EQ(Work(r), expect);
  EXPECT_EQ(r.HasAdministrators, 1);
  EXPECT_EQ(r.HasLocalSystem, 1);
  EXPECT_EQ(Counter(RepairCounter::DescriptorDaclAceTypeClean), 1);
  EXPECT_EQ(Counter(RepairCounter::DescriptorDaclAceMaskClean), 1);
  EXPECT_EQ(DescriptorCounters(), 2);
}

TEST_F(SecurityTest, RepairTrimsOverlongAcesAndTheDacl) {
  Bytes longSystem = Ace(0, 0x000F003F, kSystem, 0x02, 8);  // AceSize 28 for a 12-byte SID
  Bytes admins = Ace(0, 0x000F003F, kAdmins);
  Bytes dacl = Acl({longSystem, admins});  // AclSize 60
  Bytes sd = Descriptor(kSelfRelativeDacl, &dacl, kAdmins, kSystem);
  DescriptorRecord& r = Check(sd, kCmdRepair);
  EXPECT_EQ(Found(), (std::vector<std::string>{"sid Length Error calculate=12 actual=20",
                                             "DACL Length Error calculate=52 actual=60"}));
  Bytes trimmed = Ace(0, 0x000F003F, kSystem);
  Bytes newDacl = Acl({trimmed, admins});
  Bytes expect = Descriptor(kSelfRelativeDacl, &newDacl, kAdmins, kSystem);
  EXPECT_EQ(r.WorkLength, sd.size() - 8);
  EXPECT_EQ(Work(r), expect);
  // The freed tail is zero.
  EXPECT_EQ(Bytes(r.WorkCopy.begin() + r.WorkLength, r.WorkCopy.end()), Bytes(8, 0));
  EXPECT_EQ(Counter(RepairCounter::DescriptorDaclSidClean), 1);
  EXPECT_EQ(Counter(RepairCounter::DescriptorDaclLengthClean), 1);
  EXPECT_EQ(DescriptorCounters(), 2);
}

TEST_F(SecurityTest, RepairCompactsBehindTheFirstTrimmedAce) {
  // Two over-long ACEs and a sound one: each later ACE closes up behind the
  // last one written; the DACL is the last part, so only AclSize shrinks.
  Bytes a = Ace(0, 0x000F003F, kSystem, 0x02, 4), b = Ace(0, 0x000F003F, kAdmins, 0x02, 8),
        c = Ace(0, 0x00020019, kEveryone);
  Bytes dacl = Acl({a, b, c});
  Bytes sd = Descriptor(kSelfRelativeDacl, nullptr, kAdmins, kSystem);
  StoreU32(&sd[16], static_cast<uint32_t>(sd.size()));
  sd.insert(sd.end(), dacl.begin(), dacl.end());
  DescriptorRecord& r = Check(sd, kCmdRepair);
  EXPECT_EQ(Found(), (std::vector<std::string>{"sid Length Error calculate=12 actual=16",
                                             "sid Length Error calculate=16 actual=24",
                                             "DACL Length Error calculate=72 actual=84"}));
  Bytes compact = Acl({Ace(0, 0x000F003F, kSystem), Ace(0, 0x000F003F, kAdmins), c});
  EXPECT_EQ(r.WorkLength, sd.size());
  EXPECT_EQ(Bytes(r.WorkCopy.begin() + 48, r.WorkCopy.begin() + 48 + 72), compact);
}

}  // namespace
}  // namespace quelbrix
