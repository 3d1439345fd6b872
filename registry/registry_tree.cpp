#include "registry/registry_tree.h"

#include <chrono>

#include "hive/bytes.h"
#include "hive/names.h"

namespace quelbrix::registry {

bool SameName(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() && CompareSiblingOrder(a, b) == 0;
}

size_t RegistryKey::FindSubkey(std::u16string_view name, bool* found) const {
  size_t lo = 0, hi = Subkeys.size();
  while (lo < hi) {
    size_t mid = lo + (hi - lo) / 2;
    int c = CompareSiblingOrder(Subkeys[mid]->Name, name);
    if (c == 0) {
      *found = true;
      return mid;
    }
    if (c < 0) lo = mid + 1;
    else hi = mid;
  }
  *found = false;
  return lo;
}

RegistryKey* RegistryKey::Subkey(std::u16string_view name) const {
  bool found = false;
  size_t at = FindSubkey(name, &found);
  return found ? Subkeys[at].get() : nullptr;
}

RegistryKey* RegistryKey::AddSubkey(std::shared_ptr<RegistryKey> key, size_t at) {
  RegistryKey* raw = key.get();
  Subkeys.insert(Subkeys.begin() + static_cast<std::ptrdiff_t>(at), std::move(key));
  return raw;
}

size_t RegistryKey::ValueIndex(std::u16string_view name) const {
  for (size_t i = 0; i < Values.size(); ++i)
    if (SameName(Values[i].Name, name)) return i;
  return Values.size();
}

RegistryValue* RegistryKey::Value(std::u16string_view name) {
  size_t i = ValueIndex(name);
  return i < Values.size() ? &Values[i] : nullptr;
}

RegistryTree EmptyTree(std::u16string_view rootName, uint64_t now) {
  RegistryTree tree;
  tree.Root = std::make_shared<RegistryKey>();
  tree.Root->Name = std::u16string(rootName);
  tree.Root->Security = StandardDescriptor();
  tree.Root->LastWrite = now;
  tree.Root->Flags = kKeyNoDelete;
  return tree;
}

std::shared_ptr<RegistryKey> CopySubtree(const RegistryKey& key) {
  // Iterative: a hive may nest deeper than a thread's stack allows recursion.
  auto copy = std::make_shared<RegistryKey>();
  std::vector<std::pair<const RegistryKey*, RegistryKey*>> pending{{&key, copy.get()}};
  while (!pending.empty()) {
    auto [from, to] = pending.back();
    pending.pop_back();
    to->Name = from->Name;
    to->Class = from->Class;
    to->Security = from->Security;
    to->LastWrite = from->LastWrite;
    to->Flags = from->Flags;
    to->Volatile = from->Volatile;
    to->Values = from->Values;
    to->Subkeys.reserve(from->Subkeys.size());
    for (const auto& child : from->Subkeys) {
      if (child->Volatile) continue;
      to->Subkeys.push_back(std::make_shared<RegistryKey>());
      pending.emplace_back(child.get(), to->Subkeys.back().get());
    }
  }
  return copy;
}

namespace {

const uint8_t kSidSystem[] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
const uint8_t kSidAdministrators[] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};
const uint8_t kSidEveryone[] = {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};

constexpr uint16_t kSelfRelative = 0x8000;
constexpr uint16_t kDaclPresent = 0x0004;
constexpr uint16_t kSaclPresent = 0x0010;

void AppendAce(std::vector<uint8_t>& out, uint32_t mask, const uint8_t* sid, size_t sidLength) {
  size_t at = out.size();
  out.resize(at + 8);
  out[at] = 0;     // ACCESS_ALLOWED_ACE_TYPE
  out[at + 1] = 2;  // CONTAINER_INHERIT_ACE
  StoreU16(&out[at + 2], static_cast<uint16_t>(8 + sidLength));
  StoreU32(&out[at + 4], mask);
  out.insert(out.end(), sid, sid + sidLength);
}

bool ValidSid(const uint8_t* bytes, size_t length, uint32_t offset) {
  if (offset > length || length - offset < 8) return false;
  const uint8_t* sid = bytes + offset;
  return sid[0] == 1 && sid[1] <= 15 && length - offset >= 8 + 4u * sid[1];
}

bool ValidAcl(const uint8_t* bytes, size_t length, uint32_t offset) {
  if (offset > length || length - offset < 8) return false;
  const uint8_t* acl = bytes + offset;
  uint16_t size = LoadU16(acl + 2);
  return (acl[0] >= 2 && acl[0] <= 4) && size >= 8 && size <= length - offset;
}

}  // namespace

Descriptor StandardDescriptor() {
  static const Descriptor standard = [] {
    std::vector<uint8_t> sd(20, 0);
    sd[0] = 1;
    StoreU16(&sd[2], kSelfRelative | kDaclPresent);
    StoreU32(&sd[16], 20);  // DACL right after the header
    size_t acl = sd.size();
    sd.resize(acl + 8);
    sd[acl] = 2;
    AppendAce(sd, 0xF003F, kSidSystem, sizeof kSidSystem);
    AppendAce(sd, 0xF003F, kSidAdministrators, sizeof kSidAdministrators);
    AppendAce(sd, 0x20019, kSidEveryone, sizeof kSidEveryone);
    StoreU16(&sd[acl + 2], static_cast<uint16_t>(sd.size() - acl));
    StoreU16(&sd[acl + 4], 3);
    StoreU32(&sd[4], static_cast<uint32_t>(sd.size()));  // owner
    sd.insert(sd.end(), kSidAdministrators, kSidAdministrators + sizeof kSidAdministrators);
    StoreU32(&sd[8], static_cast<uint32_t>(sd.size()));  // group
    sd.insert(sd.end(), kSidSystem, kSidSystem + sizeof kSidSystem);
    return std::make_shared<const std::vector<uint8_t>>(std::move(sd));
  }();
  return standard;
}

bool ValidDescriptor(const uint8_t* bytes, size_t length) {
  if (bytes == nullptr || length < 20 || bytes[0] != 1) return false;
  uint16_t control = LoadU16(bytes + 2);
  if ((control & kSelfRelative) == 0) return false;
  uint32_t owner = LoadU32(bytes + 4), group = LoadU32(bytes + 8);
  uint32_t sacl = LoadU32(bytes + 12), dacl = LoadU32(bytes + 16);
  if (owner != 0 && !ValidSid(bytes, length, owner)) return false;
  if (group != 0 && !ValidSid(bytes, length, group)) return false;
  if ((control & kSaclPresent) && sacl != 0 && !ValidAcl(bytes, length, sacl)) return false;
  if ((control & kDaclPresent) && dacl != 0 && !ValidAcl(bytes, length, dacl)) return false;
  return true;
}

uint64_t FileTimeNow() {
  using namespace std::chrono;
  int64_t ticks = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count() / 100;
  return static_cast<uint64_t>(ticks) + 116444736000000000ull;
}

}  // namespace quelbrix::registry
