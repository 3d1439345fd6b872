#include "platform/text.h"

#include <iconv.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quelbrix::platform {
namespace {

std::atomic<int> g_codePage{932};

std::string CodePageName(int codePage) {
  if (codePage == 65001) return "UTF-8";
  if (codePage == 20127) return "ASCII";
  if (codePage == 28591) return "ISO-8859-1";
  char name[32];
  std::snprintf(name, sizeof name, "CP%d", codePage);
  return name;
}

// One iconv descriptor per thread and direction: iconv_t is not thread-safe,
// and opening one per name would dominate the walk of a large hive.
class Converter {
 public:
  Converter(bool fromUtf16, bool utf8Side) : fromUtf16_(fromUtf16), utf8Side_(utf8Side) {}
  ~Converter() { Close(); }

  iconv_t Get() {
    int cp = utf8Side_ ? -1 : g_codePage.load(std::memory_order_relaxed);
    if (cd_ == reinterpret_cast<iconv_t>(-1) || cp != openFor_) {
      Close();
      std::string other = utf8Side_ ? std::string("UTF-8") : CodePageName(cp);
      cd_ = fromUtf16_ ? iconv_open(other.c_str(), "UTF-16LE") : iconv_open("UTF-16LE", other.c_str());
      openFor_ = cp;
    }
    if (cd_ != reinterpret_cast<iconv_t>(-1)) iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    return cd_;
  }

 private:
  void Close() {
    if (cd_ != reinterpret_cast<iconv_t>(-1)) iconv_close(cd_);
    cd_ = reinterpret_cast<iconv_t>(-1);
  }
  bool fromUtf16_;
  bool utf8Side_;
  iconv_t cd_ = reinterpret_cast<iconv_t>(-1);
  int openFor_ = 0;
};

Converter& ToAnsi() { thread_local Converter c(true, false); return c; }
Converter& FromAnsi() { thread_local Converter c(false, false); return c; }
Converter& ToUtf8() { thread_local Converter c(true, true); return c; }
Converter& FromUtf8() { thread_local Converter c(false, true); return c; }

// Every code page this layer accepts keeps ASCII as ASCII, so pure ASCII text
// needs no conversion.
bool AllAscii(const char16_t* src, size_t units) {
  size_t i = 0;
#if defined(__SSE2__)
  // Names and string values are mostly ASCII: eight units at a time.
  const __m128i high = _mm_set1_epi16(static_cast<short>(0xFF80));
  for (; i + 8 <= units; i += 8) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
    if (_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(v, high), _mm_setzero_si128())) != 0xFFFF) return false;
  }
#endif
  for (; i < units; ++i)
    if (src[i] >= 0x80) return false;
  return true;
}

// The low bytes of n ASCII units.
void NarrowAscii(char* dest, const char16_t* src, size_t n) {
  size_t i = 0;
#if defined(__SSE2__)
  for (; i + 16 <= n; i += 16) {
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i + 8));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dest + i), _mm_packus_epi16(a, b));
  }
#endif
  for (; i < n; ++i) dest[i] = static_cast<char>(src[i]);
}

// UTF-16 to a multi-byte encoding.  Unmappable units (and unpaired
// surrogates) become '?'.  Stops cleanly when the output is full.
size_t FromUtf16(iconv_t cd, char* dest, size_t room, const char16_t* src, size_t units, bool* truncated) {
  if (truncated) *truncated = false;
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    size_t n = std::min(units, room);
    for (size_t i = 0; i < n; ++i) dest[i] = src[i] < 0x80 ? static_cast<char>(src[i]) : '?';
    if (truncated) *truncated = n < units;
    return n;
  }
  char* in = reinterpret_cast<char*>(const_cast<char16_t*>(src));
  size_t inLeft = units * 2;
  char* out = dest;
  size_t outLeft = room;
  while (inLeft > 0) {
    size_t r = iconv(cd, &in, &inLeft, &out, &outLeft);
    if (r != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) {
      if (truncated) *truncated = true;
      break;
    }
    // EILSEQ or EINVAL: one unit (or a whole surrogate pair) that cannot be
    // represented.
    if (outLeft == 0) {
      if (truncated) *truncated = true;
      break;
    }
    size_t skip = 2;
    char16_t unit;
    std::memcpy(&unit, in, 2);
    if (unit >= 0xD800 && unit < 0xDC00 && inLeft >= 4) {
      char16_t low;
      std::memcpy(&low, in + 2, 2);
      if (low >= 0xDC00 && low < 0xE000) skip = 4;
    }
    in += std::min(skip, inLeft);
    inLeft -= std::min(skip, inLeft);
    *out++ = '?';
    --outLeft;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  return static_cast<size_t>(out - dest);
}

std::u16string ToUtf16(iconv_t cd, std::string_view text) {
  std::u16string result;
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    for (unsigned char c : text) result.push_back(c < 0x80 ? c : u'?');
    return result;
  }
  result.resize(text.size() + 1);
  char* in = const_cast<char*>(text.data());
  size_t inLeft = text.size();
  char* out = reinterpret_cast<char*>(result.data());
  size_t outLeft = result.size() * 2;
  while (inLeft > 0) {
    size_t r = iconv(cd, &in, &inLeft, &out, &outLeft);
    if (r != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) {
      size_t used = static_cast<size_t>(out - reinterpret_cast<char*>(result.data()));
      result.resize(result.size() * 2);
      out = reinterpret_cast<char*>(result.data()) + used;
      outLeft = result.size() * 2 - used;
      continue;
    }
    // A byte that starts no character of the code page.
    ++in;
    --inLeft;
    if (outLeft < 2) {
      size_t used = static_cast<size_t>(out - reinterpret_cast<char*>(result.data()));
      result.resize(result.size() + 16);
      out = reinterpret_cast<char*>(result.data()) + used;
      outLeft = result.size() * 2 - used;
    }
    char16_t q = u'?';
    std::memcpy(out, &q, 2);
    out += 2;
    outLeft -= 2;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  result.resize(static_cast<size_t>(out - reinterpret_cast<char*>(result.data())) / 2);
  return result;
}

}  // namespace

bool SetAnsiCodePage(int codePage) {
  iconv_t cd = iconv_open(CodePageName(codePage).c_str(), "UTF-16LE");
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  iconv_close(cd);
  g_codePage.store(codePage);
  return true;
}

int AnsiCodePage() { return g_codePage.load(std::memory_order_relaxed); }

size_t Utf16ToAnsiBuffer(char* dest, size_t capacity, const char16_t* src, size_t units, bool* truncated) {
  if (capacity == 0) {
    if (truncated) *truncated = units > 0;
    return 0;
  }
  size_t n;
  if (AllAscii(src, units)) {
    n = std::min(units, capacity - 1);
    NarrowAscii(dest, src, n);
    if (truncated) *truncated = n < units;
  } else {
    n = FromUtf16(ToAnsi().Get(), dest, capacity - 1, src, units, truncated);
  }
  dest[n] = '\0';
  return n;
}

std::string Utf16ToAnsi(std::u16string_view text) {
  std::string out(text.size() * 4 + 1, '\0');
  size_t n = Utf16ToAnsiBuffer(out.data(), out.size(), text.data(), text.size());
  out.resize(n);
  return out;
}

std::u16string AnsiToUtf16(std::string_view ansi) { return ToUtf16(FromAnsi().Get(), ansi); }

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out(text.size() * 3 + 1, '\0');
  size_t n = AllAscii(text.data(), text.size())
                 ? Utf16ToAnsiBuffer(out.data(), out.size(), text.data(), text.size())
                 : FromUtf16(ToUtf8().Get(), out.data(), out.size() - 1, text.data(), text.size(), nullptr);
  out.resize(n);
  return out;
}

std::u16string Utf8ToUtf16(std::string_view utf8) { return ToUtf16(FromUtf8().Get(), utf8); }

std::string AnsiToUtf8(std::string_view ansi) {
  bool ascii = std::all_of(ansi.begin(), ansi.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (ascii || AnsiCodePage() == 65001) return std::string(ansi);
  return Utf16ToUtf8(AnsiToUtf16(ansi));
}

std::string Utf8ToAnsi(std::string_view utf8) {
  bool ascii = std::all_of(utf8.begin(), utf8.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (ascii || AnsiCodePage() == 65001) return std::string(utf8);
  return Utf16ToAnsi(Utf8ToUtf16(utf8));
}

namespace {
constexpr char16_t kUpcasePairs[][2] = {
#include "platform/upcase_table.inc"
};

struct UpcaseTable {
  std::vector<char16_t> map;
  UpcaseTable() : map(0x10000) {
    for (size_t i = 0; i < map.size(); ++i) map[i] = static_cast<char16_t>(i);
    for (char16_t c = u'a'; c <= u'z'; ++c) map[c] = static_cast<char16_t>(c - 0x20);
    for (const auto& p : kUpcasePairs) map[p[0]] = p[1];
  }
};
}  // namespace

char16_t UpcaseTableUnit(char16_t unit) {
  static const UpcaseTable table;
  return table.map[unit];
}

}  // namespace quelbrix::platform
