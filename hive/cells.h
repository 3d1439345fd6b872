// Views over the cell records of a hive: nk, vk, sk, the subkey indexes (lf,
// lh, li, ri), value lists, class and data cells, and big data (db, segment
// list, segments).  A view reads and writes its fields in place, little-endian;
// every field access is checked against the end of the HiveImage, so a damaged
// length or count can never reach outside it (a read there yields 0, a write
// is dropped).  Also the kind codes and names, and the needed lengths per kind.
#pragma once

#include <cstdint>

#include "hive/image.h"

namespace quelbrix {

// Two-letter signatures as one little-endian u16; the last five are the
// pseudo-signatures of cells that carry none.
constexpr uint16_t kSigNk = 0x6B6E, kSigVk = 0x6B76, kSigSk = 0x6B73, kSigLf = 0x666C, kSigLh = 0x686C,
                   kSigLi = 0x696C, kSigRi = 0x6972, kSigDb = 0x6264, kSigVm = 0x6D76, kSigCl = 0x6C63,
                   kSigVd = 0x6476, kSigDl = 0x6C64, kSigDd = 0x6464;

// The signatures of the cells the key tree is made of: keys, values,
// descriptors, subkey lists and big-data headers (data and value lists have
// none, so the first bytes of these never make an offset of either).
constexpr bool IsStructureSignature(uint16_t sig) {
  return sig == kSigNk || sig == kSigVk || sig == kSigSk || sig == kSigLf || sig == kSigLh || sig == kSigLi ||
         sig == kSigRi || sig == kSigDb;
}

// Kind codes: the low nibble of the sum of the two signature bytes.
constexpr uint8_t KindCode(uint16_t sig) { return static_cast<uint8_t>(((sig & 0xFF) + (sig >> 8)) & 0xF); }
enum Kind : uint8_t {
  kKindDl = 0, kKindVk = 1, kKindLf = 2, kKindVm = 3, kKindLh = 4, kKindLi = 5, kKindDb = 6, kKindU7 = 7,
  kKindDd = 8, kKindNk = 9, kKindVd = 10, kKindRi = 11, kKindUc = 12, kKindUd = 13, kKindSk = 14, kKindCl = 15,
};
static_assert(KindCode(kSigNk) == kKindNk && KindCode(kSigSk) == kKindSk && KindCode(kSigCl) == kKindCl);
static_assert(KindCode(kSigDl) == kKindDl && KindCode(kSigDd) == kKindDd && KindCode(kSigVd) == kKindVd);

// "dl", "vk", "lf", ... by kind code (rows of two letters and a NUL).
const char* KindName(uint8_t code);

// Name-encoding rows ("UniCode ", "AnsiCode", "NoName  ") and value type rows
// (padded to 30 characters; row 12 is every type above 11).
const char* NameEncodingRow(int index);
const char* ValueTypeRow(uint32_t type);
constexpr int kValueTypeRows = 13;

// How much of a cell is in use: the minimum length it must have, where its
// zero padding starts, and the length defragmentation trims it to.  `n` is
// the variable part: KeyLength (nk), NameLength (vk), DescriptorLength (sk),
// entry count (lists), ClassLength (class), data length (value data).
// 64-bit, since a damaged length field may be anything.
struct CellNeeds {
  uint64_t Minimum;
  uint64_t PaddingStart;
  uint64_t Trim;
};
CellNeeds NeedsFor(uint8_t kind, uint64_t n);
constexpr uint64_t RoundUp8(uint64_t x) { return (x + 7) & ~uint64_t{7}; }

constexpr uint32_t kSegmentData = 16344;     // data bytes of a full big-data segment
constexpr uint32_t kSegmentCellSize = 16352;  // a segment cell the tool creates
constexpr uint32_t kBigDataThreshold = 16344;  // values longer than this go to big data

// Base view: one cell at an image position.  Valid when its size word is
// inside the image.
class CellView {
 public:
  CellView() = default;
  CellView(const HiveImage& image, uint64_t pos)
      : p_(image.Contains(pos, 4) ? image.Data() + pos : nullptr),
        pos_(static_cast<uint32_t>(pos)),
        avail_(p_ ? static_cast<uint32_t>(image.Size() - pos) : 0) {}
  static CellView AtOffset(const HiveImage& image, uint32_t cellOffset) {
    return CellView(image, CellPos(cellOffset));
  }

  bool Valid() const { return p_ != nullptr; }
  uint32_t Pos() const { return pos_; }
  uint32_t Offset() const { return pos_ - kBaseBlockSize; }
  // Bytes from the cell's start to the end of the image.
  uint32_t Avail() const { return avail_; }
  uint8_t* Bytes() const { return p_; }

  int32_t Size() const { return static_cast<int32_t>(U32(0)); }
  void SetSize(int32_t size) const { SetU32(0, static_cast<uint32_t>(size)); }
  // |Size|, as a u32 (a size word of INT32_MIN has magnitude 2^31).
  uint32_t Length() const {
    int32_t s = Size();
    return s < 0 ? 0u - static_cast<uint32_t>(s) : static_cast<uint32_t>(s);
  }
  bool Allocated() const { return Size() < 0; }
  uint16_t Signature() const { return U16(4); }

  bool Has(uint64_t offset, uint64_t length) const { return offset <= avail_ && length <= avail_ - offset; }
  // Bytes from `offset` to the cell's end, or to the image's where the cell
  // claims more.
  uint64_t Room(uint64_t offset) const {
    uint64_t end = Length() < avail_ ? Length() : avail_;
    return end > offset ? end - offset : 0;
  }
  // Pointer to `length` bytes at `offset`, or null when they leave the image.
  uint8_t* Ptr(uint64_t offset, uint64_t length) const { return p_ && Has(offset, length) ? p_ + offset : nullptr; }
  uint8_t U8(uint64_t off) const { return Has(off, 1) ? p_[off] : 0; }
  uint16_t U16(uint64_t off) const { return p_ && Has(off, 2) ? LoadU16(p_ + off) : 0; }
  uint32_t U32(uint64_t off) const { return p_ && Has(off, 4) ? LoadU32(p_ + off) : 0; }
  uint64_t U64(uint64_t off) const { return p_ && Has(off, 8) ? LoadU64(p_ + off) : 0; }
  void SetU16(uint64_t off, uint16_t v) const {
    if (p_ && Has(off, 2)) StoreU16(p_ + off, v);
  }
  void SetU32(uint64_t off, uint32_t v) const {
    if (p_ && Has(off, 4)) StoreU32(p_ + off, v);
  }
  void SetU64(uint64_t off, uint64_t v) const {
    if (p_ && Has(off, 8)) StoreU64(p_ + off, v);
  }

 protected:
  uint8_t* p_ = nullptr;
  uint32_t pos_ = 0;
  uint32_t avail_ = 0;
};

#define QUELBRIX_FIELD16(Name, off)                    \
  uint16_t Name() const { return U16(off); }           \
  void Set##Name(uint16_t v) const { SetU16(off, v); } \
  static constexpr uint32_t k##Name = off;
#define QUELBRIX_FIELD32(Name, off)                    \
  uint32_t Name() const { return U32(off); }           \
  void Set##Name(uint32_t v) const { SetU32(off, v); } \
  static constexpr uint32_t k##Name = off;
#define QUELBRIX_FIELD64(Name, off)                    \
  uint64_t Name() const { return U64(off); }           \
  void Set##Name(uint64_t v) const { SetU64(off, v); } \
  static constexpr uint32_t k##Name = off;

class NkCell : public CellView {
 public:
  using CellView::CellView;
  explicit NkCell(const CellView& c) : CellView(c) {}
  static constexpr uint16_t kFlagAsciiName = 0x0020;
  static constexpr uint16_t kFlagRoot = 0x0004;
  static constexpr uint32_t kHeaderLength = 80;

  QUELBRIX_FIELD16(Flags, 0x06)
  QUELBRIX_FIELD64(TimeStamp, 0x08)
  QUELBRIX_FIELD32(Unknown1, 0x10)
  QUELBRIX_FIELD32(ParentOffset, 0x14)
  QUELBRIX_FIELD32(SubkeyCount, 0x18)
  QUELBRIX_FIELD32(SubkeyCount1, 0x1C)
  QUELBRIX_FIELD32(SubkeyOffset, 0x20)
  QUELBRIX_FIELD32(SubkeyOffset1, 0x24)
  QUELBRIX_FIELD32(vklistCount, 0x28)
  QUELBRIX_FIELD32(vklistOffset, 0x2C)
  QUELBRIX_FIELD32(skOffset, 0x30)
  QUELBRIX_FIELD32(ClassOffset, 0x34)
  QUELBRIX_FIELD16(MaxSubkey, 0x38)
  QUELBRIX_FIELD16(Unknown2, 0x3A)
  QUELBRIX_FIELD32(MaxClass, 0x3C)
  QUELBRIX_FIELD32(MaxName, 0x40)
  QUELBRIX_FIELD32(MaxData, 0x44)
  QUELBRIX_FIELD32(Unknown3, 0x48)
  QUELBRIX_FIELD16(KeyLength, 0x4C)
  QUELBRIX_FIELD16(ClassLength, 0x4E)
  static constexpr uint32_t kKeyName = 0x50;

  bool AsciiName() const { return (Flags() & kFlagAsciiName) != 0; }
  // The stored name bytes that lie inside the image (at most KeyLength).
  const uint8_t* KeyName() const { return Ptr(kKeyName, 0); }
  uint32_t KeyNameAvail() const { return Avail() > kKeyName ? Avail() - kKeyName : 0; }
};

class VkCell : public CellView {
 public:
  using CellView::CellView;
  explicit VkCell(const CellView& c) : CellView(c) {}
  static constexpr uint16_t kFlagAsciiName = 0x0001;
  static constexpr uint32_t kInlineFlag = 0x80000000u;
  static constexpr uint32_t kHeaderLength = 24;

  QUELBRIX_FIELD16(NameLength, 0x06)
  QUELBRIX_FIELD32(DataLength, 0x08)
  QUELBRIX_FIELD32(DataOffset, 0x0C)
  QUELBRIX_FIELD32(DataType, 0x10)
  QUELBRIX_FIELD16(Flags, 0x14)
  QUELBRIX_FIELD16(Unknown, 0x16)
  static constexpr uint32_t kName = 0x18;

  bool AsciiName() const { return (Flags() & kFlagAsciiName) != 0; }
  bool InlineData() const { return (DataLength() & kInlineFlag) != 0; }
  const uint8_t* Name() const { return Ptr(kName, 0); }
  uint32_t NameAvail() const { return Avail() > kName ? Avail() - kName : 0; }
};

class SkCell : public CellView {
 public:
  using CellView::CellView;
  explicit SkCell(const CellView& c) : CellView(c) {}
  static constexpr uint32_t kHeaderLength = 24;

  QUELBRIX_FIELD16(Unknown, 0x06)
  QUELBRIX_FIELD32(PrevskOffset, 0x08)
  QUELBRIX_FIELD32(NextskOffset, 0x0C)
  QUELBRIX_FIELD32(RefCount, 0x10)
  QUELBRIX_FIELD32(DescriptorLength, 0x14)
  static constexpr uint32_t kDescriptor = 0x18;
  // The descriptor bytes, or null when DescriptorLength runs out of the image.
  const uint8_t* Descriptor() const { return Ptr(kDescriptor, DescriptorLength()); }
};

// The shape a record must have before any reader trusts its fields: the
// signature of its kind, and room in the cell for the fixed part and the
// name or descriptor that the fixed part announces.  The key walk reports the
// two faults apart; the mender and the hive reader refuse on either.
enum class Shape : uint8_t { kSound, kWrongSignature, kTooShort };
inline Shape ShapeOf(const NkCell& nk) {
  if (nk.Signature() != kSigNk) return Shape::kWrongSignature;
  return nk.Length() >= uint64_t{NkCell::kHeaderLength} + nk.KeyLength() ? Shape::kSound : Shape::kTooShort;
}
inline Shape ShapeOf(const VkCell& vk) {
  if (vk.Signature() != kSigVk) return Shape::kWrongSignature;
  return vk.Length() >= uint64_t{VkCell::kHeaderLength} + vk.NameLength() ? Shape::kSound : Shape::kTooShort;
}
inline Shape ShapeOf(const SkCell& sk) {
  if (sk.Signature() != kSigSk) return Shape::kWrongSignature;
  return sk.Length() >= uint64_t{SkCell::kHeaderLength} + sk.DescriptorLength() ? Shape::kSound : Shape::kTooShort;
}

// lf, lh, li and ri cells.
class IndexCell : public CellView {
 public:
  using CellView::CellView;
  explicit IndexCell(const CellView& c) : CellView(c) {}
  static constexpr uint32_t kEntries = 0x08;

  QUELBRIX_FIELD16(Count, 0x06)
  // 8 for lf and lh (offset and hash), 4 for li and ri.
  uint32_t EntrySize() const {
    uint16_t s = Signature();
    return (s == kSigLf || s == kSigLh) ? 8 : 4;
  }
  uint32_t KeyOffset(uint32_t i) const { return U32(kEntries + uint64_t{EntrySize()} * i); }
  void SetKeyOffset(uint32_t i, uint32_t v) const { SetU32(kEntries + uint64_t{EntrySize()} * i, v); }
  uint32_t Hash(uint32_t i) const { return U32(kEntries + 8ull * i + 4); }
  void SetHash(uint32_t i, uint32_t v) const { SetU32(kEntries + 8ull * i + 4, v); }
};

// Cells of u32 CellOffsets from 0x04: value lists and big-data segment lists.
class OffsetListCell : public CellView {
 public:
  using CellView::CellView;
  explicit OffsetListCell(const CellView& c) : CellView(c) {}
  static constexpr uint32_t kEntries = 0x04;
  uint32_t Entry(uint32_t i) const { return U32(kEntries + 4ull * i); }
  void SetEntry(uint32_t i, uint32_t v) const { SetU32(kEntries + 4ull * i, v); }
};

class DbCell : public CellView {
 public:
  using CellView::CellView;
  explicit DbCell(const CellView& c) : CellView(c) {}
  QUELBRIX_FIELD16(SegmentCount, 0x06)
  QUELBRIX_FIELD32(ddlistOffset, 0x08)
  QUELBRIX_FIELD32(Unknown, 0x0C)
};

// Class cells, value data cells and segments: raw bytes from 0x04.
class DataCell : public CellView {
 public:
  using CellView::CellView;
  explicit DataCell(const CellView& c) : CellView(c) {}
  static constexpr uint32_t kData = 0x04;
  const uint8_t* Data(uint32_t length) const { return Ptr(kData, length); }
};

#undef QUELBRIX_FIELD16
#undef QUELBRIX_FIELD32
#undef QUELBRIX_FIELD64

}  // namespace quelbrix
