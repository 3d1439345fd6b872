// Writes seed inputs for fuzz_txlog into the folder given: LOG1's length in
// sectors (two bytes), then
// LOG1 and LOG2 that recover its hive over three entries, and an old-format log.
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz/txlog_fuzz_hive.h"
#include "support/log_builder.h"

namespace {

bool Write(const std::string& path, const std::vector<uint8_t>& log1, const std::vector<uint8_t>& log2) {
  size_t sectors = log1.size() / 512;
  std::vector<uint8_t> bytes{static_cast<uint8_t>(sectors), static_cast<uint8_t>(sectors >> 8)};
  bytes.insert(bytes.end(), log1.begin(), log1.end());
  bytes.insert(bytes.end(), log2.begin(), log2.end());
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace quelbrix;
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_txlog_seeds FOLDER\n");
    return 2;
  }
  std::string folder = argv[1];
  auto h0 = fuzz::TxlogFuzzHive(), h1 = fuzz::TxlogFuzzHive(9), h2 = fuzz::TxlogFuzzHive(12), h3 = fuzz::TxlogFuzzHive(20);
  testing::NewLogBuilder log1(h0, 2), log2(h2, 4);
  log1.AddEntry(2, h0, h1);
  log1.AddEntry(3, h1, h2);
  log2.AddEntry(4, h2, h3);
  bool ok = Write(folder + "/two_logs", log1.Bytes(), log2.Bytes());
  // The old format's pages are 512 bytes: its length is a whole number of sectors too.
  ok = Write(folder + "/old_format", testing::OldFormatLog(h0, h1), {}) && ok;
  return ok ? 0 : 1;
}
