// The mender's packed table: every slot keeps its own value whatever its
// neighbours, inside a 64-bit word and across the words' edges.
#include "repair/slot_bits.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace quelbrix {
namespace {

TEST(SlotBits, EverySlotKeepsItsValueAgainstAPlainArray) {
  for (size_t slots : {size_t{1}, size_t{20}, size_t{21}, size_t{22}, size_t{64}, size_t{1000}}) {
    SlotBits bits(slots);
    std::vector<uint8_t> plain(slots, 0);
    ASSERT_EQ(bits.size(), slots);
    std::mt19937 random(static_cast<unsigned>(slots));
    for (int step = 0; step < 20000; ++step) {
      size_t slot = random() % slots;
      uint8_t value = static_cast<uint8_t>(random() % 8);
      if (random() % 2 == 0) {
        bits.Set(slot, value);
        plain[slot] = value;
      } else {
        bits.Add(slot, value);
        plain[slot] = static_cast<uint8_t>(plain[slot] | value);
      }
      // The slot and its neighbours on both sides, where a shift that is
      // off by one would show first.
      for (size_t near = slot > 0 ? slot - 1 : 0; near <= slot + 1 && near < slots; ++near)
        ASSERT_EQ(bits.Get(near), plain[near]) << "slots " << slots << ", slot " << near << ", step " << step;
    }
    for (size_t slot = 0; slot < slots; ++slot) ASSERT_EQ(bits.Get(slot), plain[slot]) << slot;
  }
}

}  // namespace
}  // namespace quelbrix
