// A key's subtree as a registry editor file ("Windows Registry Editor Version
// 5.00"): UTF-16LE with a byte order mark and CR LF line ends, keys in
// brackets in tree order, each value in the syntax of its type.  Needs a tree
// the hive reader made; changes nothing.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "registry/registry_tree.h"

namespace quelbrix::registry {

// `path` is what the file calls `key` (a prefix and the names from the root).
std::string RegFileBytes(const RegistryKey& key, std::u16string_view path);

// Joins a key path and a subkey name with one backslash ("\" + "A" is "\A").
std::u16string JoinKeyPath(std::u16string_view path, std::u16string_view name);

// The text of REG_SZ-like data when it is one NUL-terminated UTF-16 string
// (no other NUL, no unpaired surrogate), so that writing it as text loses
// nothing; false otherwise.
bool TerminatedString(const std::vector<uint8_t>& data, std::u16string* text);

}  // namespace quelbrix::registry
