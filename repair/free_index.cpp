#include "repair/free_index.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "hive/bins.h"

namespace quelbrix {
namespace {

// How far on the walk of the bin chain asks for a header.
constexpr uint64_t kPrefetchPages = 32;

}  // namespace

FreeSpaceIndex::FreeSpaceIndex(PassState& ctx) { Learn(ctx); }

void FreeSpaceIndex::Learn(PassState& ctx) {
  HiveImage image(ctx);
  ready_ = false;
  pages_ = image.Size() / kPageSize;
  if (pages_ == 0) return;
  uint32_t leaves = 1;
  while (leaves < pages_) leaves *= 2;
  binOf_.assign(pages_, 0);
  headOf_.assign(pages_, 0);
  small_.Leaves = leaves;
  small_.Tree.assign(2ull * leaves, 0);
  uint64_t end = image.HbinsEnd();
  // Only a chain of whole pages maps onto the page table; anything else
  // leaves the allocator to its plain walk.  Each step is at least a page.
  for (BinCursor bins(image, end); !bins.AtEnd(); bins.Next()) {
    uint64_t bin = bins.Pos();
    // Each header is read only once the one before has been: most bins are
    // a page long, so a header that far on is most likely a bin's too.
    const uint64_t ahead = bin + kPrefetchPages * kPageSize;
    if (ahead < image.Size()) __builtin_prefetch(image.Data() + ahead);
    uint32_t size = bins.Header().Size();
    if (bins.Check() != WalkStop::kNone || size % kPageSize != 0) return;
    for (uint64_t p = bin / kPageSize; p < (bin + size) / kPageSize; ++p) binOf_[p] = static_cast<uint32_t>(bin);
    small_.Tree[leaves + bin / kPageSize] = kUnknown;
  }
  for (uint32_t i = leaves - 1; i >= 1; --i) small_.Tree[i] = std::max(small_.Tree[2 * i], small_.Tree[2 * i + 1]);
  large_ = small_;
  ready_ = true;
}

void FreeSpaceIndex::Bounds::Set(uint32_t page, uint32_t bound) {
  uint32_t i = Leaves + page;
  if (Tree[i] == bound) return;
  Tree[i] = bound;
  for (i /= 2; i >= 1; i /= 2) {
    uint32_t m = std::max(Tree[2 * i], Tree[2 * i + 1]);
    if (Tree[i] == m) break;
    Tree[i] = m;
  }
}

uint32_t FreeSpaceIndex::Bounds::First(uint32_t page, uint32_t length) const {
  uint32_t i = Leaves + page;
  // Up while nothing at or right of i inside its parent qualifies, then over
  // to the right neighbour; at last down to the leftmost qualifying leaf.
  while (Tree[i] <= length) {
    while (i & 1) i /= 2;
    if (i == 0) return Leaves;
    ++i;
  }
  while (i < Leaves) {
    i *= 2;
    if (Tree[i] <= length) ++i;
  }
  return i - Leaves;
}

uint64_t FreeSpaceIndex::Next(uint64_t from, bool large, uint32_t length, uint64_t end) const {
  uint64_t first = (from + kPageSize - 1) / kPageSize;
  if (!ready_ || first >= pages_) return end;
  uint64_t pos = uint64_t{(large ? large_ : small_).First(static_cast<uint32_t>(first), length)} * kPageSize;
  return pos < end ? pos : end;
}

void FreeSpaceIndex::Refused(uint32_t bin, bool large, uint32_t capacity) {
  uint32_t page = bin / kPageSize;
  if (!ready_ || bin % kPageSize != 0 || page >= pages_ || binOf_[page] != bin) return;
  // The bound is the shortest request refused: one past what still fits.
  (large ? large_ : small_).Set(page, capacity == 0 ? 0 : capacity + 1);
}

void FreeSpaceIndex::RunRefused(uint32_t head, uint32_t breaker) {
  uint32_t first = head / kPageSize;
  uint32_t last = breaker / kPageSize;
  if (!ready_ || head % kPageSize != 0 || breaker % kPageSize != 0 || first >= last || last >= pages_ ||
      binOf_[first] != head || binOf_[last] != breaker)
    return;
  for (uint32_t p = first; p <= last; ++p) ForgetRunAt(p);
  for (uint32_t p = first; p < last; ++p) {
    headOf_[p] = head;
    if (binOf_[p] == uint64_t{p} * kPageSize) large_.Set(p, 0);
  }
  headOf_[last] = head;
  // What the run would still have served: all of it as one bin.
  large_.Set(first, breaker - head - 32 + 1);
}

void FreeSpaceIndex::ForgetRun(uint32_t head) {
  for (uint32_t p = head / kPageSize; p < pages_ && headOf_[p] == head; ++p) {
    headOf_[p] = 0;
    if (binOf_[p] == uint64_t{p} * kPageSize) large_.Set(p, kUnknown);
  }
}

void FreeSpaceIndex::Changed(uint64_t pos) {
  uint64_t page = pos / kPageSize;
  if (!ready_ || page >= pages_ || binOf_[page] == 0) return;
  uint32_t first = binOf_[page] / kPageSize;
  ForgetRunAt(first);
  SetBoth(first, kUnknown);
}

void FreeSpaceIndex::BinMade(uint32_t at, uint32_t size) {
  if (!ready_) return;
  if (at % kPageSize != 0 || size == 0 || size % kPageSize != 0 || uint64_t{at} + size > uint64_t{pages_} * kPageSize) {
    ready_ = false;
    return;
  }
  for (uint32_t p = at / kPageSize; p < (uint64_t{at} + size) / kPageSize; ++p) ForgetRunAt(p);
  for (uint32_t p = at / kPageSize; p < (uint64_t{at} + size) / kPageSize; ++p) {
    binOf_[p] = at;
    SetBoth(p, 0);
  }
  SetBoth(at / kPageSize, kUnknown);
}

void FreeSpaceIndex::BinsCut(uint64_t end) {
  if (!ready_) return;
  for (uint64_t p = (end + kPageSize - 1) / kPageSize; p < pages_ && binOf_[p] != 0; ++p) ForgetRunAt(p);
  for (uint64_t p = (end + kPageSize - 1) / kPageSize; p < pages_ && binOf_[p] != 0; ++p) {
    binOf_[p] = 0;
    SetBoth(static_cast<uint32_t>(p), 0);
  }
}

bool FreeSpaceIndex::IsBinStart(uint64_t pos) const {
  return ready_ && pos % kPageSize == 0 && pos / kPageSize < pages_ && binOf_[pos / kPageSize] == pos;
}

FreeSpaceIndexScope::FreeSpaceIndexScope(PassState& ctx) : ctx_(ctx) {
  if (ctx.FreeIndex != nullptr || ctx.PlainAllocatorWalk || ctx.Image == nullptr) return;
  // The tables of the pass before serve again: made anew, their first
  // touches cost more than learning the chain.
  owned_ = std::move(ctx.SpareFreeIndex);
  if (owned_ != nullptr)
    owned_->Learn(ctx);
  else
    owned_ = std::make_shared<FreeSpaceIndex>(ctx);
  if (owned_->Ready()) ctx.FreeIndex = owned_.get();
}

FreeSpaceIndexScope::~FreeSpaceIndexScope() {
  if (owned_ == nullptr) return;
  ctx_.FreeIndex = nullptr;
  ctx_.SpareFreeIndex = std::move(owned_);
}

void NoteFreeSpace(PassState& ctx, uint64_t pos) {
  if (ctx.FreeIndex != nullptr) ctx.FreeIndex->Changed(pos);
}

}  // namespace quelbrix
