// Security descriptors: the DescriptorList of the distinct descriptors that
// the key walk meets, the summary that lists and checks each one, and under
// Repair the repaired work copies that "[skCells Update]" writes back.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/pass_state.h"
#include "hive/finding.h"

namespace quelbrix {

struct DescriptorRecord {
  uint32_t Number = 0;
  uint32_t Length = 0;
  // The sk cell that first held it: the check's findings name that cell.
  uint32_t Cell = kNoOffset;
  uint32_t WorkLength = 0;
  uint32_t AccessCount = 0;
  uint32_t CellCount = 0;
  std::vector<uint8_t> Bytes;
  std::vector<uint8_t> WorkCopy;
  uint8_t HasAdministrators = 0;
  uint8_t HasLocalSystem = 0;
  uint8_t Modified = 0;
};

// Records in creation order, with an index by content so that a lookup costs
// one hash, not a walk of the list; Ordered() gives the list order (ascending
// Length, equal lengths in the order first met).
struct DescriptorList {
  std::vector<std::unique_ptr<DescriptorRecord>> Records;
  std::unordered_multimap<uint64_t, DescriptorRecord*> Index;
  // The record the last key named: siblings mostly share their descriptor,
  // and a comparison costs less than a hash and a lookup.
  DescriptorRecord* Last = nullptr;
  std::vector<DescriptorRecord*> Ordered() const;
};

// Frees a list made by RegisterDescriptor, with every record and its buffers.
void DeleteDescriptorList(DescriptorList* list);

// The record of a descriptor with exactly these bytes, or null.
DescriptorRecord* FindDescriptor(PassState& ctx, const uint8_t* bytes, uint32_t length);
// Key walk: counts one more key for an existing record, or adds a new record
// (Number = the running number + 1, AccessCount 1, Cell = skCell).  Returns
// the record, null when no record could be made.
DescriptorRecord* RegisterDescriptor(PassState& ctx, const uint8_t* bytes, uint32_t length,
                                     uint32_t skCell = kNoOffset);

// Phase 9: lists every record with its counts and checks it.
void SecurityDescriptorSummary(PassState& ctx);
void CheckSecurityDescriptor(PassState& ctx, DescriptorRecord& record);

// "S-%d-%d" and the sub-authorities, from SID bytes (never read past `available`).
std::string SidText(const uint8_t* sid, uint32_t available);
// English name of a well-known SID text, "Unknown" otherwise.
const char* LookupSidName(const std::string& sidText);

}  // namespace quelbrix
