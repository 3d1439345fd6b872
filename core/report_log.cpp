#include "core/report_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "platform/clock.h"
#include "platform/text.h"

namespace quelbrix {
namespace {

constexpr size_t kHexWorkBuffer = 49333;
constexpr int64_t kHeapDumpThreshold = 16345;
constexpr size_t kKeptHexBuffer = size_t{16} << 20;

struct HexTable {
  char pairs[256][2];
  HexTable() {
    const char* digits = "0123456789abcdef";
    for (int i = 0; i < 256; ++i) {
      pairs[i][0] = digits[i >> 4];
      pairs[i][1] = digits[i & 15];
    }
  }
};
const HexTable kHex;

void AppendHex(char* dest, const uint8_t* bytes, size_t count) {
  size_t i = 0;
#if defined(__SSE2__)
  // Large values make most of a report's bytes: sixteen at a time.
  const __m128i low = _mm_set1_epi8(0x0F), nine = _mm_set1_epi8(9), zero = _mm_set1_epi8('0');
  const __m128i letterGap = _mm_set1_epi8('a' - '0' - 10);
  auto digits = [&](__m128i nibbles) {
    __m128i letters = _mm_and_si128(_mm_cmpgt_epi8(nibbles, nine), letterGap);
    return _mm_add_epi8(_mm_add_epi8(nibbles, zero), letters);
  };
  for (; i + 16 <= count; i += 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i));
    __m128i high = digits(_mm_and_si128(_mm_srli_epi16(v, 4), low));
    __m128i lowDigits = digits(_mm_and_si128(v, low));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dest + 2 * i), _mm_unpacklo_epi8(high, lowDigits));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dest + 2 * i + 16), _mm_unpackhi_epi8(high, lowDigits));
  }
#endif
  for (; i < count; ++i) std::memcpy(dest + 2 * i, kHex.pairs[bytes[i]], 2);
  dest[2 * count] = '\0';
}

// The digits of value in Base (lower-case), zero-padded to at least width.
template <unsigned Base>
char* PutDigits(char* dest, uint64_t value, int width) {
  char digits[20];
  int n = 0;
  do {
    digits[n++] = "0123456789abcdef"[value % Base];
    value /= Base;
  } while (value != 0);
  for (int pad = width - n; pad > 0; --pad) *dest++ = '0';
  while (n > 0) *dest++ = digits[--n];
  return dest;
}

// Writes the characters of one formatted text into dest (capacity size)
// the way snprintf does: the first size - 1 of them and a NUL.
struct BoundedText {
  char* dest;
  size_t size;
  size_t length = 0;  // of the whole text, written or not
  void Put(char c) {
    if (length + 1 < size) dest[length] = c;
    ++length;
  }
  void Put(const char* text, size_t n) {
    for (size_t i = 0; i < n; ++i) Put(text[i]);
  }
  void End() { dest[length < size ? length : size - 1] = '\0'; }
};

// The prefix snprintf(dest, size, format, arg) makes, for the formats hex
// lines use: literal text, "%%", "%d" and "%04x".  False for any other
// conversion, which is left to snprintf.
bool FormatHexPrefix(char* dest, size_t size, const char* format, uint32_t arg, size_t* length) {
  BoundedText out{dest, size};
  char digits[16];
  for (const char* p = format; *p != '\0'; ++p) {
    if (*p != '%') {
      out.Put(*p);
    } else if (p[1] == '%') {
      out.Put('%');
      ++p;
    } else if (p[1] == 'd') {
      out.Put(digits, static_cast<size_t>(PutDecimal(digits, static_cast<int32_t>(arg)) - digits));
      ++p;
    } else if (std::strncmp(p + 1, "04x", 3) == 0) {
      out.Put(digits, static_cast<size_t>(PutHex(digits, arg, 4) - digits));
      p += 3;
    } else {
      return false;
    }
  }
  out.End();
  *length = out.length;
  return true;
}

// "yyyy/mm/dd hh:mm:ss" into dest (at least kDateTimeText bytes); the
// printf form for fields out of its widths.  Returns the length.
constexpr size_t kDateTimeText = 64;
size_t FormatDateTime(char* dest, const platform::CalendarTime& t) {
  auto fits = [](int v, int limit) { return v >= 0 && v < limit; };
  if (!fits(t.year, 10000) || !fits(t.month, 100) || !fits(t.day, 100) || !fits(t.hour, 100) ||
      !fits(t.minute, 100) || !fits(t.second, 100))
    return static_cast<size_t>(FormatText(dest, kDateTimeText, kDateTimeFormat, t.year, t.month, t.day, t.hour,
                                          t.minute, t.second));
  char* p = PutDecimal(dest, t.year, 4);
  const int rest[] = {t.month, t.day, t.hour, t.minute, t.second};
  for (size_t i = 0; i < 5; ++i) {
    *p++ = i == 2 ? ' ' : i < 2 ? '/' : ':';
    p = PutDecimal(p, rest[i], 2);
  }
  *p = '\0';
  return static_cast<size_t>(p - dest);
}

}  // namespace

uint64_t ReportLimitFor(uint64_t fileSize) { return 64 * fileSize + (uint64_t{64} << 20); }

void LogFile(PassState& ctx, std::string_view text) {
  if (ctx.Out != nullptr) ctx.Out->FileLine(text);
}

void LogPane(uint32_t colour, PassState& ctx, std::string_view text) {
  if (ctx.Out != nullptr) ctx.Out->PaneLine(colour, text);
}

void LogLine(PassState& ctx, std::string_view text, uint32_t colour) {
  LogFile(ctx, text);
  LogPane(colour, ctx, text);
}

void LogPaneShown(uint32_t colour, PassState& ctx, std::string_view ansi, std::string_view utf8) {
  if (ctx.Out != nullptr) ctx.Out->PaneLineShown(colour, ansi, utf8);
}

void LogLineShown(PassState& ctx, std::string_view ansi, std::string_view utf8, uint32_t colour) {
  LogFile(ctx, ansi);
  LogPaneShown(colour, ctx, ansi, utf8);
}

void LogLineF(PassState& ctx, uint32_t colour, const char* format, ...) {
  char line[4096];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (n < 0) line[0] = '\0';
  LogLine(ctx, line, colour);
}

void LogFileF(PassState& ctx, const char* format, ...) {
  if (ctx.Out == nullptr) return;
  char line[4096];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (n < 0) line[0] = '\0';
  LogFile(ctx, line);
}

int FormatText(char* dest, size_t capacity, const char* format, ...) {
  if (capacity == 0) return 0;
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(dest, capacity, format, args);
  va_end(args);
  if (n < 0) {
    dest[0] = '\0';
    return 0;
  }
  return static_cast<size_t>(n) >= capacity ? static_cast<int>(capacity - 1) : n;
}

char* FormatFileTime(char* dest, size_t capacity, uint64_t fileTime) {
  if (capacity == 0) return dest;
  platform::CalendarTime t;
  platform::FileTimeToLocal(fileTime, &t);
  char text[kDateTimeText];
  size_t n = std::min(FormatDateTime(text, t), capacity - 1);
  std::memcpy(dest, text, n);
  dest[n] = '\0';
  return dest;
}

std::string_view FileTimeTexts::Text(uint64_t fileTime) {
  constexpr uint64_t kTicksPerSecond = 10000000;
  constexpr uint64_t kLastValid = 0x7FFFFFFFFFFFFFFFULL;  // larger FILETIMEs convert to zeros
  uint64_t second = fileTime <= kLastValid ? fileTime / kTicksPerSecond : kNone;
  if (second != second_ || second == kNone) {
    platform::CalendarTime t;
    platform::FileTimeToLocal(fileTime, &t);
    length_ = FormatDateTime(text_, t);
    second_ = second;
  }
  return std::string_view(text_, length_);
}

char* PutDecimal(char* dest, int64_t value, int width) {
  uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  if (value < 0) *dest++ = '-';
  return PutUnsigned(dest, magnitude, value < 0 ? width - 1 : width);
}

char* PutUnsigned(char* dest, uint64_t value, int width) { return PutDigits<10>(dest, value, width); }

char* PutHex(char* dest, uint64_t value, int width) { return PutDigits<16>(dest, value, width); }


#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
char* FormatNow(char* dest, const char* format, size_t capacity) {
  platform::CalendarTime t = platform::LocalNow();
  if (capacity > 0) {
    int n = std::snprintf(dest, capacity, format, t.year, t.month, t.day, t.hour, t.minute, t.second);
    if (n < 0) dest[0] = '\0';
  }
  return dest;
}
#pragma GCC diagnostic pop

std::string NowText() {
  char buf[64];
  return FormatNow(buf, kDateTimeFormat, sizeof buf);
}

size_t Utf16ToAnsi(char* dest, size_t n, size_t capacity, const uint8_t* src) {
  // Runs below 16345 bytes use a fixed work buffer; longer ones the heap.
  constexpr size_t kFixedUnits = 16346 / 2;
  char16_t fixed[kFixedUnits];
  std::vector<char16_t> heap;
  size_t units = (n + 1) / 2;
  char16_t* work = fixed;
  if (units + 1 > kFixedUnits) {
    heap.resize(units + 1);
    work = heap.data();
  }
  work[units > 0 ? units - 1 : 0] = 0;
  std::memcpy(work, src, n);
  work[units] = 0;
  size_t length = 0;
  while (work[length] != 0) ++length;
  if (capacity > 0) platform::Utf16ToAnsiBuffer(dest, capacity, work, length);
  return length;
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
void DumpHexLine(const uint8_t* bytes, const char* prefixFormat, PassState& ctx, uint32_t prefixArg, int64_t count,
                 bool toPane) {
  const size_t size = count < kHeapDumpThreshold ? kHexWorkBuffer : static_cast<size_t>(2 * count + 16645);
  // Every large value would otherwise take fresh (and freshly faulted)
  // memory: the thread keeps its buffer, unless a rare huge line needs more.
  thread_local std::vector<char> work;
  std::unique_ptr<char[]> huge;
  char* line;
  if (size <= kKeptHexBuffer) {
    if (work.size() < size) work.resize(size);
    line = work.data();
  } else {
    huge.reset(new char[size]);
    line = huge.get();
  }
  size_t prefix = 0;
  if (!FormatHexPrefix(line, size, prefixFormat, prefixArg, &prefix)) {
    int n = std::snprintf(line, size, prefixFormat, prefixArg);
    prefix = n < 0 ? 0 : static_cast<size_t>(n);
  }
  if (prefix >= size) prefix = size - 1;
  size_t n = 0;
  if (count > 0) {
    size_t fit = (size - prefix - 1) / 2;
    n = static_cast<size_t>(count) < fit ? static_cast<size_t>(count) : fit;
    AppendHex(line + prefix, bytes, n);
  }
  std::string_view text(line, prefix + 2 * n);
  LogFile(ctx, text);
  if (toPane) LogPane(kBlack, ctx, text);
}
#pragma GCC diagnostic pop

void DumpHex(const uint8_t* bytes, PassState& ctx, int64_t length) {
  uint64_t total = static_cast<uint64_t>(length < 0 ? -length : length);
  for (uint64_t offset = 0; offset < total; offset += 16) {
    uint64_t n = total - offset < 16 ? total - offset : 16;
    DumpHexLine(bytes + offset, "%04x ", ctx, static_cast<uint32_t>(offset), static_cast<int64_t>(n), true);
  }
}

std::string Ansi(std::string_view utf8) { return platform::Utf8ToAnsi(utf8); }

}  // namespace quelbrix
