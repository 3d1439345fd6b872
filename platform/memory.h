// Large zeroed working memory: the hive image and the AccessMap's store.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace quelbrix::platform {

// size bytes of zeroed memory, or nullptr.  Large blocks are mapped on
// huge-page boundaries with huge pages requested: first touches of a 4 KiB
// page cost more than the scan's own work on a large hive.  Memory comes
// zeroed from the kernel, so callers need not clear it.
uint8_t* AllocateZeroed(size_t size);

// Makes the first n bytes of a block from AllocateZeroed present in memory,
// so that later first writes take no page faults.  It never writes the
// block, so it may run beside a thread that does; where the kernel cannot
// populate pages ahead, it does nothing and the writes fault as they go.
void TouchZeroed(uint8_t* p, size_t n);

// Returns what AllocateZeroed(size) gave; nullptr is ignored.  Ends the
// guard of a file mapped into it.
void FreeZeroed(uint8_t* p, size_t size);

// Maps the first `length` bytes of the open file `fd` over the start of a
// block from AllocateZeroed, privately: what the run writes there stays in
// memory, and the block past the file keeps its zeros.  One file at a time
// is guarded: should it shrink under the run, the pages it lost read as
// zeros instead of killing the process, and MappedFileShrank says so.  False
// (the block unchanged) where the block is heap memory or the file cannot be
// mapped: the caller reads the file instead.
bool MapFileInto(uint8_t* block, int fd, size_t length);
// Brings the mapped pages [offset, offset + n) of the block in from the file
// ahead of their first use.
void PopulateMapped(uint8_t* block, size_t offset, size_t n);
bool MappedFileShrank();
// Reads one byte of each page of the mapped range [offset, offset + n) from
// user space.  On machines whose host keeps page tables of its own for the
// guest (shadow paging), a thread's first read of a mapped page costs about
// a microsecond even when the kernel has the page mapped already; this pays
// that on the calling thread, for every thread of the process.
void ReadMapped(const uint8_t* block, size_t offset, size_t n);

// An array of n zeroed bytes from AllocateZeroed, freed with it; the heap
// serves when no mapping can be had (and throws std::bad_alloc as a vector
// would when it cannot either).  For large working tables that a pass fills
// sparsely: a vector would write every byte of it first.
class ZeroedBytes {
 public:
  explicit ZeroedBytes(size_t n);
  ~ZeroedBytes();
  ZeroedBytes(const ZeroedBytes&) = delete;
  ZeroedBytes& operator=(const ZeroedBytes&) = delete;

  uint8_t& operator[](size_t i) { return data_[i]; }
  uint8_t operator[](size_t i) const { return data_[i]; }
  size_t size() const { return size_; }
  uint8_t* data() { return data_; }
  const uint8_t* data() const { return data_; }

 private:
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
  std::unique_ptr<uint8_t[]> heap_;  // set only when no mapping could be had
};

}  // namespace quelbrix::platform
