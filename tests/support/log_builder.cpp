#include "support/log_builder.h"

#include <algorithm>
#include <cstring>

#include "hive/bytes.h"
#include "txlog/txlog.h"

namespace quelbrix::testing {
namespace {

constexpr uint32_t kPage = 4096, kSector = 512;

void SignLogBaseBlock(uint8_t* p, uint32_t type) {
  StoreU32(p + 0x1C, type);
  uint32_t sum = 0;
  for (uint32_t i = 0; i < 508; i += 4) sum ^= LoadU32(p + i);
  StoreU32(p + 0x1FC, sum);
}

uint32_t Hbins(const std::vector<uint8_t>& hive) { return LoadU32(hive.data() + 0x28); }

// Byte of the bins at `pos`, zero past the image's end.
uint8_t BinByte(const std::vector<uint8_t>& hive, size_t pos) {
  return 4096 + pos < hive.size() && pos < Hbins(hive) ? hive[4096 + pos] : 0;
}

bool Differs(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, size_t pos, size_t length) {
  for (size_t i = pos; i < pos + length; ++i)
    if (BinByte(a, i) != BinByte(b, i)) return true;
  return false;
}

}  // namespace

NewLogBuilder::NewLogBuilder(const std::vector<uint8_t>& hive, uint32_t sequence) : bytes_(kSector) {
  std::memcpy(bytes_.data(), hive.data(), kSector);
  StoreU32(bytes_.data() + 4, sequence);
  StoreU32(bytes_.data() + 8, sequence);
  SignLogBaseBlock(bytes_.data(), txlog::kFileTypeNewLog);
}

size_t NewLogBuilder::AddEntry(uint32_t sequence, const std::vector<uint8_t>& before, const std::vector<uint8_t>& after) {
  std::vector<uint32_t> pages;
  for (uint32_t pos = 0; pos < Hbins(after); pos += kPage)
    if (Differs(before, after, pos, kPage)) pages.push_back(pos);
  size_t header = txlog::entry::kPageRefs + 8 * pages.size();
  size_t size = (header + pages.size() * kPage + kSector - 1) / kSector * kSector;
  size_t at = bytes_.size();
  bytes_.resize(at + size);
  uint8_t* e = bytes_.data() + at;
  StoreU32(e, txlog::entry::kSignature);
  StoreU32(e + txlog::entry::kSize, static_cast<uint32_t>(size));
  StoreU32(e + txlog::entry::kSequence, sequence);
  StoreU32(e + txlog::entry::kHbinsDataSize, Hbins(after));
  StoreU32(e + txlog::entry::kPageCount, static_cast<uint32_t>(pages.size()));
  for (size_t i = 0; i < pages.size(); ++i) {
    StoreU32(e + txlog::entry::kPageRefs + 8 * i, pages[i]);
    StoreU32(e + txlog::entry::kPageRefs + 8 * i + 4, kPage);
    std::memcpy(e + header + i * kPage, after.data() + 4096 + pages[i], kPage);
  }
  Rehash(at);
  return at;
}

void NewLogBuilder::Rehash(size_t pos) {
  uint8_t* e = bytes_.data() + pos;
  uint32_t size = LoadU32(e + txlog::entry::kSize);
  StoreU64(e + txlog::entry::kHash1, txlog::Marvin32(e + txlog::entry::kPageRefs, size - txlog::entry::kPageRefs));
  StoreU64(e + txlog::entry::kHash2, txlog::Marvin32(e, 32));
}

std::vector<uint8_t> OldFormatLog(const std::vector<uint8_t>& before, const std::vector<uint8_t>& after) {
  uint32_t bits = Hbins(after) / kSector;
  size_t vectorBytes = (bits + 7) / 8;
  size_t pagesAt = (kSector + 4 + vectorBytes + kSector - 1) / kSector * kSector;
  std::vector<uint8_t> log(pagesAt);
  std::memcpy(log.data(), after.data(), kSector);
  StoreU64(log.data() + 0x0C, LoadU64(before.data() + 0x0C));
  StoreU32(log.data() + 8, LoadU32(log.data() + 4));
  SignLogBaseBlock(log.data(), txlog::kFileTypeOldLog);
  StoreU32(log.data() + kSector, txlog::kDirtSignature);
  for (uint32_t b = 0; b < bits; ++b) {
    if (!Differs(before, after, size_t{b} * kSector, kSector)) continue;
    log[kSector + 4 + b / 8] |= static_cast<uint8_t>(1u << (b % 8));
    log.insert(log.end(), after.begin() + 4096 + size_t{b} * kSector, after.begin() + 4096 + size_t{b + 1} * kSector);
  }
  return log;
}

std::vector<uint8_t> BinsOf(const std::vector<uint8_t>& hive) {
  size_t end = std::min<size_t>(hive.size(), 4096 + size_t{Hbins(hive)});
  return std::vector<uint8_t>(hive.begin() + 4096, hive.begin() + static_cast<std::ptrdiff_t>(end));
}

}  // namespace quelbrix::testing
