// Bins: the 32-byte "hbin" header of every bin and the two cursors that walk
// the image, one from bin to bin, one from cell to cell inside a bin.  Each
// step says why it stopped; what the caller reports about it is its own.
// The cursors only read; nothing here changes the image but the setters.
//
// Bin header (image position p, a multiple of the page size when sound):
//   +0x00  4  "hbin"
//   +0x04  4  Offset: p - 4096, the bin's own place among the bins
//   +0x08  4  Size: bytes of the bin with its header, a multiple of 4096
//   +0x0C  4  Spare1, +0x10 4 Spare2: zero
//   +0x14  8  TimeStamp (FILETIME; kept by the first bin)
//   +0x1C  4  Spare: a copy of Size in format 1.3 and below
#pragma once

#include <cstdint>

#include "hive/image.h"

namespace quelbrix {

constexpr uint32_t kBinSignature = 0x6E696268;   // "hbin"
constexpr uint32_t kRegfSignature = 0x66676572;  // "regf"

class BinHeader {
 public:
  BinHeader(const HiveImage& image, uint64_t pos) : image_(image), pos_(pos) {}

  uint64_t Pos() const { return pos_; }
  bool Whole() const { return image_.Contains(pos_, kBinHeaderSize); }
  uint32_t Signature() const { return image_.U32(pos_); }
  void SetSignature(uint32_t v) const { image_.SetU32(pos_, v); }
  bool HasSignature() const { return Signature() == kBinSignature; }
  uint32_t Offset() const { return image_.U32(pos_ + 0x04); }
  void SetOffset(uint32_t v) const { image_.SetU32(pos_ + 0x04, v); }
  // The header states its own position (the chain is not broken here).
  bool NamesItself() const { return pos_ >= kBaseBlockSize && Offset() == pos_ - kBaseBlockSize; }
  uint32_t Size() const { return image_.U32(pos_ + 0x08); }
  void SetSize(uint32_t v) const { image_.SetU32(pos_ + 0x08, v); }
  uint32_t Spare1() const { return image_.U32(pos_ + 0x0C); }
  void SetSpare1(uint32_t v) const { image_.SetU32(pos_ + 0x0C, v); }
  uint32_t Spare2() const { return image_.U32(pos_ + 0x10); }
  void SetSpare2(uint32_t v) const { image_.SetU32(pos_ + 0x10, v); }
  uint64_t TimeStamp() const { return image_.U64(pos_ + 0x14); }
  void SetTimeStamp(uint64_t v) const { image_.SetU64(pos_ + 0x14, v); }
  uint32_t Spare() const { return image_.U32(pos_ + 0x1C); }
  void SetSpare(uint32_t v) const { image_.SetU32(pos_ + 0x1C, v); }

 private:
  HiveImage image_;
  uint64_t pos_;
};

// Why a cursor cannot go on from where it stands.
enum class WalkStop : uint8_t {
  kNone,          // the bin or cell here can be walked
  kEnd,           // the walk reached its end
  kBadSignature,  // no "hbin" header (or none whole inside the image)
  kBadOffset,     // the header does not name its own position
  kBadSize,       // a size that cannot advance the walk or runs past its end
};

// Walks the bins from `start` while they lie before `end` (an image
// position: the declared end of the bins, or the image's).
class BinCursor {
 public:
  BinCursor(const HiveImage& image, uint64_t end, uint64_t start = kBaseBlockSize)
      : image_(image), end_(end), pos_(start) {}

  uint64_t Pos() const { return pos_; }
  uint64_t End() const { return end_; }
  BinHeader Header() const { return BinHeader(image_, pos_); }
  bool AtEnd() const { return pos_ >= end_; }
  // Why the bin here cannot be walked; kNone for a sound bin: a whole
  // "hbin" header naming its own position, a size of at least a header that
  // ends at or before `end`.
  WalkStop Check() const {
    if (AtEnd()) return WalkStop::kEnd;
    BinHeader h = Header();
    if (!h.Whole() || !h.HasSignature()) return WalkStop::kBadSignature;
    if (!h.NamesItself()) return WalkStop::kBadOffset;
    if (h.Size() < kBinHeaderSize || h.Size() > end_ - pos_) return WalkStop::kBadSize;
    return WalkStop::kNone;
  }
  // Steps by the header's size, whatever Check says (callers that step past
  // a bad bin have said so already).  kBadSize when the size cannot advance
  // the walk (below a header) or the step passes `end`; kEnd at `end`.
  WalkStop Next() {
    uint32_t size = Header().Size();
    if (size < kBinHeaderSize) return WalkStop::kBadSize;
    pos_ += size;
    if (pos_ > end_) return WalkStop::kBadSize;
    return pos_ == end_ ? WalkStop::kEnd : WalkStop::kNone;
  }

 private:
  HiveImage image_;
  uint64_t end_;
  uint64_t pos_;
};

// Walks the cells of one bin from the cell at `cell` to `binEnd`.
class CellCursor {
 public:
  CellCursor(const HiveImage& image, uint64_t cell, uint64_t binEnd) : image_(image), end_(binEnd), pos_(cell) {}
  // From the first cell of the bin at `bin`.
  static CellCursor OfBin(const HiveImage& image, uint64_t bin, uint64_t binEnd) {
    return CellCursor(image, bin + kBinHeaderSize, binEnd);
  }

  uint64_t Pos() const { return pos_; }
  bool AtEnd() const { return pos_ >= end_; }
  int32_t SizeWord() const { return static_cast<int32_t>(image_.U32(pos_)); }
  // The cell's length whatever its allocation state.
  uint32_t Length() const {
    int32_t s = SizeWord();
    return s < 0 ? 0u - static_cast<uint32_t>(s) : static_cast<uint32_t>(s);
  }
  // Why the cell here cannot be stepped over; kNone for a size word inside
  // the image giving a non-zero multiple of 8 that ends at or before the bin end.
  WalkStop Check() const {
    if (AtEnd()) return WalkStop::kEnd;
    if (!image_.Contains(pos_, 4)) return WalkStop::kBadSize;
    uint32_t m = Length();
    if (m == 0 || m % 8 != 0 || m > end_ - pos_) return WalkStop::kBadSize;
    return WalkStop::kNone;
  }
  // Steps by the cell's length; kBadSize past the bin end, kEnd at it.
  WalkStop Next() {
    pos_ += Length();
    if (pos_ > end_) return WalkStop::kBadSize;
    return pos_ == end_ ? WalkStop::kEnd : WalkStop::kNone;
  }

 private:
  HiveImage image_;
  uint64_t end_;
  uint64_t pos_;
};

}  // namespace quelbrix
