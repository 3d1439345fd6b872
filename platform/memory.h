// Large zeroed working memory: the hive image and its AccessMap.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quelbrix::platform {

// size bytes of zeroed memory, or nullptr.  Large blocks are mapped on
// huge-page boundaries with huge pages requested: first touches of a 4 KiB
// page cost more than the scan's own work on a large hive.  Memory comes
// zeroed from the kernel, so callers need not clear it.
uint8_t* AllocateZeroed(size_t size);

// Makes the first n bytes of a block from AllocateZeroed present in memory
// (still zero), so that later first writes take no page faults.
void TouchZeroed(uint8_t* p, size_t n);

// Returns what AllocateZeroed(size) gave; nullptr is ignored.
void FreeZeroed(uint8_t* p, size_t size);

}  // namespace quelbrix::platform
