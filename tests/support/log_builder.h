// Test transaction logs, byte by byte: a new-format log whose entries carry
// the 4096-byte pages in which one hive image differs from the next, and an
// old-format log (base block, "DIRT" vector, dirty pages).  Tests then break
// one field of the bytes and call Rehash() where the fault is not a hash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quelbrix::testing {

class NewLogBuilder {
 public:
  // The first sector copies `hive`'s base block as a log's: file type 6,
  // both sequence numbers `sequence`, checksum recomputed.
  NewLogBuilder(const std::vector<uint8_t>& hive, uint32_t sequence);

  // An entry with sequence number `sequence` holding every page of the bins
  // of `after` that differs from `before` (all of them past before's end).
  // Returns the entry's position in the log.
  size_t AddEntry(uint32_t sequence, const std::vector<uint8_t>& before, const std::vector<uint8_t>& after);
  // Recomputes both hashes of the entry at `pos`.
  void Rehash(size_t pos);

  std::vector<uint8_t>& Bytes() { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

// An old-format log taking `before` to `after`: `after`'s base block as a
// log's (file type 1) with `before`'s time stamp, the dirty vector of the
// 512-byte pages that differ, then those pages.
std::vector<uint8_t> OldFormatLog(const std::vector<uint8_t>& before, const std::vector<uint8_t>& after);

// The hive bins of an image (after the base block, up to its declared size).
std::vector<uint8_t> BinsOf(const std::vector<uint8_t>& hive);

}  // namespace quelbrix::testing
