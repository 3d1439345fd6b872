// The AccessMap: a shadow of the HiveImage, addressed by the same positions
// (it reads as zeros where nothing was written; ShadowStore keeps its bytes).
// The shadow bytes under a cell (CellShadow) record who refers to it, its
// kind, how often it was reached and the cells it refers to; those under each
// bin header (BinShadow) hold the allocator's per-bin state; those under the
// base block (ScanTotals) the scan's counts and the RepairCounters.  Every
// link is a 32-bit position: the byte offset of the target shadow from the
// start of the AccessMap (which equals the target cell's image position), 0
// for none.  All byte positions of the shadow live in this file.
#pragma once

#include <cstdint>

#include "core/pass_state.h"
#include "core/invariant.h"
#include "core/shadow_store.h"
#include "hive/bytes.h"
#include "hive/image.h"

namespace quelbrix {

class AccessMap {
 public:
  // The store's places are taken once: they stay while a pass runs, and the
  // hot paths need not reload them after every byte they store.
  explicit AccessMap(ShadowStore& store)
      : store_(&store), index_(store.Index()), pool_(store.Pool()), size_(store.Size()) {}
  explicit AccessMap(PassState& ctx) : AccessMap(ctx.Shadow) {}

  uint32_t Size() const { return size_; }
  bool Contains(uint64_t pos, uint64_t length) const { return pos <= Size() && length <= Size() - pos; }
  uint32_t U32(uint64_t pos) const { return static_cast<uint32_t>(Load<4>(pos)); }
  void SetU32(uint64_t pos, uint32_t v) const { Store<4>(pos, v); }
  uint64_t U64(uint64_t pos) const { return Load<8>(pos); }
  void SetU64(uint64_t pos, uint64_t v) const { Store<8>(pos, v); }
  // Zeros over [pos, pos + n); nothing when the map does not hold it all.
  void Clear(uint64_t pos, uint64_t n) const {
    if (Contains(pos, n)) store_->Clear(pos, n);
  }
  // The shadow bytes [from, from + n) copied to [to, to + n), as memmove
  // would; nothing when the map does not hold both ranges.
  void Move(uint64_t to, uint64_t from, uint64_t n) const {
    if (Contains(to, n) && Contains(from, n)) store_->Move(to, from, n);
  }
  // All of it zero.
  void ClearAll() const { store_->Clear(); }
  // Makes the block of `pos` now (it still reads as zeros): blocks made in
  // the order of their positions are walked in that order by the passes
  // that go through the cells front to back.
  void Place(uint64_t pos) const {
    if (Contains(pos, 1) && Find(pos) == nullptr) store_->Make(pos);
  }
  uint8_t Byte(uint64_t pos) const {
    if (!Contains(pos, 1)) return 0;
    const uint8_t* b = Find(pos);
    return b == nullptr ? 0 : b[pos % kBlock];
  }

 private:
  static constexpr uint32_t kBlock = ShadowStore::kBlock;
  // The fast paths: inside the map and inside one block.  Positions come
  // from 32-bit values plus small offsets, so pos + N cannot wrap.
  template <uint32_t N>
  uint64_t Load(uint64_t pos) const {
    if (pos + N > size_ || pos % kBlock > kBlock - N) [[unlikely]]
      return Contains(pos, N) ? store_->Spanning(pos, N) : 0;
    const uint8_t* b = Find(pos);
    if (b == nullptr) return 0;
    if constexpr (N == 4) return LoadU32(b + pos % kBlock);
    return LoadU64(b + pos % kBlock);
  }
  template <uint32_t N>
  void Store(uint64_t pos, uint64_t v) const {
    if (pos + N > size_ || pos % kBlock > kBlock - N) [[unlikely]] {
      if (Contains(pos, N)) store_->SetSpanning(pos, v, N);
      return;
    }
    uint8_t* b = Find(pos);
    if (b == nullptr) {
      // A zero written where nothing is reads the same without a block.
      if (v == 0) return;
      b = store_->Make(pos);
    }
    if constexpr (N == 4)
      StoreU32(b + pos % kBlock, static_cast<uint32_t>(v));
    else
      StoreU64(b + pos % kBlock, v);
  }
  uint8_t* Find(uint64_t pos) const {
    const uint32_t id = index_[pos / kBlock];
    return id == 0 ? nullptr : pool_ + uint64_t{id} * kBlock;
  }

  ShadowStore* store_;
  uint32_t* index_;
  uint8_t* pool_;
  uint32_t size_;
};

// The shadow of one cell at image position `pos`.
class CellShadow {
 public:
  CellShadow(const AccessMap& map, uint32_t pos) : map_(map), pos_(pos) {}
  uint32_t Pos() const { return pos_; }

  uint32_t ParentLink() const { return Get(0x00); }
  void SetParentLink(uint32_t v) const { Set(0x00, v); }
  uint32_t AccessWord() const { return Get(0x04); }
  void SetAccessWord(uint32_t v) const { Set(0x04, v); }
  uint8_t Kind() const { return static_cast<uint8_t>(AccessWord() & 0xF); }
  uint32_t References() const { return AccessWord() >> 8; }

  // ChildLinks from +0x08, zero-terminated.
  static constexpr uint32_t kChildLinks = 0x08;
  // An nk has room for three children (subkey list, value list, class)
  // before its referrer links.
  static constexpr uint32_t kKeyChildSlots = 3;
  uint32_t ChildLink(uint32_t i) const { return Get(kChildLinks + 4ull * i); }
  void SetChildLink(uint32_t i, uint32_t v) const { Set(kChildLinks + 4ull * i, v); }

  // sk: the nk that recorded a reference last.
  uint32_t FirstReferrer() const { return Get(0x14); }
  void SetFirstReferrer(uint32_t v) const { Set(0x14, v); }
  // nk links.
  uint32_t NextReferrer() const { return Get(0x14); }
  void SetNextReferrer(uint32_t v) const { Set(0x14, v); }
  uint32_t PrevReferrer() const { return Get(0x18); }
  void SetPrevReferrer(uint32_t v) const { Set(0x18, v); }
  uint32_t PrevSibling() const { return Get(0x1C); }
  void SetPrevSibling(uint32_t v) const { Set(0x1C, v); }
  uint32_t NextSibling() const { return Get(0x20); }
  void SetNextSibling(uint32_t v) const { Set(0x20, v); }
  uint32_t LastChild() const { return Get(0x24); }
  void SetLastChild(uint32_t v) const { Set(0x24, v); }
  uint32_t ParentKey() const { return Get(0x28); }
  void SetParentKey(uint32_t v) const { Set(0x28, v); }

 private:
  uint32_t Get(uint64_t off) const { return map_.U32(uint64_t{pos_} + off); }
  void Set(uint64_t off, uint32_t v) const { map_.SetU32(uint64_t{pos_} + off, v); }
  AccessMap map_;
  uint32_t pos_;
};

// Moves the key at `nkPos` from the referrer list and reference count of the
// sk at `fromSk` to those of the sk at `toSk`.  The forward link of a key's
// predecessor sits at +0x14 whether it is a key (NextReferrer) or the sk
// itself (FirstReferrer).
inline void MoveSkReferrer(const AccessMap& map, uint32_t nkPos, uint32_t fromSk, uint32_t toSk) {
  CellShadow from(map, fromSk), to(map, toSk), key(map, nkPos);
  from.SetAccessWord(from.AccessWord() - 0x100);
  to.SetAccessWord(to.AccessWord() + 0x100);
  uint32_t prev = key.PrevReferrer();
  uint32_t next = key.NextReferrer();
  if (prev != 0) CellShadow(map, prev).SetNextReferrer(next);
  if (next != 0) CellShadow(map, next).SetPrevReferrer(prev);
  uint32_t oldFirst = to.FirstReferrer();
  key.SetNextReferrer(oldFirst);
  if (oldFirst != 0) CellShadow(map, oldFirst).SetPrevReferrer(nkPos);
  to.SetFirstReferrer(nkPos);
  key.SetPrevReferrer(toSk);
}

// The shadow of one bin header at image position `pos`.
class BinShadow {
 public:
  BinShadow(const AccessMap& map, uint32_t pos) : map_(map), pos_(pos) {}
  uint32_t HbinState() const { return map_.U32(uint64_t{pos_} + 0x04); }
  // 0 not yet known, 1 locked by a defrag pass, 2 its free space is the tail.
  void SetHbinState(uint32_t v) const {
    QUELBRIX_INVARIANT(v <= 2 && pos_ >= kBaseBlockSize);
    map_.SetU32(uint64_t{pos_} + 0x04, v);
  }
  // Image position of the first cell of the free run that ends the bin, 0 when
  // the bin's last cell is allocated.
  uint32_t FreeTail() const { return map_.U32(uint64_t{pos_} + 0x08); }
  void SetFreeTail(uint32_t v) const { map_.SetU32(uint64_t{pos_} + 0x08, v); }
  uint32_t PrevBinSize() const { return map_.U32(uint64_t{pos_} + 0x1C); }
  void SetPrevBinSize(uint32_t v) const { map_.SetU32(uint64_t{pos_} + 0x1C, v); }

 private:
  AccessMap map_;
  uint32_t pos_;
};

// Slots of the ScanTotals (the shadow of the base block), by byte position.
enum class Total : uint32_t {
  MaxTime = 0,  // u64
  MinTime = 8,  // u64
  LastHbinOffset = 16,
  HbinCount = 20,
  AllocStartHbin = 24,  // image position of a bin, 0 for none
  AllocStartIndex = 28,
  DescriptorRunningNumber = 36,
  AssertCount = 40,
  AccessCount = 44,
  SubLinkCount = 48,
  lhListCount = 52,
  liListCount = 56,
  riListCount = 60,
  lfListCount = 64,
  lhLinkCount = 68,
  liLinkCount = 72,
  riLinkCount = 76,
  lfLinkCount = 80,
  nkCount = 84,
  classCount = 88,
  vklistCount = 92,
  vkCount = 96,
  skCount = 100,
  dataCount = 104,
  skOverRideCount = 108,
  dbCount = 112,
  ddlistCount = 116,
  dbdataCount = 120,
  MaxKeyLength = 124,
  MaxNameLength = 128,
  MaxdataLength = 132,
  MaxdataCellsLength = 136,
  DataTypeCounts = 140,  // 13 slots: types 0..11, then all others
  KeyNameCounts = 192,   // 2 slots: UTF-16, 8-bit
  ValueNameCounts = 200,  // 3 slots: UTF-16, 8-bit, no name
  SubLinkKinds = 212,     // 8 slots: nk->lf, nk->lh, nk->ri, nk->li, ri->lf, ri->lh, ri->ri, ri->li
  SubLinkOther = 244,
};

// RepairCounters: one signed slot per kind of fix, by byte position.
enum class RepairCounter : uint32_t {
  AdjustCellsClean = 252,
  HbinUnknownClean = 256,
  HbinOffsetClean = 260,
  FileSizeClean = 264,
  HbinTimeStampClean = 268,
  regfFileNameClean = 272,
  regfTimeStampClean = 276,
  regfExpandCount = 280,
  regfUnknownClean = 284,
  regfGuidClean = 288,
  regfReserve1Clean = 292,
  regfReserve2Clean = 296,
  regfSequenceClean = 300,
  regfCheckSumClean = 304,
  nkMaxSubkeyClean = 308,
  nkMaxClassClean = 312,
  nkSubkeyCountClean = 324,
  nkSubkeyCount1Clean = 328,
  nkvklistCountClean = 332,
  nkClassCountClean = 336,
  nkskOffsetClean = 340,
  nkUnknownClean = 344,
  lfHashClean = 348,
  lhHashClean = 352,
  skDescriptorClean = 356,
  vkDataLengthClean = 360,
  nkKeyLengthClean = 364,
  vkKeyLengthClean = 368,
  vkUnknownClean = 372,
  skCellsChaneClean = 376,
  skUnknownClean = 380,
  nkPaddingClean = 384,
  classPaddingClean = 388,
  skPaddingClean = 392,
  vklistPaddingClean = 396,
  vkPaddingClean = 400,
  dataPaddingClean = 404,
  dbPaddingClean = 408,
  ddlistPaddingClean = 412,
  dbdataPaddingClean = 416,
  dbdataOverClean = 420,
  dbNumberClean = 424,
  lfPaddingClean = 428,
  lhPaddingClean = 432,
  riPaddingClean = 436,
  liPaddingClean = 440,
  UnaccessCellsClean = 444,
  UnallocCellsClean = 448,
  ContinueCellsClean = 452,
  UnpackedCellsClean = 460,
  moveCellsClean = 464,
  DescriptorDaclSidClean = 472,
  DescriptorDaclLengthClean = 476,
  DescriptorDaclClean = 480,
  DescriptorDaclSequenceClean = 484,
  DescriptorDaclAceTypeClean = 492,
  DescriptorDaclAceMaskClean = 496,
  DescriptorControlSaclClean = 500,
  DescriptorControlDaclClean = 504,
  DescriptorDaclAdminClean = 508,
  DescriptorDaclLocalClean = 512,
  RegCreateKeyExCount = 520,
  RegSetValueExCount = 524,
  // What Repair and Defrag make sound beyond the fixed repairs, in the
  // base-block room behind the counters above.
  regfHbinsLengthClean = 528,
  HbinBrokenClean = 532,
  HbinCellsClean = 536,
  nkRootFlagClean = 540,
  SublistDetachClean = 544,
  nkSubkeySequenceClean = 548,
  nkSubkeyDuplicateClean = 552,
  vklistDetachClean = 556,
  vkDetachClean = 560,
  dataDetachClean = 564,
  classDetachClean = 568,
  skDetachClean = 572,
  skRefCountClean = 576,
  skCellsRingClean = 580,
};

class ScanTotals {
 public:
  explicit ScanTotals(const AccessMap& map) : map_(map) {}
  explicit ScanTotals(PassState& ctx) : map_(ctx) {}

  uint32_t Get(Total t) const { return map_.U32(static_cast<uint32_t>(t)); }
  void Set(Total t, uint32_t v) const { map_.SetU32(static_cast<uint32_t>(t), v); }
  void Add(Total t, uint32_t n = 1) const { Set(t, Get(t) + n); }
  // Slot `i` of an array of slots that starts at `t`.
  uint32_t Get(Total t, uint32_t i) const { return map_.U32(static_cast<uint32_t>(t) + 4ull * i); }
  void Add(Total t, uint32_t i, uint32_t n) const {
    uint64_t pos = static_cast<uint32_t>(t) + 4ull * i;
    map_.SetU32(pos, map_.U32(pos) + n);
  }
  void SetMax(Total t, uint32_t v) const {
    if (v > Get(t)) Set(t, v);
  }
  uint64_t Time(Total t) const { return map_.U64(static_cast<uint32_t>(t)); }
  void SetTime(Total t, uint64_t v) const { map_.SetU64(static_cast<uint32_t>(t), v); }

  int32_t Counter(RepairCounter c) const { return static_cast<int32_t>(map_.U32(static_cast<uint32_t>(c))); }
  void SetCounter(RepairCounter c, int32_t v) const {
    map_.SetU32(static_cast<uint32_t>(c), static_cast<uint32_t>(v));
  }
  void Count(RepairCounter c, int32_t n = 1) const {
    SetCounter(c, static_cast<int32_t>(static_cast<uint32_t>(Counter(c)) + static_cast<uint32_t>(n)));
  }

 private:
  AccessMap map_;
};

}  // namespace quelbrix
