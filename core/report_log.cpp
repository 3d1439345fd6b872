#include "core/report_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/frontend.h"
#include "platform/clock.h"
#include "platform/text.h"

namespace quelbrix {
namespace {

constexpr size_t kHexWorkBuffer = 49333;
constexpr int64_t kHeapDumpThreshold = 16345;

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
  for (size_t i = 0; i < count; ++i) {
    dest[2 * i] = kHex.pairs[bytes[i]][0];
    dest[2 * i + 1] = kHex.pairs[bytes[i]][1];
  }
  dest[2 * count] = '\0';
}

}  // namespace

uint64_t ReportLimitFor(uint64_t fileSize) { return 64 * fileSize + (uint64_t{64} << 20); }

void LogFile(HiveContext& ctx, std::string_view text) {
  if (ctx.ReportFile == nullptr || ctx.ReportFull) return;
  uint64_t line = text.size() + 2;
  if (ctx.ReportLimit != 0 && ctx.ReportBytes + line > ctx.ReportLimit) {
    ctx.ReportFull = true;
    ctx.CommandFailed = true;
    char note[160];
    std::snprintf(note, sizeof note, "ReportSize Error Limit=%llu: no more lines are written",
                  static_cast<unsigned long long>(ctx.ReportLimit));
    std::fputs(note, ctx.ReportFile);
    std::fwrite("\r\n", 1, 2, ctx.ReportFile);
    if (ctx.UI != nullptr) ctx.UI->AppendPane(note, kRed);
    return;
  }
  ctx.ReportBytes += line;
  std::fwrite(text.data(), 1, text.size(), ctx.ReportFile);
  std::fwrite("\r\n", 1, 2, ctx.ReportFile);
}

void LogPane(uint32_t colour, HiveContext& ctx, std::string_view text) {
  if (ctx.ReportFull) return;
  if (ctx.UI != nullptr) ctx.UI->AppendPane(text, colour);
}

void LogLine(HiveContext& ctx, std::string_view text, uint32_t colour) {
  if (colour == kRed) ++ctx.FaultLines;
  LogFile(ctx, text);
  LogPane(colour, ctx, text);
}

void LogPaneShown(uint32_t colour, HiveContext& ctx, std::string_view ansi, std::string_view utf8) {
  if (ctx.ReportFull) return;
  if (ctx.UI != nullptr) ctx.UI->ShowPaneLine(ansi, utf8, colour);
}

void LogLineShown(HiveContext& ctx, std::string_view ansi, std::string_view utf8, uint32_t colour) {
  if (colour == kRed) ++ctx.FaultLines;
  LogFile(ctx, ansi);
  LogPaneShown(colour, ctx, ansi, utf8);
}

void LogLineF(HiveContext& ctx, uint32_t colour, const char* format, ...) {
  char line[4096];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (n < 0) line[0] = '\0';
  LogLine(ctx, line, colour);
}

void LogFileF(HiveContext& ctx, const char* format, ...) {
  if (ctx.ReportFile == nullptr) return;
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
  platform::CalendarTime t;
  platform::FileTimeToLocal(fileTime, &t);
  FormatText(dest, capacity, kDateTimeFormat, t.year, t.month, t.day, t.hour, t.minute, t.second);
  return dest;
}

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
void DumpHexLine(const uint8_t* bytes, const char* prefixFormat, HiveContext& ctx, uint32_t prefixArg, int64_t count,
                 bool toPane) {
  std::vector<char> heap;
  char* line;
  size_t size;
  thread_local std::vector<char> work(kHexWorkBuffer);
  if (count < kHeapDumpThreshold) {
    line = work.data();
    size = kHexWorkBuffer;
  } else {
    size = static_cast<size_t>(2 * count + 16645);
    heap.resize(size);
    line = heap.data();
  }
  int prefix = std::snprintf(line, size, prefixFormat, prefixArg);
  if (prefix < 0) prefix = 0;
  if (static_cast<size_t>(prefix) >= size) prefix = static_cast<int>(size - 1);
  if (count > 0) {
    size_t fit = (size - static_cast<size_t>(prefix) - 1) / 2;
    size_t n = static_cast<size_t>(count) < fit ? static_cast<size_t>(count) : fit;
    AppendHex(line + prefix, bytes, n);
  }
  std::string_view text(line);
  LogFile(ctx, text);
  if (toPane) LogPane(kBlack, ctx, text);
}
#pragma GCC diagnostic pop

void DumpHex(const uint8_t* bytes, HiveContext& ctx, int64_t length) {
  uint64_t total = static_cast<uint64_t>(length < 0 ? -length : length);
  for (uint64_t offset = 0; offset < total; offset += 16) {
    uint64_t n = total - offset < 16 ? total - offset : 16;
    DumpHexLine(bytes + offset, "%04x ", ctx, static_cast<uint32_t>(offset), static_cast<int64_t>(n), true);
  }
}

std::string Ansi(std::string_view utf8) { return platform::Utf8ToAnsi(utf8); }

}  // namespace quelbrix
