// The registry tree: one hive held in memory as keys and values, as the
// registry calls change it and as the hive writer lays it out again.  Names
// are UTF-16 as stored; siblings are kept in the hive's sibling order, so
// lookups are binary searches and enumeration follows the subkey index.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace quelbrix::registry {

using Descriptor = std::shared_ptr<const std::vector<uint8_t>>;

struct RegistryValue {
  std::u16string Name;  // empty: the default value
  uint32_t Type = 0;
  std::vector<uint8_t> Data;
  // vk flag bits other than the 8-bit-name bit, carried unchanged.
  uint16_t Flags = 0;
};

struct RegistryKey {
  std::u16string Name;
  std::u16string Class;
  Descriptor Security;  // self-relative descriptor; null for none
  uint64_t LastWrite = 0;  // FILETIME
  // nk flag bits other than the 8-bit-name and root bits, carried unchanged.
  uint16_t Flags = 0;
  bool Volatile = false;  // never written to the file
  bool Deleted = false;   // removed while a handle still refers to it
  // In sibling order (upper-cased units); see FindSubkey.
  std::vector<std::shared_ptr<RegistryKey>> Subkeys;
  std::vector<RegistryValue> Values;

  // Index of the subkey `name` (any letter case), or of where it belongs
  // with *found false.
  size_t FindSubkey(std::u16string_view name, bool* found) const;
  RegistryKey* Subkey(std::u16string_view name) const;
  // Adds a subkey; the caller has checked that none of that name exists.
  RegistryKey* AddSubkey(std::shared_ptr<RegistryKey> key, size_t at);
  RegistryValue* Value(std::u16string_view name);
  size_t ValueIndex(std::u16string_view name) const;  // Values.size() when absent
};

// nk flag bits the tree and the writer know by name.
constexpr uint16_t kKeyVolatile = 0x0001;
constexpr uint16_t kKeyHiveEntry = 0x0004;  // the root of a hive
constexpr uint16_t kKeyNoDelete = 0x0008;   // refuses deletion, as the hive root does
constexpr uint16_t kKeyCompressedName = 0x0020;

struct RegistryTree {
  uint32_t MajorVersion = 1;
  uint32_t MinorVersion = 5;
  uint32_t Sequence = 1;  // primary = secondary sequence number of the last write
  std::shared_ptr<RegistryKey> Root;
};

// Names compare without letter case, unit by unit after the upper-casing of
// the hive's sibling order.
bool SameName(std::u16string_view a, std::u16string_view b);

// A fresh hive: a root key with the standard descriptor and no values.
RegistryTree EmptyTree(std::u16string_view rootName, uint64_t now);

// A deep copy of a key's subtree (RegSaveKey writes such a copy).
std::shared_ptr<RegistryKey> CopySubtree(const RegistryKey& key);

// The descriptor given to keys that are created without one and have no
// parent to take one from: owner Administrators, group SYSTEM, full access
// for SYSTEM and Administrators, read access for Everyone.
Descriptor StandardDescriptor();

// Whether `bytes` hold a self-relative security descriptor whose parts lie
// inside it (revision 1, self-relative flag, owner/group SIDs and ACL headers
// within the length).
bool ValidDescriptor(const uint8_t* bytes, size_t length);

// Current time as a FILETIME (100 ns since 1601-01-01 UTC).
uint64_t FileTimeNow();

}  // namespace quelbrix::registry
