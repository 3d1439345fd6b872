#include "platform/memory.h"

#include <signal.h>
#include <sys/mman.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>

// Under AddressSanitizer the heap serves instead: its red zones catch a read
// past the block, which a mapping rounded up to huge pages would hide.
#if defined(__SANITIZE_ADDRESS__)
#define QUELBRIX_HEAP_BLOCKS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUELBRIX_HEAP_BLOCKS 1
#endif
#endif

namespace quelbrix::platform {

namespace {

constexpr size_t kHugePage = size_t{2} << 20;
[[maybe_unused]] constexpr size_t kSmallPage = 4096;

[[maybe_unused]] size_t RoundUp(size_t size) { return (size + kHugePage - 1) / kHugePage * kHugePage; }

// The mapped file's pages in the block, for the SIGBUS handler.
[[maybe_unused]] std::atomic<uintptr_t> g_mappedBegin{0};
[[maybe_unused]] std::atomic<uintptr_t> g_mappedEnd{0};
std::atomic<bool> g_mappedShrank{false};
[[maybe_unused]] struct sigaction g_previousBus;
[[maybe_unused]] std::atomic<bool> g_busHandler{false};

// A read past the end of a mapped file that shrank: zero pages take the
// place of what the file lost, and the run learns of it afterwards.  Any
// other SIGBUS is left to the handler before ours, by returning into the
// fault with it restored.
[[maybe_unused]] void OnBusError(int, siginfo_t* info, void*) {
  uintptr_t at = reinterpret_cast<uintptr_t>(info->si_addr);
  uintptr_t begin = g_mappedBegin.load(), end = g_mappedEnd.load();
  if (begin != 0 && at >= begin && at < end) {
    uintptr_t page = at / kSmallPage * kSmallPage;
    void* zeros = mmap(reinterpret_cast<void*>(page), end - page, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
    if (zeros != MAP_FAILED) {
      g_mappedEnd.store(page);
      g_mappedShrank.store(true);
      return;
    }
  }
  sigaction(SIGBUS, &g_previousBus, nullptr);
}

}  // namespace

uint8_t* AllocateZeroed(size_t size) {
  if (size == 0 || size > SIZE_MAX - 2 * kHugePage) return nullptr;
#ifdef QUELBRIX_HEAP_BLOCKS
  return static_cast<uint8_t*>(std::calloc(1, size));
#else
  const size_t length = RoundUp(size);
  // Over-map by one huge page, then cut both ends off so that the block
  // starts on a huge-page boundary.
  void* raw = mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  uintptr_t start = reinterpret_cast<uintptr_t>(raw);
  uintptr_t aligned = (start + kHugePage - 1) / kHugePage * kHugePage;
  if (aligned > start) munmap(raw, aligned - start);
  size_t tail = start + length + kHugePage - (aligned + length);
  if (tail > 0) munmap(reinterpret_cast<void*>(aligned + length), tail);
  // Without transparent huge pages this is refused; small pages serve.
  madvise(reinterpret_cast<void*>(aligned), length, MADV_HUGEPAGE);
  return reinterpret_cast<uint8_t*>(aligned);
#endif
}

void TouchZeroed(uint8_t* p, size_t n) {
  if (p == nullptr || n == 0) return;
#ifndef QUELBRIX_HEAP_BLOCKS
#ifdef MADV_POPULATE_WRITE
  // Whole small pages around the range: they lie inside the block.
  uintptr_t begin = reinterpret_cast<uintptr_t>(p) / kSmallPage * kSmallPage;
  uintptr_t end = (reinterpret_cast<uintptr_t>(p) + n + kSmallPage - 1) / kSmallPage * kSmallPage;
  madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
#else
  (void)p, (void)n;
#endif
#endif
}

void FreeZeroed(uint8_t* p, size_t size) {
#ifdef QUELBRIX_HEAP_BLOCKS
  (void)size;
  std::free(p);
#else
  if (p != nullptr && reinterpret_cast<uintptr_t>(p) == g_mappedBegin.load()) {
    g_mappedBegin.store(0);
    g_mappedEnd.store(0);
    g_mappedShrank.store(false);
  }
  if (p != nullptr && size > 0) munmap(p, RoundUp(size));
#endif
}

bool MapFileInto(uint8_t* block, int fd, size_t length) {
#ifdef QUELBRIX_HEAP_BLOCKS
  (void)block, (void)fd, (void)length;
  return false;
#else
  if (block == nullptr || length == 0) return false;
  if (!g_busHandler.exchange(true)) {
    struct sigaction action = {};
    action.sa_sigaction = OnBusError;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    if (sigaction(SIGBUS, &action, &g_previousBus) != 0) {
      g_busHandler.store(false);
      return false;
    }
  }
  const size_t mapped = (length + kSmallPage - 1) / kSmallPage * kSmallPage;
  void* at = mmap(block, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_FIXED, fd, 0);
  if (at == MAP_FAILED) {
    // MAP_FIXED may have taken the old pages already: zeros again, as the
    // caller's read expects.
    mmap(block, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
    return false;
  }
  g_mappedShrank.store(false);
  g_mappedEnd.store(reinterpret_cast<uintptr_t>(block) + mapped);
  g_mappedBegin.store(reinterpret_cast<uintptr_t>(block));
  return true;
#endif
}

void PopulateMapped(uint8_t* block, size_t offset, size_t n) {
#if !defined(QUELBRIX_HEAP_BLOCKS) && defined(MADV_POPULATE_READ)
  uintptr_t begin = (reinterpret_cast<uintptr_t>(block) + offset) / kSmallPage * kSmallPage;
  uintptr_t end = reinterpret_cast<uintptr_t>(block) + offset + n;
  // A file that shrank fails the call; the handler covers what it lost.
  if (n > 0) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_READ);
#else
  (void)block, (void)offset, (void)n;
#endif
}

bool MappedFileShrank() { return g_mappedShrank.load(); }

void ReadMapped(const uint8_t* block, size_t offset, size_t n) {
#ifndef QUELBRIX_HEAP_BLOCKS
  if (block == nullptr || n == 0) return;
  const volatile uint8_t* p = block;
  // A page the file lost reads as zeros once the guard has replaced it.
  for (size_t at = offset; at < offset + n; at += kSmallPage) (void)p[at];
#else
  (void)block, (void)offset, (void)n;
#endif
}

ZeroedBytes::ZeroedBytes(size_t n) : data_(AllocateZeroed(n)), size_(n) {
  if (data_ == nullptr && n > 0) {
    heap_.reset(new uint8_t[n]());
    data_ = heap_.get();
  }
}

ZeroedBytes::~ZeroedBytes() {
  if (heap_ == nullptr) FreeZeroed(data_, size_);
}

}  // namespace quelbrix::platform
