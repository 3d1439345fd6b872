// The sparse AccessMap against a plain array of the same length: every read
// after a long run of random writes, clears and moves must agree.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "core/shadow_store.h"
#include "hive/access_map.h"

namespace quelbrix {
namespace {

class PlainMap {
 public:
  explicit PlainMap(uint32_t size) : bytes_(size, 0) {}
  bool Contains(uint64_t pos, uint64_t n) const { return pos <= bytes_.size() && n <= bytes_.size() - pos; }
  uint64_t Get(uint64_t pos, uint32_t n) const {
    if (!Contains(pos, n)) return 0;
    uint64_t v = 0;
    for (uint32_t i = 0; i < n; ++i) v |= uint64_t{bytes_[pos + i]} << (8 * i);
    return v;
  }
  void Set(uint64_t pos, uint64_t v, uint32_t n) {
    if (!Contains(pos, n)) return;
    for (uint32_t i = 0; i < n; ++i) bytes_[pos + i] = static_cast<uint8_t>(v >> (8 * i));
  }
  void Clear(uint64_t pos, uint64_t n) {
    if (Contains(pos, n)) std::memset(bytes_.data() + pos, 0, n);
  }
  void Move(uint64_t to, uint64_t from, uint64_t n) {
    if (Contains(to, n) && Contains(from, n)) std::memmove(bytes_.data() + to, bytes_.data() + from, n);
  }
  uint8_t Byte(uint64_t pos) const { return pos < bytes_.size() ? bytes_[pos] : 0; }

 private:
  std::vector<uint8_t> bytes_;
};

TEST(AccessMap, SparseStoreReadsAsAPlainArrayThroughWritesClearsAndMoves) {
  constexpr uint32_t kSize = 64 * 1024 + 20;  // a last block cut short
  ShadowStore store;
  ASSERT_TRUE(store.Reset(kSize));
  AccessMap map(store);
  PlainMap plain(kSize);
  std::mt19937 random(7);
  auto pos = [&](uint32_t below) {
    // Near block edges and the end as often as anywhere.
    switch (random() % 3) {
      case 0: return static_cast<uint64_t>(random() % below);
      case 1: return static_cast<uint64_t>((random() % (below / 64 + 1)) * 64 + 56 + random() % 8);
      default: return static_cast<uint64_t>(kSize - 16 + random() % 24);
    }
  };
  auto value = [&]() -> uint64_t {
    return random() % 4 == 0 ? 0 : (uint64_t{random()} << 32 | random());
  };
  for (int step = 0; step < 200000; ++step) {
    const uint32_t op = random() % 16;
    if (op < 6) {
      uint64_t at = pos(kSize), v = value();
      map.SetU32(at, static_cast<uint32_t>(v));
      plain.Set(at, v, 4);
    } else if (op < 8) {
      uint64_t at = pos(kSize), v = value();
      map.SetU64(at, v);
      plain.Set(at, v, 8);
    } else if (op < 10) {
      uint64_t at = pos(kSize), n = random() % 300;
      map.Clear(at, n);
      plain.Clear(at, n);
    } else if (op < 12) {
      // Apart, overlapping either way, or running past the end.
      uint64_t from = pos(kSize), n = random() % 400;
      uint64_t to = random() % 2 ? pos(kSize) : from + random() % 200 - 100;
      map.Move(to, from, n);
      plain.Move(to, from, n);
    } else {
      uint64_t at = pos(kSize);
      ASSERT_EQ(map.U32(at), plain.Get(at, 4)) << step << " " << at;
      ASSERT_EQ(map.U64(at), plain.Get(at, 8)) << step << " " << at;
    }
  }
  for (uint64_t at = 0; at < kSize + 8; ++at) ASSERT_EQ(map.Byte(at), plain.Byte(at)) << at;
  // Zeros need no blocks: clearing all and writing zeros makes none.
  map.ClearAll();
  for (uint64_t at = 0; at < kSize; at += 4) map.SetU32(at, 0);
  EXPECT_EQ(map.U64(128), 0u);
  map.SetU32(100, 1);
  EXPECT_EQ(store.BlockBytes(), size_t{ShadowStore::kBlock});
}

}  // namespace
}  // namespace quelbrix
