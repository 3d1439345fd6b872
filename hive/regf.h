// Where the base block keeps its fields, and its checksum: one table for
// everything that reads or writes a base block, of a hive or of a log.
#pragma once

#include <cstdint>

#include "hive/bytes.h"

namespace quelbrix {
namespace regf {

constexpr uint32_t kPrimarySequence = 0x04;
constexpr uint32_t kSecondarySequence = 0x08;
constexpr uint32_t kTimeStamp = 0x0C;
constexpr uint32_t kMajorVersion = 0x14;
constexpr uint32_t kMinorVersion = 0x18;
constexpr uint32_t kType = 0x1C;
constexpr uint32_t kFormat = 0x20;
constexpr uint32_t kRootCellOffset = 0x24;
constexpr uint32_t kHbinsDataSize = 0x28;
constexpr uint32_t kClusteringFactor = 0x2C;
constexpr uint32_t kFileName = 0x30;
constexpr uint32_t kChecksum = 0x1FC;

}  // namespace regf

// XOR of the 127 dwords before the checksum.
inline uint32_t ComputeChecksum(const uint8_t* baseBlock) {
  uint32_t sum = 0;
  for (uint32_t i = 0; i < regf::kChecksum; i += 4) sum ^= LoadU32(baseBlock + i);
  return sum;
}

}  // namespace quelbrix
