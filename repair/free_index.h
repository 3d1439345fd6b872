// FreeSpaceIndex: what the allocator has learnt about which bins cannot serve
// a small request, so that a first-fit search over a large hive skips them
// instead of walking every partly filled bin on every request.
//
// Each bin keeps a bound per kind of request (small: one page at most;
// large: more): it refuses every request of that kind and of that length or
// more, as its last refusal showed.  Large requests are also served by runs
// of empty bins merged into one, so their bound is kept only for a bin that
// ends such a run, and for a run as a whole: at its first bin, with every
// later bin of the run at 0 (a search inside a run walks on bin by bin).
// Any change to a bin of a run, or to the bin that ended it, forgets the
// run.  A bin nobody has asked yet, or one whose free space may have grown,
// has no bound and is always visited.  The bound is only a
// shortcut: it must never claim a refusal that a visit would not give, so
// everything that can add servable space to a bin (a freed or merged cell,
// a bin unlocked or given a new free tail, a cell served from it, a change
// of the bin chain) clears the bin's bound through the calls below.
//
// An index lives only while a defrag pass or the sk update runs
// (FreeSpaceIndexScope): they know each place where they add free space, and
// outside them the allocator walks the bins as before.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/pass_state.h"

namespace quelbrix {

class FreeSpaceIndex {
 public:
  // Learns the bin chain of the image; Ready() is false when the chain is
  // broken, and such an index is never used.
  explicit FreeSpaceIndex(PassState& ctx);
  // Forgets everything and learns the chain of the image as it is now,
  // keeping the tables' memory.
  void Learn(PassState& ctx);
  bool Ready() const { return ready_; }

  // The first bin start at or after `from` (a position) that may serve a
  // request of `length`, or `end` when there is none before it.
  uint64_t Next(uint64_t from, bool large, uint32_t length, uint64_t end) const;
  // The bin at `bin` refused a request; `capacity` is the longest request
  // of that kind it would serve now (0 for none).
  void Refused(uint32_t bin, bool large, uint32_t capacity);
  // The empty bins from `head` up to the bin at `breaker` refused a large
  // request together, and the bin at `breaker` ended their run.
  void RunRefused(uint32_t head, uint32_t breaker);
  // Space in the bin that holds `pos` may have grown.
  void Changed(uint64_t pos);
  // A bin was written at [at, at + size).
  void BinMade(uint32_t at, uint32_t size);
  // The bins end at `end` now.
  void BinsCut(uint64_t end);
  // Whether `pos` starts a bin as the index knows the chain.
  bool IsBinStart(uint64_t pos) const;

 private:
  static constexpr uint32_t kUnknown = 0xFFFFFFFFu;
  // A max tree over the pages: a bin's bound sits at its first page; every
  // other page holds 0 and is never a candidate.
  struct Bounds {
    std::vector<uint32_t> Tree;
    uint32_t Leaves = 0;
    void Set(uint32_t page, uint32_t bound);
    uint32_t Leaf(uint32_t page) const { return Tree[Leaves + page]; }
    // The first page at or after `page` whose bound exceeds `length`, or
    // Leaves when none does.
    uint32_t First(uint32_t page, uint32_t length) const;
  };
  void SetBoth(uint32_t page, uint32_t bound) {
    small_.Set(page, bound);
    large_.Set(page, bound);
  }
  // Clears what the index learnt about the run that starts at `head`.
  void ForgetRun(uint32_t head);
  void ForgetRunAt(uint64_t page) {
    if (headOf_[page] != 0) ForgetRun(headOf_[page]);
  }

  bool ready_ = false;
  uint32_t pages_ = 0;
  // Per page: the position of the bin that holds it, 0 outside the bins.
  std::vector<uint32_t> binOf_;
  // Per page of a learnt run (its bins, and the first page of the bin that
  // ended it): the run's first bin; 0 elsewhere.
  std::vector<uint32_t> headOf_;
  Bounds small_;
  Bounds large_;
};

// Gives the pass state an index for the lifetime of the scope (a defrag pass);
// does nothing when one is already in place or the allocator is told to
// walk plainly.
class FreeSpaceIndexScope {
 public:
  explicit FreeSpaceIndexScope(PassState& ctx);
  ~FreeSpaceIndexScope();
  FreeSpaceIndexScope(const FreeSpaceIndexScope&) = delete;
  FreeSpaceIndexScope& operator=(const FreeSpaceIndexScope&) = delete;

 private:
  PassState& ctx_;
  std::shared_ptr<FreeSpaceIndex> owned_;
};

// Space in the bin that holds image position `pos` may have grown.  A no-op
// without an index.
void NoteFreeSpace(PassState& ctx, uint64_t pos);

}  // namespace quelbrix
