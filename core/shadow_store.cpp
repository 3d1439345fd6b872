#include "core/shadow_store.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/memory.h"

namespace quelbrix {

bool ShadowStore::Reset(uint32_t size) {
  Release();
  const size_t blocks = (size_t{size} + kBlock - 1) / kBlock;
  indexBytes_ = (blocks + 1) * sizeof(uint32_t);
  poolBytes_ = (blocks + 1) * kBlock;
  index_ = reinterpret_cast<uint32_t*>(platform::AllocateZeroed(indexBytes_));
  pool_ = platform::AllocateZeroed(poolBytes_);
  if (index_ == nullptr || pool_ == nullptr) {
    Release();
    return false;
  }
  size_ = size;
  return true;
}

void ShadowStore::Release() {
  platform::FreeZeroed(reinterpret_cast<uint8_t*>(index_), indexBytes_);
  platform::FreeZeroed(pool_, poolBytes_);
  index_ = nullptr;
  pool_ = nullptr;
  indexBytes_ = poolBytes_ = 0;
  size_ = 0;
  used_.store(0, std::memory_order_relaxed);
}

void ShadowStore::Clear() {
  if (index_ == nullptr) return;
  std::memset(index_, 0, indexBytes_);
  std::memset(pool_, 0, BlockBytes() + kBlock);
  used_.store(0, std::memory_order_relaxed);
}

uint8_t* ShadowStore::Make(uint64_t pos) {
  const uint32_t id = used_.load(std::memory_order_relaxed) + 1;
  used_.store(id, std::memory_order_relaxed);
  index_[pos / kBlock] = id;
  return pool_ + uint64_t{id} * kBlock;
}

uint64_t ShadowStore::Spanning(uint64_t pos, uint32_t n) const {
  uint64_t v = 0;
  for (uint32_t i = 0; i < n; ++i) {
    const uint8_t* b = Find(pos + i);
    if (b != nullptr) v |= uint64_t{b[(pos + i) % kBlock]} << (8 * i);
  }
  return v;
}

void ShadowStore::SetSpanning(uint64_t pos, uint64_t v, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) {
    const uint8_t byte = static_cast<uint8_t>(v >> (8 * i));
    uint8_t* b = byte != 0 ? Get(pos + i) : Find(pos + i);
    if (b != nullptr) b[(pos + i) % kBlock] = byte;
  }
}

void ShadowStore::Clear(uint64_t pos, uint64_t n) {
  const uint64_t end = pos + n;
  // Only blocks that were made hold anything to clear.
  for (; pos < end && pos % kBlock != 0;) {
    const uint64_t piece = std::min<uint64_t>(end - pos, kBlock - pos % kBlock);
    if (uint8_t* b = Find(pos)) std::memset(b + pos % kBlock, 0, piece);
    pos += piece;
  }
  for (; pos + kBlock <= end; pos += kBlock) {
    const uint32_t id = index_[pos / kBlock];
    if (id != 0) std::memset(pool_ + uint64_t{id} * kBlock, 0, kBlock);
  }
  if (pos < end) {
    if (uint8_t* b = Find(pos)) std::memset(b, 0, end - pos);
  }
}

void ShadowStore::Move(uint64_t to, uint64_t from, uint64_t n) {
  if (n == 0 || to == from) return;
  bool any = false;
  for (uint64_t i = from / kBlock, last = (from + n - 1) / kBlock; i <= last && !any; ++i) any = index_[i] != 0;
  if (!any) return Clear(to, n);
  if (to < from + n && from < to + n) {
    // Overlapping ranges: read whole, then written.
    std::vector<uint8_t> bytes(n);
    for (uint64_t k = 0; k < n; ++k) {
      const uint8_t* b = Find(from + k);
      bytes[k] = b == nullptr ? 0 : b[(from + k) % kBlock];
    }
    Clear(to, n);
    for (uint64_t k = 0; k < n; ++k)
      if (bytes[k] != 0) Get(to + k)[(to + k) % kBlock] = bytes[k];
    return;
  }
  for (uint64_t k = 0; k < n;) {
    const uint64_t src = from + k, dst = to + k;
    const uint64_t piece = std::min({n - k, kBlock - src % kBlock, kBlock - dst % kBlock});
    const uint8_t* s = Find(src);
    uint8_t* d = Find(dst);
    if (s == nullptr) {
      if (d != nullptr) std::memset(d + dst % kBlock, 0, piece);
    } else {
      const uint8_t* bytes = s + src % kBlock;
      if (d == nullptr && std::any_of(bytes, bytes + piece, [](uint8_t c) { return c != 0; })) d = Get(dst);
      if (d != nullptr) std::memcpy(d + dst % kBlock, bytes, piece);
    }
    k += piece;
  }
}

}  // namespace quelbrix
