// The HiveImage: the hive file's bytes followed by zero reserve pages, inside
// the one allocation that Read makes (the AccessMap is kept apart).  Positions
// are image byte offsets; a CellOffset c lives at position 4096 + c.  Every
// access through this view is bounds-checked against the image.
#pragma once

#include <cstdint>

#include "core/pass_state.h"
#include "hive/bytes.h"

namespace quelbrix {

// The page: the base block's size and the grain of every bin.
constexpr uint32_t kPageSize = 4096;
constexpr uint32_t kBaseBlockSize = kPageSize;
constexpr uint32_t kBinHeaderSize = 32;
constexpr uint32_t kFirstCellPos = kBaseBlockSize + kBinHeaderSize;
constexpr uint32_t kNoCell = 0xFFFFFFFFu;

// Image position of a CellOffset (64-bit: an offset from the file may be
// anything).
constexpr uint64_t CellPos(uint32_t cellOffset) { return uint64_t{kBaseBlockSize} + cellOffset; }
// CellOffset of an image position (the "FileOffset=0x%08x" of messages is the position itself).
constexpr uint32_t CellOffsetOf(uint64_t pos) { return static_cast<uint32_t>(pos - kBaseBlockSize); }

class HiveImage {
 public:
  HiveImage(uint8_t* data, uint32_t size) : data_(data), size_(size) {}
  explicit HiveImage(PassState& ctx) : data_(ctx.Image), size_(ctx.Image ? ctx.ImageSize : 0) {}

  uint8_t* Data() const { return data_; }
  uint32_t Size() const { return size_; }
  bool Contains(uint64_t pos, uint64_t length) const { return pos <= size_ && length <= size_ - pos; }
  uint8_t* At(uint64_t pos, uint64_t length) const { return Contains(pos, length) ? data_ + pos : nullptr; }

  uint16_t U16(uint64_t pos) const { return Contains(pos, 2) ? LoadU16(data_ + pos) : 0; }
  uint32_t U32(uint64_t pos) const { return Contains(pos, 4) ? LoadU32(data_ + pos) : 0; }
  uint64_t U64(uint64_t pos) const { return Contains(pos, 8) ? LoadU64(data_ + pos) : 0; }
  void SetU16(uint64_t pos, uint16_t v) const {
    if (Contains(pos, 2)) StoreU16(data_ + pos, v);
  }
  void SetU32(uint64_t pos, uint32_t v) const {
    if (Contains(pos, 4)) StoreU32(data_ + pos, v);
  }
  void SetU64(uint64_t pos, uint64_t v) const {
    if (Contains(pos, 8)) StoreU64(data_ + pos, v);
  }

  // The hive bins data size of the base block, and the position where the
  // bins end by that size (never beyond the image).
  uint32_t HbinsDataSize() const { return U32(0x28); }
  uint64_t HbinsEnd() const {
    uint64_t end = uint64_t{kBaseBlockSize} + HbinsDataSize();
    return end < size_ ? end : size_;
  }

 private:
  uint8_t* data_;
  uint32_t size_;
};

// Hive format versions: 1.3 and below (major 0, or 1 with minor <= 3) are the
// old format; big data exists from 1.4.
inline bool IsOldFormat(uint32_t major, uint32_t minor) { return major == 0 || (major == 1 && minor <= 3); }
inline bool HasBigData(uint32_t major, uint32_t minor) { return major > 1 || (major == 1 && minor >= 4); }

}  // namespace quelbrix
