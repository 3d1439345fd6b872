// The small dirty hive that fuzz_txlog recovers, and a later state of it for
// the seed logs: both built the same way every run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/hive_builder.h"

namespace quelbrix::fuzz {

inline std::vector<uint8_t> TxlogFuzzHive(int keys = 8, uint32_t primary = 3, uint32_t secondary = 2) {
  testing::HiveOptions o;
  o.primarySequence = primary;
  o.secondarySequence = secondary;
  testing::HiveBuilder b(o);
  for (int i = 0; i < keys; ++i) {
    auto k = b.AddKey(b.Root(), "Key" + std::to_string(i));
    b.AddValue(k, "Value", 3, std::vector<uint8_t>(40 + 200 * (i % 3), static_cast<uint8_t>(i)));
  }
  return b.Build();
}

}  // namespace quelbrix::fuzz
