#include "platform/memory.h"

#include <sys/mman.h>

#include <cstdint>

namespace quelbrix::platform {

namespace {

constexpr size_t kHugePage = size_t{2} << 20;

size_t RoundUp(size_t size) { return (size + kHugePage - 1) / kHugePage * kHugePage; }

}  // namespace

uint8_t* AllocateZeroed(size_t size) {
  if (size == 0 || size > SIZE_MAX - 2 * kHugePage) return nullptr;
  const size_t length = RoundUp(size);
  // Over-map by one huge page, then cut both ends off so that the block
  // starts on a huge-page boundary.
  void* raw = mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  uintptr_t start = reinterpret_cast<uintptr_t>(raw);
  uintptr_t aligned = (start + kHugePage - 1) / kHugePage * kHugePage;
  if (aligned > start) munmap(raw, aligned - start);
  size_t tail = start + length + kHugePage - (aligned + length);
  if (tail > 0) munmap(reinterpret_cast<void*>(aligned + length), tail);
  // Without transparent huge pages this is refused; small pages serve.
  madvise(reinterpret_cast<void*>(aligned), length, MADV_HUGEPAGE);
  return reinterpret_cast<uint8_t*>(aligned);
}

void FreeZeroed(uint8_t* p, size_t size) {
  if (p != nullptr && size > 0) munmap(p, RoundUp(size));
}

}  // namespace quelbrix::platform
