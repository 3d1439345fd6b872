// The bytes of the AccessMap, kept sparse.  The map is addressed like the
// image it shadows (a cell's shadow sits at the cell's own position), but the
// passes write only the first few dozen bytes of each cell's shadow and a few
// of each bin's: held one to one, the map would cost as much memory as the
// hive.  Here it is cut into 64-byte blocks; a block gets memory the first
// time a non-zero byte is written into it, and reads as zeros until then.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace quelbrix {

class ShadowStore {
 public:
  static constexpr uint32_t kBlock = 64;

  ShadowStore() = default;
  ~ShadowStore() { Release(); }
  ShadowStore(const ShadowStore&) = delete;
  ShadowStore& operator=(const ShadowStore&) = delete;

  // All zero, for positions below `size`.  False (and no store) when the
  // memory cannot be had.
  bool Reset(uint32_t size);
  void Release();
  // All zero again, the size kept.
  void Clear();

  uint32_t Size() const { return size_; }
  uint32_t* Index() const { return index_; }
  uint8_t* Pool() const { return pool_; }
  // The block that holds `pos` (below Size()), or nullptr while it reads as
  // zeros.
  uint8_t* Find(uint64_t pos) const {
    const uint32_t id = index_[pos / kBlock];
    return id == 0 ? nullptr : pool_ + uint64_t{id} * kBlock;
  }
  // The same, made when missing.
  uint8_t* Get(uint64_t pos) {
    const uint32_t id = index_[pos / kBlock];
    return id == 0 ? Make(pos) : pool_ + uint64_t{id} * kBlock;
  }
  // The block of `pos`, which is missing, made.
  uint8_t* Make(uint64_t pos);
  // Little-endian values of n bytes (at most 8) whose bytes lie in two
  // blocks: the rare and slow way.
  uint64_t Spanning(uint64_t pos, uint32_t n) const;
  void SetSpanning(uint64_t pos, uint64_t v, uint32_t n);

  // Zeros over [pos, pos + n), and the bytes of [from, from + n) copied to
  // [to, to + n) as memmove would: ranges below Size().
  void Clear(uint64_t pos, uint64_t n);
  void Move(uint64_t to, uint64_t from, uint64_t n);

  // The block index, which every scan writes all over: for a thread that
  // makes its pages present ahead of the scan.
  uint8_t* IndexBytes() const { return reinterpret_cast<uint8_t*>(index_); }
  size_t IndexSize() const { return indexBytes_; }
  // The block pool fills from its start: the thread may make its front
  // present too.
  size_t PoolSize() const { return poolBytes_; }
  // Memory the blocks take so far; another thread may read it to keep the
  // pool's pages present ahead of the blocks.
  size_t BlockBytes() const { return size_t{used_.load(std::memory_order_relaxed)} * kBlock; }

 private:
  uint32_t size_ = 0;
  std::atomic<uint32_t> used_{0};
  uint32_t* index_ = nullptr;
  size_t indexBytes_ = 0;
  // Block ids count from 1; the pool has room for one block per index
  // entry, as address space only until blocks are made.
  uint8_t* pool_ = nullptr;
  size_t poolBytes_ = 0;
};

}  // namespace quelbrix
