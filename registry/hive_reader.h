// Reads a hive file into a registry tree with the engine's own cell views.
// Every reference is checked before it is followed; a damaged hive gives a
// short reason and no tree, never a read outside the file.  The tolerant read
// gives what can still be reached and counts what it had to leave out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/status.h"
#include "registry/registry_tree.h"

namespace quelbrix::registry {

// What a tolerant read left out: one count per unreadable part (a key with
// the subtree under it, a value, a value list, a subkey index, a class, a
// descriptor, bins past the file's end) and the reasons of the first few.
struct ReadDamage {
  static constexpr size_t kMaxReasons = 20;
  size_t Skipped = 0;
  std::vector<std::string> Reasons;
  void Note(const std::string& reason) {
    ++Skipped;
    if (Reasons.size() < kMaxReasons) Reasons.push_back(reason);
  }
};

// `bytes` is the whole file; it is read, not kept.  A failure's Reason says
// what stopped the read (and at which cell).
platform::Status ReadHiveTree(const uint8_t* bytes, size_t size, RegistryTree* tree);
// Never fails past a sound base block and root key: every other fault is
// left out and noted in `damage`.
platform::Status ReadHiveTreeTolerant(const uint8_t* bytes, size_t size, RegistryTree* tree, ReadDamage* damage);
// A dirty file is read as Windows loads it: recovered from the transaction
// logs beside it, unless the process asked for files as stored.
platform::Status ReadHiveFile(const std::string& path, RegistryTree* tree);
platform::Status ReadHiveFileTolerant(const std::string& path, RegistryTree* tree, ReadDamage* damage);
// The file's bytes, recovered from its transaction logs when it is dirty
// (unless the process asked for files as stored).
platform::Status LoadHiveBytes(const std::string& path, std::vector<uint8_t>* bytes);
void SetApplyTransactionLogs(bool on);

}  // namespace quelbrix::registry
