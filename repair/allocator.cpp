#include "repair/allocator.h"

#include <algorithm>
#include <cstring>

#include "core/invariant.h"
#include "core/report_log.h"
#include "hive/report_finding.h"
#include "hive/access_map.h"
#include "hive/base_block.h"
#include "hive/bins.h"
#include "hive/cells.h"
#include "hive/image.h"
#include "repair/free_index.h"

namespace quelbrix {
namespace {

// The longest cell a 4096-byte bin can hold.
constexpr uint32_t kSmallCellMax = kPageSize - kBinHeaderSize;

enum class Walk { kNoFree, kFound, kOverflow };

class Allocator {
 public:
  explicit Allocator(PassState& ctx)
      : ctx_(ctx), image_(ctx), map_(ctx), totals_(map_), index_(ctx.FreeIndex) {}

  uint32_t Get(bool lowOnly, uint32_t limit, uint32_t length);
  void Init(uint32_t at, uint32_t size);
  uint32_t DeleteTrailing();

 private:
  bool Diagnostic() const { return ctx_.Rules.DiagnosticRepair; }
  uint32_t BinSize(uint64_t bin) const { return BinHeader(image_, bin).Size(); }
  int32_t SizeWord(uint64_t cell) const { return static_cast<int32_t>(image_.U32(cell)); }
  bool IsBinAt(uint64_t pos) const {
    BinHeader h(image_, pos);
    return h.NamesItself() && h.HasSignature();
  }

  Walk FirstFreeCell(uint32_t bin, uint32_t size, uint32_t& cell) const;
  bool HasFreeSpace(uint32_t bin, uint32_t size) const;
  uint32_t Tail(uint32_t bin, uint32_t size) const;
  void Take(uint32_t cell, uint32_t cellLength, uint32_t length) const;
  void TakeTail(uint32_t bin, uint32_t cell, uint32_t cellLength, uint32_t length) const;
  uint32_t ServeSmall(uint32_t bin, uint32_t size, uint32_t length) const;
  uint32_t ServeLarge(uint32_t bin, uint32_t size, uint32_t length);
  uint32_t Realloc(uint32_t span, uint32_t length);
  uint32_t Expand(uint32_t length);
  void Clear(uint32_t cell, uint32_t length) const;

  PassState& ctx_;
  HiveImage image_;
  AccessMap map_;
  ScanTotals totals_;
  FreeSpaceIndex* index_ = nullptr;
  // Set when a walk of a bin's cells met a broken chain: such a bin's
  // refusal is not recorded, so it is visited (and reported) every time.
  mutable bool overflow_ = false;
  // What a refusing bin would still have served.
  mutable uint32_t capacity_ = 0;
  // The run of empty bins met so far by a large request.
  uint32_t runStart_ = 0;
  uint32_t runBins_ = 0;
  // Set when Init zeroed a bin during this request: a cell cut from it is
  // clean already.
  bool fresh_ = false;
};

// Walks a bin's cells up to its first free cell.  Every step moves on by at
// least 8 bytes and never past the bin end, so a broken chain (a size word
// of 0, a length that is no multiple of 8, a cell running out of the bin)
// ends the walk as an overflow instead of looping or leaving the bin.
Walk Allocator::FirstFreeCell(uint32_t bin, uint32_t size, uint32_t& cell) const {
  for (CellCursor c = CellCursor::OfBin(image_, bin, uint64_t{bin} + size); !c.AtEnd(); c.Next()) {
    if (c.Check() != WalkStop::kNone) {
      Report<FindingKind::kAllocCellsOverFlow>(ctx_, static_cast<uint32_t>(c.Pos()));
      overflow_ = true;
      return Walk::kOverflow;
    }
    if (c.SizeWord() > 0) {
      cell = static_cast<uint32_t>(c.Pos());
      return Walk::kFound;
    }
  }
  return Walk::kNoFree;
}

bool Allocator::HasFreeSpace(uint32_t bin, uint32_t size) const {
  if (BinShadow(map_, bin).FreeTail() != 0) return true;
  uint32_t cell = 0;
  return FirstFreeCell(bin, size, cell) == Walk::kFound;
}

// The bin's FreeTail when it is a sound free cell inside the bin, else 0.
uint32_t Allocator::Tail(uint32_t bin, uint32_t size) const {
  uint32_t tail = BinShadow(map_, bin).FreeTail();
  if (tail < uint64_t{bin} + kBinHeaderSize || tail >= uint64_t{bin} + size) return 0;
  int32_t s = SizeWord(tail);
  if (s <= 0 || s % 8 != 0 || uint64_t{tail} + static_cast<uint32_t>(s) > uint64_t{bin} + size) return 0;
  return tail;
}

// A free cell becomes an allocated cell of `length`; what is left over stays
// a free cell behind it.
void Allocator::Take(uint32_t cell, uint32_t cellLength, uint32_t length) const {
  // Requests are whole multiples of 8 (GetNewCells) and every caller has
  // checked that the cell holds them.
  QUELBRIX_INVARIANT(length >= 8 && length % 8 == 0 && length <= cellLength);
  image_.SetU32(cell, static_cast<uint32_t>(-static_cast<int32_t>(length)));
  if (cellLength > length) image_.SetU32(uint64_t{cell} + length, cellLength - length);
}

void Allocator::TakeTail(uint32_t bin, uint32_t cell, uint32_t cellLength, uint32_t length) const {
  Take(cell, cellLength, length);
  BinShadow(map_, bin).SetFreeTail(cellLength > length ? cell + length : 0);
}

// Requests of at most 4064 bytes.  A bin larger than a page is kept for large
// cells: its free space serves small requests only while it does not span
// the whole bin.  A refusal leaves in capacity_ the longest request the bin
// would serve (0 for none).
uint32_t Allocator::ServeSmall(uint32_t bin, uint32_t size, uint32_t length) const {
  capacity_ = 0;
  BinShadow shadow(map_, bin);
  uint32_t state = shadow.HbinState();
  if (state == 0) {
    uint32_t cell = 0;
    if (FirstFreeCell(bin, size, cell) != Walk::kFound) return 0;
    uint32_t m = static_cast<uint32_t>(SizeWord(cell));
    if (uint64_t{cell} + m == uint64_t{bin} + size) {
      shadow.SetFreeTail(cell);
      shadow.SetHbinState(2);
      state = 2;
    } else {
      if (!(size == kPageSize || m < size - kBinHeaderSize)) return 0;
      if (m < length) {
        capacity_ = m;
        return 0;
      }
      Take(cell, m, length);
      return cell;
    }
  }
  if (state != 2) return 0;
  uint32_t tail = Tail(bin, size);
  if (tail == 0) return 0;
  uint32_t m = static_cast<uint32_t>(SizeWord(tail));
  if (!(size == kPageSize || m < size - kBinHeaderSize)) return 0;
  if (m < length) {
    capacity_ = m;
    return 0;
  }
  TakeTail(bin, tail, m, length);
  return tail;
}

// Requests of more than 4064 bytes: the free start or tail of a multi-page
// bin, else a run of empty bins merged into one.
uint32_t Allocator::ServeLarge(uint32_t bin, uint32_t size, uint32_t length) {
  capacity_ = 0;
  BinShadow shadow(map_, bin);
  uint32_t state = shadow.HbinState();
  uint32_t first = bin + kBinHeaderSize;
  int32_t firstSize = SizeWord(first);
  bool empty = firstSize > 0 && static_cast<uint32_t>(firstSize) == size - kBinHeaderSize;
  if (size > kPageSize) {
    if (state == 0 && firstSize > 0) {
      uint32_t m = static_cast<uint32_t>(firstSize);
      if (empty) {
        shadow.SetFreeTail(first);
        shadow.SetHbinState(2);
        state = 2;
      } else if (m % 8 == 0 && m <= size - kBinHeaderSize) {
        if (m >= length) {
          Take(first, m, length);
          return first;
        }
        capacity_ = m;
      }
    }
    if (state == 2) {
      uint32_t tail = Tail(bin, size);
      uint32_t m = tail != 0 ? static_cast<uint32_t>(SizeWord(tail)) : 0;
      if (tail != 0 && m >= length) {
        TakeTail(bin, tail, m, length);
        return tail;
      }
      if (tail != 0 && m > capacity_) capacity_ = m;
    }
  }
  // A locked bin is being packed by a defrag pass: it never joins a run.
  if (!empty || state == 1) {
    runStart_ = 0;
    runBins_ = 0;
    return 0;
  }
  if (runStart_ == 0) {
    runStart_ = bin;
    runBins_ = 1;
    return 0;
  }
  ++runBins_;
  uint32_t span = bin + size - runStart_;
  if (span - kBinHeaderSize < length) return 0;
  return Realloc(span, length);
}

uint32_t Allocator::Realloc(uint32_t span, uint32_t length) {
  if (Diagnostic()) LogLineF(ctx_, kBlack, "ReallocHbins HbinsSize=%d", static_cast<int>(span));
  totals_.Set(Total::HbinCount, totals_.Get(Total::HbinCount) - (runBins_ - 1));
  uint32_t at = runStart_;
  Init(at, span);
  runStart_ = 0;
  runBins_ = 0;
  TakeTail(at, at + kBinHeaderSize, span - kBinHeaderSize, length);
  return at + kBinHeaderSize;
}

uint32_t Allocator::Expand(uint32_t length) {
  uint64_t size = (uint64_t{length} + kBinHeaderSize + kPageSize - 1) / kPageSize * kPageSize;
  int64_t pages = static_cast<int64_t>(size / kPageSize);
  int64_t remaining = int64_t{ctx_.ReservePages} - totals_.Counter(RepairCounter::regfExpandCount);
  uint32_t dataSize = image_.HbinsDataSize();
  uint64_t at = uint64_t{kBaseBlockSize} + dataSize;
  // The reserve rule first; the end of the image is the hard limit behind it
  // (bins dropped at the end give pages back to the rule, not to the image).
  if (pages >= remaining || at + size > image_.Size()) {
    if (Diagnostic()) Report<FindingKind::kAllocExpandHbin>(ctx_, kNoOffset, static_cast<int>(size));
    return 0;
  }
  totals_.Add(Total::HbinCount);
  if (Diagnostic()) LogLineF(ctx_, kBlack, "ExpandHbin HbinsSize=%d", static_cast<int>(size));
  totals_.Count(RepairCounter::regfExpandCount, static_cast<int32_t>(pages));
  uint32_t lastOffset = totals_.Get(Total::LastHbinOffset);
  uint32_t bin = static_cast<uint32_t>(at);
  BinShadow(map_, bin).SetPrevBinSize(dataSize >= lastOffset ? dataSize - lastOffset : 0);
  totals_.Set(Total::LastHbinOffset, dataSize);
  BaseBlock(image_).SetHbinsDataSize(dataSize + static_cast<uint32_t>(size));
  Init(bin, static_cast<uint32_t>(size));
  TakeTail(bin, bin + kBinHeaderSize, static_cast<uint32_t>(size) - kBinHeaderSize, length);
  return bin + kBinHeaderSize;
}

// Every cell handed out reads as zero after its size word and has a clean
// shadow, whatever the space held before.
void Allocator::Clear(uint32_t cell, uint32_t length) const {
  uint8_t* bytes = image_.At(cell, length);
  if (bytes == nullptr) return;
  if (length > 4 && !AllZero(bytes + 4, length - 4)) {
    std::memset(bytes + 4, 0, length - 4);
    totals_.Count(RepairCounter::UnallocCellsClean);
  }
  map_.Clear(cell, length);
}

uint32_t Allocator::Get(bool lowOnly, uint32_t limit, uint32_t length) {
  uint64_t end = image_.HbinsEnd();
  uint64_t start = totals_.Get(Total::AllocStartHbin);
  // A start that no longer names a bin (or the end of the bins, after the
  // start-bin advance passed the last full bin) restarts from the first bin.
  if (start != 0 && start != end && !(start < end && IsBinAt(start))) start = 0;
  if (start == 0) {
    totals_.Set(Total::AllocStartHbin, 0);
    totals_.Set(Total::AllocStartIndex, 0);
    start = kBaseBlockSize;
  }
  bool bounded = lowOnly && limit != 0;
  bool advancing = true;
  bool small = length <= kSmallCellMax;
  runStart_ = 0;
  runBins_ = 0;
  fresh_ = false;
  uint32_t cell = 0;
  for (uint64_t bin = start; bin < end;) {
    if (bounded && bin >= limit) return 0;
    uint32_t size = BinSize(bin);
    // Bins chain by their sizes: a size that does not lead on inside the
    // bins ends the search.
    if (size < kBinHeaderSize || size > end - bin) {
      Report<FindingKind::kAllocHbinsOverFlow>(ctx_, static_cast<uint32_t>(bin));
      break;
    }
    uint32_t b = static_cast<uint32_t>(bin);
    if (limit == 0 || lowOnly || bin >= limit) {
      overflow_ = false;
      uint32_t runBefore = runStart_;
      cell = small ? ServeSmall(b, size, length) : ServeLarge(b, size, length);
      if (cell != 0) {
        // What is left of the bin may serve requests it refused before.
        if (index_ != nullptr) index_->Changed(b);
        break;
      }
      // A large request's refusal counts only where the bin also broke the
      // run of empty bins.
      if (index_ != nullptr && !overflow_ && (small || runStart_ == 0)) index_->Refused(b, !small, capacity_);
      // So did the run of empty bins that this bin ended.
      if (index_ != nullptr && !small && runStart_ == 0 && runBefore != 0) index_->RunRefused(runBefore, b);
    }
    if (advancing) {
      if (HasFreeSpace(b, size)) {
        advancing = false;
      } else {
        totals_.Set(Total::AllocStartHbin, b + size);
        totals_.Add(Total::AllocStartIndex);
      }
    }
    bin += size;
    // Bins below a high-only limit are never served, and once the start bin
    // has stopped advancing nothing is recorded for them: go straight to the
    // limit instead of hopping through every bin of a large hive on each of
    // the many requests a defrag pass makes.
    bool landed = false;
    if (!advancing && !lowOnly && limit != 0 && bin < limit && limit < end && IsBinAt(limit)) {
      bin = limit;
      landed = true;
    }
    // Past the start bin and outside a run of empty bins, a request visits
    // only the bins (and runs) that may hold enough.  A large request that
    // landed on its limit visits it first: the limit may lie inside a run,
    // whose later bins the index never offers on their own.  A jump that
    // does not land on a bin of the chain means the index lost track: walk
    // on without it.
    if (index_ != nullptr && !advancing && runStart_ == 0 && !(landed && !small) && bin < end) {
      uint64_t next = index_->Next(bin, !small, length, end);
      if (next != bin && next < end && !(IsBinAt(next) && index_->IsBinStart(next))) {
        index_ = nullptr;
      } else if (next != bin) {
        bin = next;
        runStart_ = 0;
        runBins_ = 0;
      }
    }
  }
  if (cell == 0) {
    if (bounded) return 0;
    cell = Expand(length);
    if (cell == 0) return 0;
  }
  if (!fresh_) Clear(cell, length);
  return cell;
}

void Allocator::Init(uint32_t at, uint32_t size) {
  if (at < kBaseBlockSize || size < kBinHeaderSize || !image_.Contains(at, size) || !map_.Contains(at, size)) return;
  if (index_ != nullptr) index_->BinMade(at, size);
  BinShadow shadow(map_, at);
  uint32_t prevBinSize = shadow.PrevBinSize();
  std::memset(image_.Data() + at, 0, size);
  map_.Clear(at, size);
  fresh_ = true;
  BinHeader header(image_, at);
  header.SetSignature(kBinSignature);
  header.SetOffset(at - kBaseBlockSize);
  header.SetSize(size);
  if (IsOldFormat(ctx_.HiveMajorVersion, ctx_.HiveMinorVersion)) header.SetSpare(size);
  shadow.SetPrevBinSize(prevBinSize);
  uint32_t dataSize = image_.HbinsDataSize();
  uint64_t binEnd = uint64_t{at} + size;
  uint64_t binsEnd = uint64_t{kBaseBlockSize} + dataSize;
  if (binEnd == binsEnd)
    totals_.Set(Total::LastHbinOffset, dataSize - size);
  else if (binEnd < binsEnd)
    BinShadow(map_, static_cast<uint32_t>(binEnd)).SetPrevBinSize(size);
  shadow.SetFreeTail(at + kBinHeaderSize);
  image_.SetU32(uint64_t{at} + kBinHeaderSize, size - kBinHeaderSize);
}

uint32_t Allocator::DeleteTrailing() {
  uint32_t count = 0;
  uint32_t dataSize = image_.HbinsDataSize();
  uint64_t bin = uint64_t{kBaseBlockSize} + totals_.Get(Total::LastHbinOffset);
  // At most one step per bin; each step also checks that it stands on the
  // real last bin, so a stale LastHbinOffset or PrevBinSize drops nothing
  // that is not an empty bin at the end.
  while (IsBinAt(bin)) {
    uint32_t size = BinSize(bin);
    if (size < kBinHeaderSize || bin + size != uint64_t{kBaseBlockSize} + dataSize) break;
    int32_t first = SizeWord(bin + kBinHeaderSize);
    if (first <= 0 || static_cast<uint32_t>(first) != size - kBinHeaderSize) break;
    uint32_t prev = BinShadow(map_, static_cast<uint32_t>(bin)).PrevBinSize();
    uint32_t offset = static_cast<uint32_t>(bin - kBaseBlockSize);
    if (prev > offset) break;
    dataSize -= size;
    BaseBlock(image_).SetHbinsDataSize(dataSize);
    totals_.Set(Total::LastHbinOffset, offset - prev);
    totals_.Count(RepairCounter::regfExpandCount, -static_cast<int32_t>(size / kPageSize));
    totals_.Set(Total::HbinCount, totals_.Get(Total::HbinCount) - 1);
    ++count;
    if (prev == 0 || ctx_.Aborted()) break;
    bin -= prev;
  }
  if (index_ != nullptr) index_->BinsCut(uint64_t{kBaseBlockSize} + dataSize);
  if (totals_.Get(Total::AllocStartHbin) >= uint64_t{kBaseBlockSize} + dataSize) {
    totals_.Set(Total::AllocStartHbin, 0);
    totals_.Set(Total::AllocStartIndex, 0);
  }
  return count;
}

}  // namespace

uint32_t GetNewCells(PassState& ctx, bool lowOnly, uint32_t limitBin, int32_t length) {
  if (ctx.Image == nullptr || length < 8 || length % 8 != 0) return 0;
  return Allocator(ctx).Get(lowOnly, limitBin, static_cast<uint32_t>(length));
}

void AdjustCells(PassState& ctx, uint32_t cell, uint64_t needed) {
  if (!ctx.Rules.Defrag || ctx.Image == nullptr || needed > 0xFFFFFFF8u) return;
  // A cut never makes a cell shorter than a size word can describe.
  uint32_t n = static_cast<uint32_t>(RoundUp8(BigCellLength(ctx, static_cast<uint32_t>(needed))));
  if (n < 8) n = 8;
  HiveImage image(ctx);
  CellView c(image, cell);
  if (!c.Valid() || !c.Allocated()) return;
  uint32_t length = c.Length();
  if (length <= n || length % 8 != 0 || !image.Contains(cell, length)) return;
  c.SetSize(-static_cast<int32_t>(n));
  c.SetU32(n, length - n);
  NoteFreeSpace(ctx, cell);
  ScanTotals(ctx).Count(RepairCounter::AdjustCellsClean);
}

void InitHbin(PassState& ctx, uint32_t at, uint32_t size) {
  if (ctx.Image == nullptr) return;
  Allocator(ctx).Init(at, size);
}

uint32_t DeleteTrailingHbins(PassState& ctx) {
  if (ctx.Image == nullptr) return 0;
  return Allocator(ctx).DeleteTrailing();
}

uint32_t BigCellLength(const PassState& ctx, uint32_t n) {
  if (n <= kSmallCellMax) return n;
  uint64_t pages = (uint64_t{n} + kPageSize - 1) / kPageSize * kPageSize;
  if (pages > 0xFFFFFFF8u) return n;
  uint32_t rounded = static_cast<uint32_t>(pages);
  if (IsOldFormat(ctx.HiveMajorVersion, ctx.HiveMinorVersion) || n > kSegmentCellSize) return rounded;
  return rounded < kSegmentCellSize ? rounded : kSegmentCellSize;
}

void FreeCell(PassState& ctx, const CellView& cell) {
  if (!cell.Valid() || !cell.Allocated()) return;
  uint32_t length = cell.Length();
  cell.SetSize(static_cast<int32_t>(length));
  NoteFreeSpace(ctx, cell.Pos());
  AccessMap map(ctx);
  uint64_t shadowed = std::min<uint64_t>(length, cell.Avail());
  map.Clear(cell.Pos(), shadowed);
}

}  // namespace quelbrix
