// A large, valid and fragmented hive made with the test hive builder, for the
// benchmarks and for tests that need the allocator to work hard: a wide and
// deep key tree, values of every common type, long data cells and big data,
// many distinct security descriptors, and the fragmentation a long-lived
// hive shows (holes, empty bins, unreferenced and oversized cells).
#pragma once

#include <cstdint>
#include <vector>

namespace quelbrix::testing {

// About `targetBytes` of hive (format 1.`minor`); the same seed gives the
// same bytes.
std::vector<uint8_t> MakeLargeHive(uint64_t targetBytes, uint32_t minor, uint32_t seed);

}  // namespace quelbrix::testing
