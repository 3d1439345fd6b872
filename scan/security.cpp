#include "scan/security.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "core/report_log.h"
#include "hive/access_map.h"
#include "hive/bytes.h"
#include "hive/report_finding.h"

namespace quelbrix {
namespace {

// ---------------------------------------------------------------------------
// Well-known SIDs.  The third column explains each row to a reader of this
// table; no operation reads it.

struct WellKnownSid {
  const char* Sid;
  const char* Name;
  const char* Description;
};

constexpr WellKnownSid kWellKnownSidTable[] = {
    {"S-1-0", "Null Authority", "識別子機関なし"},
    {"S-1-0-0", "Nobody", "どのセキュリティプリンシパルにも当たらない"},
    {"S-1-1", "World Authority", "全員を表す識別子機関"},
    {"S-1-1-0", "Everyone", "匿名を除くすべての利用者"},
    {"S-1-2", "Local Authority", "ローカル識別子機関"},
    {"S-1-2-0", "Local", "ローカル端末からログオンした利用者"},
    {"S-1-2-1", "Console Logon", "物理コンソールからログオンした利用者"},
    {"S-1-3", "Creator Authority", "作成者識別子機関"},
    {"S-1-3-0", "Creator Owner", "継承時に作成者の所有者へ置き換わる"},
    {"S-1-3-1", "Creator Group", "継承時に作成者のプライマリグループへ置き換わる"},
    {"S-1-3-2", "Creator Owner Server", "作成者所有者サーバー"},
    {"S-1-3-3", "Creator Group Server", "作成者グループサーバー"},
    {"S-1-3-4", "Owner Rights", "オブジェクトの現在の所有者"},
    {"S-1-4", "Non-unique Authority", "一意でない識別子機関"},
    {"S-1-5", "NT Authority", "NT 識別子機関"},
    {"S-1-5-1", "Dialup", "ダイヤルアップでログオンした利用者"},
    {"S-1-5-2", "Network", "ネットワーク経由でログオンした利用者"},
    {"S-1-5-3", "Batch", "バッチジョブとしてログオンした利用者"},
    {"S-1-5-4", "Interactive", "対話的にログオンした利用者"},
    {"S-1-5-5-X-Y", "Logon Session", "ログオンセッションごとの識別子"},
    {"S-1-5-6", "Service", "サービスとしてログオンしたプリンシパル"},
    {"S-1-5-7", "Anonymous", "匿名ログオン"},
    {"S-1-5-8", "Proxy", "プロキシ"},
    {"S-1-5-9", "Enterprise Domain Controllers", "フォレストのすべてのドメインコントローラー"},
    {"S-1-5-10", "Principal Self", "オブジェクト自身を表すプレースホルダー"},
    {"S-1-5-11", "Authenticated Users", "認証済みのすべての利用者"},
    {"S-1-5-12", "Restricted Code", "制限付きトークンで動くコード"},
    {"S-1-5-13", "Terminal Server Users", "ターミナルサーバーの利用者"},
    {"S-1-5-14", "Remote Interactive Logon", "リモートデスクトップでログオンした利用者"},
    {"S-1-5-15", "This Organization", "同じ組織の利用者"},
    {"S-1-5-17", "This Organization", "IIS が使う既定のアカウント"},
    {"S-1-5-18", "Local System", "オペレーティングシステム自身のアカウント"},
    {"S-1-5-19", "NT Authority", "ローカルサービスのアカウント"},
    {"S-1-5-20", "NT Authority", "ネットワークサービスのアカウント"},
    {"S-1-5-21domain-500", "Administrator", "ドメインまたはコンピューターの管理者アカウント"},
    {"S-1-5-21domain-501", "Guest", "ゲストアカウント"},
    {"S-1-5-21domain-502", "KRBTGT", "鍵配布センターのサービスアカウント"},
    {"S-1-5-21domain-512", "Domain Admins", "ドメインの管理者グループ"},
    {"S-1-5-21domain-513", "Domain Users", "ドメインのすべての利用者"},
    {"S-1-5-21domain-514", "Domain Guests", "ドメインのゲストグループ"},
    {"S-1-5-21domain-515", "Domain Computers", "ドメインに参加したコンピューター"},
    {"S-1-5-21domain-516", "Domain Controllers", "ドメインのドメインコントローラー"},
    {"S-1-5-21domain-517", "Cert Publishers", "証明書を発行するコンピューター"},
    {"S-1-5-21root domain-518", "Schema Admins", "スキーマの管理者グループ"},
    {"S-1-5-21root domain-519", "Enterprise Admins", "フォレスト全体の管理者グループ"},
    {"S-1-5-21domain-520", "Group Policy Creator Owners", "グループポリシーを作成できるグループ"},
    {"S-1-5-21domain-553", "RAS and IAS Servers", "リモートアクセスと認証のサーバー"},
    {"S-1-5-32-544", "Administrators", "組み込みの管理者グループ"},
    {"S-1-5-32-545", "Users", "組み込みの利用者グループ"},
    {"S-1-5-32-546", "Guests", "組み込みのゲストグループ"},
    {"S-1-5-32-547", "Power Users", "組み込みのパワーユーザーグループ"},
    {"S-1-5-32-548", "Account Operators", "アカウントを管理するグループ"},
    {"S-1-5-32-549", "Server Operators", "サーバーを管理するグループ"},
    {"S-1-5-32-550", "Print Operators", "プリンターを管理するグループ"},
    {"S-1-5-32-551", "Backup Operators", "バックアップと復元をするグループ"},
    {"S-1-5-32-552", "Replicators", "ファイル複製のグループ"},
    {"S-1-5-64-10", "NTLM Authentication", "NTLM で認証されたクライアント"},
    {"S-1-5-64-14", "SChannel Authentication", "SChannel で認証されたクライアント"},
    {"S-1-5-64-21", "Digest Authentication", "ダイジェスト認証で認証されたクライアント"},
    {"S-1-5-80", "NT Service", "サービスの識別子機関"},
    {"S-1-16-0", "Untrusted Mandatory Level", "信頼されない整合性レベル"},
    {"S-1-16-4096", "Low Mandatory Level", "低い整合性レベル"},
    {"S-1-16-8192", "Medium Mandatory Level", "中程度の整合性レベル"},
    {"S-1-16-8448", "Medium Plus Mandatory Level", "中程度より少し高い整合性レベル"},
    {"S-1-16-12288", "High Mandatory Level", "高い整合性レベル"},
    {"S-1-16-16384", "System Mandatory Level", "システムの整合性レベル"},
    {"S-1-16-20480", "Protected Process Mandatory Level", "保護されたプロセスの整合性レベル"},
    {"S-1-16-28672", "Secure Process Mandatory Level", "セキュアプロセスの整合性レベル"},
    {"S-1-5-32-554", "BUILTIN\\Pre-Windows 2000 Compatible Access", "旧バージョン互換の読み取りアクセス"},
    {"S-1-5-32-555", "BUILTIN\\Remote Desktop Users", "リモートデスクトップでログオンできるグループ"},
    {"S-1-5-32-556", "BUILTIN\\Network Configuration Operators", "ネットワーク設定を変更できるグループ"},
    {"S-1-5-32-557", "BUILTIN\\Incoming Forest Trust Builders", "受信方向のフォレスト信頼を作れるグループ"},
    {"S-1-5-32-558", "BUILTIN\\Performance Monitor Users", "性能カウンターを監視できるグループ"},
    {"S-1-5-32-559", "BUILTIN\\Performance Log Users", "性能ログを取れるグループ"},
    {"S-1-5-32-560", "BUILTIN\\Windows Authorization Access Group", "トークングループ属性を読めるグループ"},
    {"S-1-5-32-561", "BUILTIN\\Terminal Server License Servers", "ターミナルサーバーのライセンスサーバー"},
    {"S-1-5-32-562", "BUILTIN\\Distributed COM Users", "DCOM オブジェクトを起動できるグループ"},
    {"S-1-5- 21domain -498", "Enterprise Read-only Domain Controllers", "フォレストの読み取り専用ドメインコントローラー"},
    {"S-1-5- 21domain -521", "Read-only Domain Controllers", "ドメインの読み取り専用ドメインコントローラー"},
    {"S-1-5-32-569", "BUILTIN\\Cryptographic Operators", "暗号操作をするグループ"},
    {"S-1-5-21 domain -571", "Allowed RODC Password Replication Group", "読み取り専用 DC へパスワードを複製してよいグループ"},
    {"S-1-5- 21 domain -572", "Denied RODC Password Replication Group", "読み取り専用 DC へパスワードを複製しないグループ"},
    {"S-1-5-32-573", "BUILTIN\\Event Log Readers", "イベントログを読めるグループ"},
    {"S-1-5-32-574", "BUILTIN\\Certificate Service DCOM Access", "証明機関へ DCOM で接続できるグループ"},
};
static_assert(sizeof kWellKnownSidTable / sizeof kWellKnownSidTable[0] == 84);

// ---------------------------------------------------------------------------
// Descriptor layout (self-relative form).

constexpr uint32_t kSdHeaderSize = 20;
constexpr uint32_t kAclHeaderSize = 8;
constexpr uint32_t kAceHeaderSize = 8;
constexpr uint32_t kSidHeaderSize = 8;
constexpr uint16_t kDaclPresent = 0x0004;
constexpr uint16_t kSaclPresent = 0x0010;
constexpr uint32_t kFullControl = 0x000F003F;
constexpr uint8_t kAccessAllowed = 0;
constexpr uint8_t kAccessDenied = 1;

constexpr uint8_t kAdministratorsAce[24] = {0x00, 0x12, 0x18, 0x00, 0x3F, 0x00, 0x0F, 0x00, 0x01, 0x02, 0x00, 0x00,
                                            0x00, 0x00, 0x00, 0x05, 0x20, 0x00, 0x00, 0x00, 0x20, 0x02, 0x00, 0x00};
constexpr uint8_t kLocalSystemAce[20] = {0x00, 0x12, 0x14, 0x00, 0x3F, 0x00, 0x0F, 0x00, 0x01, 0x01,
                                         0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x12, 0x00, 0x00, 0x00};
constexpr uint8_t kDefaultDaclHeader[8] = {0x02, 0x00, 0x34, 0x00, 0x02, 0x00, 0x00, 0x00};

constexpr uint8_t kSidLocalSystem[12] = {0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x12, 0x00, 0x00, 0x00};
constexpr uint8_t kSidAdministrators[16] = {0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05,
                                            0x20, 0x00, 0x00, 0x00, 0x20, 0x02, 0x00, 0x00};
constexpr uint8_t kSidEveryone[12] = {0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00};
constexpr uint8_t kSidRestrictedCode[12] = {0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x0C, 0x00, 0x00, 0x00};
constexpr uint8_t kSidAuthenticatedUsers[12] = {0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x0B, 0x00, 0x00, 0x00};

constexpr const char* kSidAdministratorsText = "S-1-5-32-544";
constexpr const char* kSidLocalSystemText = "S-1-5-18";

// Owner, Group, Sacl and Dacl: the four offsets of the header, in this order.
enum Component : int { kOwner = 0, kGroup = 1, kSacl = 2, kDacl = 3, kComponents = 4 };
constexpr FindingKind kOffsetErrors[kComponents] = {FindingKind::kOwnerOffsetError, FindingKind::kGroupOffsetError,
                                                    FindingKind::kSaclOffsetError, FindingKind::kDaclOffsetError};

// A self-relative descriptor in a byte buffer.  Reads outside the buffer
// yield 0 and writes there are dropped.
class DescriptorView {
 public:
  DescriptorView(uint8_t* p, size_t size) : p_(p), size_(size) {}
  uint8_t* Data() const { return p_; }
  size_t Size() const { return size_; }
  bool Has(uint64_t off, uint64_t len) const { return off <= size_ && len <= size_ - off; }

  uint8_t U8(uint64_t off) const { return Has(off, 1) ? p_[off] : 0; }
  uint16_t U16(uint64_t off) const { return Has(off, 2) ? LoadU16(p_ + off) : 0; }
  uint32_t U32(uint64_t off) const { return Has(off, 4) ? LoadU32(p_ + off) : 0; }
  void SetU8(uint64_t off, uint8_t v) const {
    if (Has(off, 1)) p_[off] = v;
  }
  void SetU16(uint64_t off, uint16_t v) const {
    if (Has(off, 2)) StoreU16(p_ + off, v);
  }
  void SetU32(uint64_t off, uint32_t v) const {
    if (Has(off, 4)) StoreU32(p_ + off, v);
  }

  uint16_t Control() const { return U16(2); }
  void SetControl(uint16_t v) const { SetU16(2, v); }
  uint32_t Offset(int c) const { return U32(4 + 4ull * c); }
  void SetOffset(int c, uint32_t v) const { SetU32(4 + 4ull * c, v); }

  // ACL header fields of the ACL at `acl`.
  uint16_t AclSize(uint64_t acl) const { return U16(acl + 2); }
  void SetAclSize(uint64_t acl, uint16_t v) const { SetU16(acl + 2, v); }
  uint16_t AceCount(uint64_t acl) const { return U16(acl + 4); }
  void SetAceCount(uint64_t acl, uint16_t v) const { SetU16(acl + 4, v); }

  // ACE fields of the ACE at `ace`; its SID starts at ace + 8.
  uint8_t AceType(uint64_t ace) const { return U8(ace); }
  void SetAceType(uint64_t ace, uint8_t v) const { SetU8(ace, v); }
  uint8_t AceFlags(uint64_t ace) const { return U8(ace + 1); }
  uint16_t AceSize(uint64_t ace) const { return U16(ace + 2); }
  void SetAceSize(uint64_t ace, uint16_t v) const { SetU16(ace + 2, v); }
  uint32_t Mask(uint64_t ace) const { return U32(ace + 4); }
  void SetMask(uint64_t ace, uint32_t v) const { SetU32(ace + 4, v); }

 private:
  uint8_t* p_;
  size_t size_;
};

uint32_t SidLength(uint8_t subAuthorityCount) { return kSidHeaderSize + 4u * subAuthorityCount; }

// ---------------------------------------------------------------------------
// The content index of the DescriptorList.

uint64_t Mix(uint64_t h) {
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdull;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ull;
  h ^= h >> 33;
  return h;
}

uint64_t HashDescriptor(const uint8_t* bytes, uint32_t length) {
  uint64_t h = 0x9E3779B97F4A7C15ull ^ length;
  uint32_t i = 0;
  for (; i + 8 <= length; i += 8) {
    h = (h ^ LoadU64(bytes + i)) * 0x9E3779B97F4A7C15ull;
    h ^= h >> 29;
  }
  uint64_t tail = 0;
  for (uint32_t shift = 0; i < length; ++i, shift += 8) tail |= uint64_t{bytes[i]} << shift;
  return Mix(h ^ tail);
}

DescriptorRecord* Lookup(const DescriptorList& list, uint64_t hash, const uint8_t* bytes, uint32_t length) {
  auto range = list.Index.equal_range(hash);
  for (auto it = range.first; it != range.second; ++it) {
    DescriptorRecord* r = it->second;
    if (r->Length == length && std::memcmp(r->Bytes.data(), bytes, length) == 0) return r;
  }
  return nullptr;
}

// ---------------------------------------------------------------------------
// Report helpers.

// A hex line (report file only): `text`, then the hex pairs of `count` bytes.
// The text carries no '%': it is made of SID texts, table names and digits.
void HexLine(PassState& ctx, const char* text, const uint8_t* bytes, uint32_t count) {
  DumpHexLine(bytes, text, ctx, 0, count, false);
}

// ---------------------------------------------------------------------------
// The ACE chain of a DACL.

enum class AceFault { kNone, kSize, kOverFlow, kSid };

struct AceCheck {
  AceFault Fault = AceFault::kNone;
  uint32_t AceSize = 0;
  uint32_t SidLength = 0;
};

// Whether the ACE at `pos` (from the DACL start) can be walked inside a DACL
// of daclSize bytes.  kSize and kOverFlow end the walk; kSid (a SID longer
// than its ACE) leaves the ACE walkable but the descriptor unrepairable.
AceCheck CheckAce(const DescriptorView& sd, uint32_t dacl, uint32_t daclSize, uint32_t pos) {
  AceCheck c;
  uint32_t remaining = pos < daclSize ? daclSize - pos : 0;
  uint64_t ace = uint64_t{dacl} + pos;
  if (remaining < 4) {
    c.Fault = AceFault::kOverFlow;
    return c;
  }
  c.AceSize = sd.AceSize(ace);
  if (c.AceSize < kAceHeaderSize) {
    c.Fault = AceFault::kSize;
  } else if (c.AceSize > remaining) {
    c.Fault = AceFault::kOverFlow;
  } else {
    uint32_t sidRoom = c.AceSize - kAceHeaderSize;
    c.SidLength = sidRoom >= 2 ? SidLength(sd.U8(ace + kAceHeaderSize + 1)) : kSidHeaderSize;
    if (c.SidLength > sidRoom) c.Fault = AceFault::kSid;
  }
  return c;
}

bool EndsWalk(AceFault f) { return f == AceFault::kSize || f == AceFault::kOverFlow; }

int AceRank(const uint8_t* sid, uint32_t sidLength) {
  if (sidLength == 12) {
    if (std::memcmp(sid, kSidLocalSystem, 12) == 0) return 5;
    if (std::memcmp(sid, kSidEveryone, 12) == 0) return 3;
    if (std::memcmp(sid, kSidRestrictedCode, 12) == 0) return 2;
    if (std::memcmp(sid, kSidAuthenticatedUsers, 12) == 0) return 1;
  } else if (sidLength == 16 && std::memcmp(sid, kSidAdministrators, 16) == 0) {
    return 4;
  }
  return 0;
}

// ---------------------------------------------------------------------------
// The check of one descriptor.

class DescriptorCheck {
 public:
  DescriptorCheck(PassState& ctx, DescriptorRecord& record)
      : ctx_(ctx), totals_(ctx), rec_(record), length_(record.Length) {}

  void Run();

 private:
  DescriptorView Original() const { return DescriptorView(rec_.Bytes.data(), rec_.Bytes.size()); }
  DescriptorView Work() const { return DescriptorView(rec_.WorkCopy.data(), rec_.WorkCopy.size()); }
  void Count(RepairCounter c) const { totals_.Count(c); }

  void Locate();
  bool DaclRepairable() const;
  void ListSid(const char* caption, int component, FindingKind missing);
  void WalkDacl();
  void TrimDacl(uint32_t calculated);
  void InsertAce(const uint8_t* ace, uint32_t size);
  void AddDefaultDacl();
  void OrderAces();
  // Adds `delta` to every Owner, Group and Sacl offset of WorkCopy for which
  // `moves` holds.
  template <typename Pred>
  void ShiftOffsets(Pred moves, int64_t delta) {
    DescriptorView w = Work();
    for (int c : {kOwner, kGroup, kSacl}) {
      uint32_t off = w.Offset(c);
      if (off != 0 && moves(off)) w.SetOffset(c, static_cast<uint32_t>(off + delta));
    }
  }

  PassState& ctx_;
  ScanTotals totals_;
  DescriptorRecord& rec_;
  uint32_t length_;
  bool repair_ = false;
  uint32_t offset_[kComponents] = {};
  uint32_t size_[kComponents] = {};
};

void DescriptorCheck::Locate() {
  DescriptorView sd = Original();
  uint32_t offsets[kComponents];
  for (int c = 0; c < kComponents; ++c) {
    offsets[c] = sd.Offset(c);
    // A component that would start outside the descriptor cannot be read;
    // it is reported and treated as absent.
    if (offsets[c] != 0 && offsets[c] >= length_) {
      ReportAs(ctx_, kOffsetErrors[c], rec_.Cell, offsets[c], length_);
      offsets[c] = 0;
    }
  }
  for (int c = 0; c < kComponents; ++c) {
    if (offsets[c] == 0) continue;
    uint32_t size = length_ - offsets[c];
    for (int other = 0; other < kComponents; ++other) {
      if (offsets[other] == 0) continue;
      uint32_t distance = offsets[other] - offsets[c];
      if (distance != 0 && distance < size) size = distance;
    }
    offset_[c] = offsets[c];
    size_[c] = size;
  }
}

// A DACL is repaired only when every one of its ACEs can be walked and holds
// its SID: the repairs move ACEs by their lengths.
bool DescriptorCheck::DaclRepairable() const {
  if (size_[kDacl] == 0) return true;
  if (size_[kDacl] < kAclHeaderSize) return false;
  DescriptorView sd = Original();
  uint32_t dacl = offset_[kDacl];
  uint32_t count = sd.AceCount(dacl);
  uint32_t pos = kAclHeaderSize;
  // AceCount is 16 bits; CheckAce refuses an ACE outside the DACL.
  for (uint32_t i = 0; i < count; ++i) {
    AceCheck c = CheckAce(sd, dacl, size_[kDacl], pos);
    if (c.Fault != AceFault::kNone) return false;
    pos += c.AceSize;
  }
  return true;
}

void DescriptorCheck::ListSid(const char* caption, int component, FindingKind missing) {
  if (size_[component] == 0) {
    // The line holds the program's own words: the report takes them in the code page.
    EmitFinding(ctx_, missing, rec_.Cell, Ansi(InfoOf(missing).Format));
    return;
  }
  const uint8_t* sid = rec_.Bytes.data() + offset_[component];
  uint32_t available = size_[component];
  uint32_t length = std::min(SidLength(available >= 2 ? sid[1] : 0), available);
  std::string text = SidText(sid, available);
  char line[kLineBuffer];
  FormatText(line, sizeof line, "%s=%s(%s):SID=", caption, text.c_str(), LookupSidName(text));
  HexLine(ctx_, line, sid, length);
}

void DescriptorCheck::Run() {
  rec_.WorkCopy.clear();
  rec_.HasAdministrators = 0;
  rec_.HasLocalSystem = 0;
  rec_.Modified = 0;
  if (rec_.Bytes.size() < length_) length_ = static_cast<uint32_t>(rec_.Bytes.size());
  rec_.WorkCopy.assign(rec_.Bytes.begin(), rec_.Bytes.begin() + length_);
  rec_.WorkLength = length_;

  DescriptorView sd = Original();
  HexLine(ctx_, "SECURITY_DESCRIPTOR_RELATIVE=", rec_.Bytes.data(), length_);
  LogFileF(ctx_, "SECURITY_DESCRIPTOR_CONTROL=%04x", sd.Control());
  if (length_ < kSdHeaderSize) {
    Report<FindingKind::kSecurityDescriptorLengthError>(ctx_, rec_.Cell, length_);
    return;
  }
  Locate();
  repair_ = ctx_.Rules.RepairOnlyFixes && DaclRepairable();

  if (repair_ && size_[kSacl] == 0 && (sd.Control() & kSaclPresent) != 0) {
    Report<FindingKind::kSeSaclPresentError>(ctx_, rec_.Cell, unsigned{kSaclPresent});
    Work().SetControl(static_cast<uint16_t>(Work().Control() & ~kSaclPresent));
    rec_.Modified = 1;
    Count(RepairCounter::DescriptorControlSaclClean);
  }

  ListSid("Owner", kOwner, FindingKind::kOwnerMissingError);
  ListSid("Group", kGroup, FindingKind::kGroupMissingError);

  if (size_[kDacl] != 0) {
    WalkDacl();
  } else {
    if (repair_) Report<FindingKind::kDaclNoPresentError>(ctx_, rec_.Cell);
    if (repair_ && (sd.Control() & kDaclPresent) != 0) {
      Report<FindingKind::kSeDaclPresentError>(ctx_, rec_.Cell, unsigned{kDaclPresent});
      Work().SetControl(static_cast<uint16_t>(Work().Control() & ~kDaclPresent));
      rec_.Modified = 1;
      Count(RepairCounter::DescriptorControlDaclClean);
    }
    if (repair_) AddDefaultDacl();
  }
  if (repair_) OrderAces();
}

void DescriptorCheck::WalkDacl() {
  DescriptorView sd = Original();
  DescriptorView work = Work();
  const uint32_t dacl = offset_[kDacl];
  const uint32_t daclSize = size_[kDacl];
  if (daclSize < kAclHeaderSize) {
    Report<FindingKind::kDaclSizeError>(ctx_, rec_.Cell, dacl, daclSize);
    return;
  }
  const uint32_t count = sd.AceCount(dacl);  // 16 bits: the walk below ends after it
  uint32_t pos = kAclHeaderSize;  // from the DACL start, in Bytes and WorkCopy alike
  uint64_t walked = 0;            // sum of the AceSizes walked
  bool haveW = false;             // W: the last ACE the compaction wrote
  uint32_t w = 0;
  char line[kLineBuffer];

  for (uint32_t i = 0; i < count; ++i) {
    AceCheck check = CheckAce(sd, dacl, daclSize, pos);
    if (EndsWalk(check.Fault)) {
      if (check.Fault == AceFault::kSize) {
        Report<FindingKind::kAceSizeError>(ctx_, rec_.Cell, dacl + pos, check.AceSize);
      } else {
        Report<FindingKind::kAceOverFlowError>(ctx_, rec_.Cell, dacl + pos, check.AceSize, daclSize);
      }
      break;
    }
    const uint64_t ace = uint64_t{dacl} + pos;
    const uint32_t aceSize = check.AceSize;
    const uint8_t* sid = rec_.Bytes.data() + ace + kAceHeaderSize;
    const uint32_t sidRoom = aceSize - kAceHeaderSize;
    const uint32_t sidLength = check.SidLength;
    const uint32_t shown = std::min(sidLength, sidRoom);
    const std::string text = SidText(sid, sidRoom);
    const char* name = LookupSidName(text);
    const uint8_t type = sd.AceType(ace);
    const uint32_t mask = sd.Mask(ace);
    const bool administrators = text == kSidAdministratorsText;
    const bool localSystem = text == kSidLocalSystemText;

    if (type == kAccessAllowed) {
      FormatText(line, sizeof line, "ACCESS_ALLOWED_ACE_TYPE AceFlags=%02x ACCESS_MASK=%08x %s(%s):SID=",
                 sd.AceFlags(ace), mask, text.c_str(), name);
      HexLine(ctx_, line, sid, shown);
      if (administrators || localSystem) {
        if (administrators) rec_.HasAdministrators = 1;
        if (localSystem) rec_.HasLocalSystem = 1;
        if ((mask & kFullControl) != kFullControl && repair_) {
          ReportAs(ctx_, administrators ? FindingKind::kAdministratorsMaskError : FindingKind::kLocalSystemMaskError,
                   rec_.Cell, mask & kFullControl);
          rec_.Modified = 1;
          work.SetMask(ace, mask | kFullControl);
          Count(RepairCounter::DescriptorDaclAceMaskClean);
        }
      }
    } else if (type == kAccessDenied) {
      FormatText(line, sizeof line, "ACCESS_DENIED_ACE_TYPE  AceFlags=%02x ACCESS_MASK=%08x %s(%s);SID=",
                 sd.AceFlags(ace), mask, text.c_str(), name);
      HexLine(ctx_, line, sid, shown);
      if (repair_ && (administrators || localSystem)) {
        ReportAs(ctx_,
                 administrators ? FindingKind::kAdministratorsAccessDeniedAceTypeError
                                : FindingKind::kLocalSystemAccessDeniedAceTypeError,
                 rec_.Cell, mask);
        rec_.Modified = 1;
        work.SetMask(ace, mask | kFullControl);
        work.SetAceType(ace, kAccessAllowed);
        if (administrators) rec_.HasAdministrators = 1;
        if (localSystem) rec_.HasLocalSystem = 1;
        Count(RepairCounter::DescriptorDaclAceTypeClean);
      }
    }
    if (check.Fault == AceFault::kSid) {
      Report<FindingKind::kAceSidError>(ctx_, rec_.Cell, dacl + pos, aceSize, sidLength);
    }

    if (sidRoom > sidLength) {
      if (repair_) {
        Report<FindingKind::kSidLengthError>(ctx_, rec_.Cell, static_cast<int>(sidLength), static_cast<int>(sidRoom));
        Count(RepairCounter::DescriptorDaclSidClean);
        rec_.Modified = 1;
        if (!haveW) {
          w = static_cast<uint32_t>(ace);
          haveW = true;
        } else {
          uint32_t dest = w + work.AceSize(w);
          std::memmove(rec_.WorkCopy.data() + dest, rec_.WorkCopy.data() + ace, aceSize);
          w = dest;
        }
        work.SetAceSize(w, static_cast<uint16_t>(kAceHeaderSize + sidLength));
      }
    } else if (repair_ && haveW) {
      // Close the gap that the trimmed ACEs before this one left.
      uint32_t dest = w + work.AceSize(w);
      std::memmove(rec_.WorkCopy.data() + dest, rec_.WorkCopy.data() + ace, aceSize);
      w = dest;
    }
    walked += aceSize;
    pos += aceSize;
  }
  if (!repair_) return;

  uint64_t calculated = haveW ? uint64_t{w} + work.AceSize(w) - dacl : kAclHeaderSize + walked;
  if (calculated < daclSize) TrimDacl(static_cast<uint32_t>(calculated));
  if (!rec_.HasAdministrators) {
    Report<FindingKind::kDaclNoAdministrators>(ctx_, rec_.Cell);
    rec_.Modified = 1;
    Count(RepairCounter::DescriptorDaclAdminClean);
    InsertAce(kAdministratorsAce, sizeof kAdministratorsAce);
  }
  if (!rec_.HasLocalSystem) {
    Report<FindingKind::kDaclNoLocalSystem>(ctx_, rec_.Cell);
    rec_.Modified = 1;
    Count(RepairCounter::DescriptorDaclLocalClean);
    InsertAce(kLocalSystemAce, sizeof kLocalSystemAce);
  }
}

// The DACL holds less than its room: the room behind the last ACE goes, and
// whatever followed the DACL moves down.
void DescriptorCheck::TrimDacl(uint32_t calculated) {
  const uint32_t dacl = offset_[kDacl];
  const uint32_t daclSize = size_[kDacl];
  const uint32_t diff = daclSize - calculated;
  Report<FindingKind::kDaclLengthError>(ctx_, rec_.Cell, static_cast<int>(calculated), static_cast<int>(daclSize));
  rec_.Modified = 1;
  Count(RepairCounter::DescriptorDaclLengthClean);
  ShiftOffsets([dacl](uint32_t off) { return off > dacl; }, -int64_t{diff});
  const uint32_t oldEnd = dacl + daclSize;
  if (oldEnd < length_ && oldEnd <= rec_.WorkLength) {
    uint8_t* data = rec_.WorkCopy.data();
    std::memmove(data + dacl + calculated, data + oldEnd, rec_.WorkLength - oldEnd);
    rec_.WorkLength -= diff;
    std::memset(data + rec_.WorkLength, 0, length_ - rec_.WorkLength);
  }
  Work().SetAclSize(dacl, static_cast<uint16_t>(calculated));
}

// Puts `ace` first in the DACL, moving everything behind the DACL header up.
void DescriptorCheck::InsertAce(const uint8_t* ace, uint32_t size) {
  const uint32_t dacl = Work().Offset(kDacl);
  const uint32_t at = dacl + kAclHeaderSize;
  if (at > rec_.WorkLength) return;
  rec_.WorkCopy.resize(std::max<size_t>(length_, size_t{rec_.WorkLength} + size), 0);
  ShiftOffsets([dacl](uint32_t off) { return off > dacl; }, size);
  uint8_t* data = rec_.WorkCopy.data();
  std::memmove(data + at + size, data + at, rec_.WorkLength - at);
  std::memcpy(data + at, ace, size);
  DescriptorView w = Work();
  w.SetAceCount(dacl, static_cast<uint16_t>(w.AceCount(dacl) + 1));
  w.SetAclSize(dacl, static_cast<uint16_t>(w.AclSize(dacl) + size));
  rec_.WorkLength += size;
}

// A descriptor without DACL gets LocalSystem and Administrators with full
// control, as the first component behind the header.
void DescriptorCheck::AddDefaultDacl() {
  constexpr uint32_t kDefaultDaclSize = sizeof kDefaultDaclHeader + sizeof kLocalSystemAce + sizeof kAdministratorsAce;
  static_assert(kDefaultDaclSize == 52);
  Count(RepairCounter::DescriptorDaclClean);
  rec_.Modified = 1;
  rec_.WorkCopy.resize(rec_.WorkCopy.size() + kDefaultDaclSize, 0);
  ShiftOffsets([](uint32_t off) { return off >= kSdHeaderSize; }, kDefaultDaclSize);
  uint8_t* data = rec_.WorkCopy.data();
  std::memmove(data + kSdHeaderSize + kDefaultDaclSize, data + kSdHeaderSize, rec_.WorkLength - kSdHeaderSize);
  uint8_t* dacl = data + kSdHeaderSize;
  std::memcpy(dacl, kDefaultDaclHeader, sizeof kDefaultDaclHeader);
  std::memcpy(dacl + sizeof kDefaultDaclHeader, kLocalSystemAce, sizeof kLocalSystemAce);
  std::memcpy(dacl + sizeof kDefaultDaclHeader + sizeof kLocalSystemAce, kAdministratorsAce,
              sizeof kAdministratorsAce);
  rec_.WorkLength += kDefaultDaclSize;
  DescriptorView w = Work();
  w.SetOffset(kDacl, kSdHeaderSize);
  w.SetControl(static_cast<uint16_t>(w.Control() | kDaclPresent));
}

// Exchanging neighbours whose rank rises until no pair does leaves the ACEs in
// a stable descending order of rank; that order is built here in one go.
void DescriptorCheck::OrderAces() {
  DescriptorView w = Work();
  const uint32_t dacl = w.Offset(kDacl);
  if (dacl == 0) return;
  const uint32_t count = w.AceCount(dacl);  // 16 bits: the walk below ends after it
  const uint64_t end = std::min<uint64_t>(rec_.WorkLength, rec_.WorkCopy.size());
  struct Ace {
    uint32_t Pos;
    uint32_t Size;
    int Rank;
  };
  std::vector<Ace> aces;
  aces.reserve(count);
  uint64_t pos = uint64_t{dacl} + kAclHeaderSize;
  for (uint32_t i = 0; i < count; ++i) {
    if (pos + kAceHeaderSize > end) return;
    uint32_t aceSize = w.AceSize(pos);
    uint32_t sidLength = SidLength(w.U8(pos + kAceHeaderSize + 1));
    if (aceSize < kAceHeaderSize + sidLength || pos + aceSize > end) return;
    aces.push_back({static_cast<uint32_t>(pos), aceSize,
                    AceRank(rec_.WorkCopy.data() + pos + kAceHeaderSize, sidLength)});
    pos += aceSize;
  }
  bool ordered = true;
  for (size_t i = 1; i < aces.size(); ++i) {
    if (aces[i - 1].Rank < aces[i].Rank) ordered = false;
  }
  if (ordered) return;

  std::vector<Ace> sorted = aces;
  std::stable_sort(sorted.begin(), sorted.end(), [](const Ace& a, const Ace& b) { return a.Rank > b.Rank; });
  const uint32_t first = aces.front().Pos;
  std::vector<uint8_t> block(rec_.WorkCopy.begin() + first, rec_.WorkCopy.begin() + pos);
  uint32_t out = first;
  for (const Ace& a : sorted) {
    std::memcpy(rec_.WorkCopy.data() + out, block.data() + (a.Pos - first), a.Size);
    out += a.Size;
  }
  Count(RepairCounter::DescriptorDaclSequenceClean);
  rec_.Modified = 1;
}

}  // namespace

// ---------------------------------------------------------------------------

std::vector<DescriptorRecord*> DescriptorList::Ordered() const {
  std::vector<DescriptorRecord*> out;
  out.reserve(Records.size());
  for (const auto& r : Records) out.push_back(r.get());
  // Records are kept in creation order, so a stable sort by length keeps
  // equal lengths in the order they were first met.
  std::stable_sort(out.begin(), out.end(),
                   [](const DescriptorRecord* a, const DescriptorRecord* b) { return a->Length < b->Length; });
  return out;
}

void DeleteDescriptorList(DescriptorList* list) { delete list; }

DescriptorRecord* FindDescriptor(PassState& ctx, const uint8_t* bytes, uint32_t length) {
  if (ctx.Descriptors == nullptr || bytes == nullptr || length == 0) return nullptr;
  return Lookup(*ctx.Descriptors, HashDescriptor(bytes, length), bytes, length);
}

DescriptorRecord* RegisterDescriptor(PassState& ctx, const uint8_t* bytes, uint32_t length, uint32_t skCell) {
  if (bytes == nullptr || length == 0) return nullptr;
  try {
    if (ctx.Descriptors == nullptr) ctx.Descriptors = new DescriptorList;
    DescriptorList& list = *ctx.Descriptors;
    if (DescriptorRecord* last = list.Last;
        last != nullptr && last->Length == length && std::memcmp(last->Bytes.data(), bytes, length) == 0) {
      ++last->AccessCount;
      return last;
    }
    uint64_t hash = HashDescriptor(bytes, length);
    if (DescriptorRecord* found = Lookup(list, hash, bytes, length)) {
      ++found->AccessCount;
      list.Last = found;
      return found;
    }
    auto record = std::make_unique<DescriptorRecord>();
    record->Length = length;
    record->Cell = skCell;
    record->AccessCount = 1;
    record->Bytes.assign(bytes, bytes + length);
    list.Records.push_back(std::move(record));
    DescriptorRecord* added = list.Records.back().get();
    try {
      list.Index.emplace(hash, added);
    } catch (const std::bad_alloc&) {
      list.Records.pop_back();
      return nullptr;
    }
    list.Last = added;
    ScanTotals totals(ctx);
    added->Number = totals.Get(Total::DescriptorRunningNumber) + 1;
    totals.Set(Total::DescriptorRunningNumber, added->Number);
    return added;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

void SecurityDescriptorSummary(PassState& ctx) {
  char now[64];
  FormatNow(now, kDateTimeFormat, sizeof now);
  LogLineF(ctx, kGreen, "[SecurityDescriptor Summary] %s", now);
  uint32_t accessTotal = 0;
  uint32_t cellTotal = 0;
  if (ctx.Descriptors != nullptr) {
    for (DescriptorRecord* r : ctx.Descriptors->Ordered()) {
      LogLineF(ctx, kBlack, "No.%d SecurityDescriptor(%dByte) AccessCount=%d CellCount=%d", static_cast<int>(r->Number),
               static_cast<int>(r->Length), static_cast<int>(r->AccessCount), static_cast<int>(r->CellCount));
      accessTotal += r->AccessCount;
      cellTotal += r->CellCount;
      CheckSecurityDescriptor(ctx, *r);
    }
  }
  LogLineF(ctx, kBlack, "SecurityDescriptor(Total) AccessCount=%d CellCount=%d", static_cast<int>(accessTotal),
           static_cast<int>(cellTotal));
}

void CheckSecurityDescriptor(PassState& ctx, DescriptorRecord& record) { DescriptorCheck(ctx, record).Run(); }

std::string SidText(const uint8_t* sid, uint32_t available) {
  char text[kLineBuffer];
  if (sid == nullptr) available = 0;
  uint8_t revision = available >= 1 ? sid[0] : 0;
  uint8_t count = available >= 2 ? sid[1] : 0;
  uint8_t authority = available >= kSidHeaderSize ? sid[7] : 0;
  int used = FormatText(text, sizeof text, "S-%d-%d", revision, authority);
  // Sub-authorities that lie past the available bytes are not read; a text
  // longer than the line buffer is cut there.
  for (uint32_t i = 0; i < count && kSidHeaderSize + 4ull * (i + 1) <= available; ++i) {
    if (static_cast<size_t>(used) + 1 >= sizeof text) break;
    used += FormatText(text + used, sizeof text - used, "-%u", LoadU32(sid + kSidHeaderSize + 4 * i));
  }
  return std::string(text, static_cast<size_t>(used));
}

const char* LookupSidName(const std::string& sidText) {
  for (const WellKnownSid& row : kWellKnownSidTable) {
    if (sidText == row.Sid) return row.Name;
  }
  return "Unknown";
}

}  // namespace quelbrix
