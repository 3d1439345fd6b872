// FindDeleted: what the free space of a hive still holds of deleted and
// superseded keys and values.  Needs only the hive's bytes (after log
// recovery, when the caller wants it); changes nothing and reports nothing:
// the caller prints or restores what comes back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quelbrix::deleted {

constexpr uint32_t kNone = 0xFFFFFFFFu;

struct RecoveredValue {
  uint32_t Offset = 0;  // CellOffset of the vk cell
  std::u16string Name;  // empty: the default value
  std::vector<uint8_t> NameBytes;  // as stored, for putting the value back
  uint16_t Flags = 0;              // vk flags as stored
  uint32_t Type = 0;
  // As far as the cells it needs still hold it; never bytes of a reused cell.
  std::vector<uint8_t> Data;
  bool Complete = true;
  // A value that belongs to no recovered key: the live key whose value list
  // still names it past its count (kNone when unknown), and that key's path.
  uint32_t LiveKey = kNone;
  std::u16string LiveKeyPath;
};

struct RecoveredKey {
  uint32_t Offset = 0;        // CellOffset of the nk cell
  uint32_t ParentOffset = 0;  // as stored
  std::u16string Name;
  std::vector<uint8_t> NameBytes;  // as stored
  uint16_t Flags = 0;              // nk flags as stored
  uint64_t LastWrite = 0;
  bool HasClass = false;  // the class cell still holds the class
  std::u16string Class;
  int Parent = -1;          // index in Keys of a recovered parent, else -1
  bool ParentLive = false;  // ParentOffset names a key of the live tree
  // From the root, without the root's own name, as far as the parent chain
  // goes; complete when it reaches the live root.
  std::u16string Path;
  bool PathComplete = false;
  std::vector<int> Children;  // indexes in Keys, in sibling order
  std::vector<RecoveredValue> Values;
};

struct DeletedScan {
  bool Readable = false;  // a base block and at least one bin
  bool BigData = false;   // version 1.4 and later
  std::vector<RecoveredKey> Keys;      // each key before its subkeys
  std::vector<RecoveredValue> Values;  // values of no recovered key
};

// `bytes` is the hive as Read holds it (the base block, then the bins).
DeletedScan FindDeleted(const uint8_t* bytes, size_t size);

// The key whose Path is `path` (complete paths only; letter case a-z
// ignored as in sibling order), or whose nk cell is at `offset`; -1 if none.
int FindRecoveredKey(const DeletedScan& scan, std::u16string_view path);
int FindRecoveredKeyAt(const DeletedScan& scan, uint32_t offset);

}  // namespace quelbrix::deleted
