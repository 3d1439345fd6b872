// libFuzzer target: arbitrary bytes as the transaction logs of a small dirty
// hive.  The first two bytes give LOG1's length in sectors; the rest after
// LOG1 is LOG2; the recovered
// bytes are then read as a hive tree.  Any crash, hang or out-of-bounds
// access is a finding.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "hive/bytes.h"
#include "registry/hive_reader.h"
#include "fuzz/txlog_fuzz_hive.h"
#include "txlog/txlog.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quelbrix;
  if (size < 2) return 0;
  size_t split = std::min<size_t>(size_t{LoadU16(data)} * txlog::kLogSector, size - 2);
  std::vector<txlog::LogInput> logs{{"h.LOG1", std::vector<uint8_t>(data + 2, data + 2 + split)},
                                    {"h.LOG2", std::vector<uint8_t>(data + 2 + split, data + size)}};
  static const std::vector<uint8_t> dirty = fuzz::TxlogFuzzHive();
  std::vector<uint8_t> hive = dirty;
  txlog::Outcome out = txlog::Recover(hive, logs);
  if (out.Applied) {
    registry::RegistryTree tree;
    (void)registry::ReadHiveTree(hive.data(), hive.size(), &tree);
  }
  return 0;
}
