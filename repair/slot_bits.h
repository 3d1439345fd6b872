// The tree mender's record of what it met at each 8-byte slot of the image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/memory.h"

namespace quelbrix {

// Three bits for each 8-byte slot of the image, 21 slots to a 64-bit word:
// the table is under a twentieth of the image, which the peak of a 1 GB
// hive feels.
class SlotBits {
 public:
  explicit SlotBits(size_t slots) : bytes_((slots / kPerWord + 1) * 8), slots_(slots) {}
  size_t size() const { return slots_; }
  uint8_t Get(size_t slot) const { return static_cast<uint8_t>((Word(slot) >> Shift(slot)) & 7); }
  void Set(size_t slot, uint8_t bits) {
    uint64_t w = Word(slot);
    w = (w & ~(uint64_t{7} << Shift(slot))) | (uint64_t{bits & 7u} << Shift(slot));
    std::memcpy(bytes_.data() + slot / kPerWord * 8, &w, 8);
  }
  void Add(size_t slot, uint8_t bits) { Set(slot, static_cast<uint8_t>(Get(slot) | bits)); }

 private:
  static constexpr size_t kPerWord = 21;
  static unsigned Shift(size_t slot) { return static_cast<unsigned>(slot % kPerWord) * 3; }
  uint64_t Word(size_t slot) const {
    uint64_t w;
    std::memcpy(&w, bytes_.data() + slot / kPerWord * 8, 8);
    return w;
  }
  platform::ZeroedBytes bytes_;
  size_t slots_;
};

}  // namespace quelbrix
