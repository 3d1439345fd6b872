// Reads a hive file into a registry tree with the engine's own cell views.
// Every reference is checked before it is followed; a damaged hive gives a
// short reason and no tree, never a read outside the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "registry/registry_tree.h"

namespace quelbrix::registry {

// `bytes` is the whole file; it is read, not kept.
bool ReadHiveTree(const uint8_t* bytes, size_t size, RegistryTree* tree, std::string* problem);
// A dirty file is read as Windows loads it: recovered from the transaction
// logs beside it, unless the process asked for files as stored.
bool ReadHiveFile(const std::string& path, RegistryTree* tree, std::string* problem);
void SetApplyTransactionLogs(bool on);

}  // namespace quelbrix::registry
