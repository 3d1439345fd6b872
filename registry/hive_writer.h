// The hive writer: lays a registry tree out as a fresh, compact hive, the way
// the registry itself saves one: the root key first, then each key's class,
// security cell (one per distinct descriptor, in one ring, with true
// reference counts), values and data, and its subkeys behind an lh index in
// sibling order (lf before version 1.5; an ri of such lists for very many
// subkeys).  Big data for values over 16344 bytes from version 1.4.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files.h"
#include "registry/registry_tree.h"

namespace quelbrix::registry {

// Most entries of one lf/lh list: as many as fill one bin.
constexpr uint32_t kMaxLeafEntries = 507;

// The whole file.  False when the tree does not fit a hive (over 2 GB).
// `fileName` goes into the base block (its last 31 characters).
bool BuildHive(const RegistryTree& tree, std::u16string_view fileName, uint64_t now, std::vector<uint8_t>* out);

// Builds the hive and replaces `path` with it atomically, as `options` say.
platform::Status WriteHiveFile(const std::string& path, const RegistryTree& tree, const platform::WriteOptions& options = {});

}  // namespace quelbrix::registry
