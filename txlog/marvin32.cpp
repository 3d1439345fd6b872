#include <cstdint>

#include "hive/bytes.h"
#include "txlog/txlog.h"

namespace quelbrix::txlog {
namespace {

inline uint32_t Rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

inline void Mix(uint32_t& p0, uint32_t& p1) {
  p1 ^= p0;
  p0 = Rotl(p0, 20);
  p0 += p1;
  p1 = Rotl(p1, 9);
  p1 ^= p0;
  p0 = Rotl(p0, 27);
  p0 += p1;
  p1 = Rotl(p1, 19);
}

}  // namespace

uint64_t Marvin32(const uint8_t* data, size_t length, uint64_t seed) {
  uint32_t p0 = static_cast<uint32_t>(seed), p1 = static_cast<uint32_t>(seed >> 32);
  size_t i = 0;
  for (; length - i >= 4; i += 4) {
    p0 += LoadU32(data + i);
    Mix(p0, p1);
  }
  // The tail of 0..3 bytes is closed by a 0x80 byte.
  uint32_t last = 0x80;
  switch (length - i) {
    case 1: last = 0x8000u | data[i]; break;
    case 2: last = 0x800000u | LoadU16(data + i); break;
    case 3: last = 0x80000000u | LoadU16(data + i) | static_cast<uint32_t>(data[i + 2]) << 16; break;
    default: break;
  }
  p0 += last;
  Mix(p0, p1);
  Mix(p0, p1);
  return static_cast<uint64_t>(p1) << 32 | p0;
}

}  // namespace quelbrix::txlog
