// The report log: every result line goes to the report file of the running
// scan (when one is open) and to the output pane, in one of three colours.
// Also the text helpers every pass shares: bounded formatting, date and time
// text, UTF-16 to ANSI conversion and hex dumps.  Texts are ANSI code page bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/pass_state.h"

namespace quelbrix {

constexpr uint32_t kBlack = 0;
constexpr uint32_t kRed = 255;
constexpr uint32_t kGreen = 0x8000;

constexpr size_t kLineBuffer = 260;
constexpr const char* kDateTimeFormat = "%04d/%02d/%02d %02d:%02d:%02d";

// The most bytes a scan's report may take: a damaged hive may make a pass
// repeat itself, and no report of a sound one comes near this.
uint64_t ReportLimitFor(uint64_t fileSize);

// Lines go to the state's PassOutput: the runner's writes the report file
// and the pane (and past the report's limit, drops them).
void LogFile(PassState& ctx, std::string_view text);
void LogPane(uint32_t colour, PassState& ctx, std::string_view text);
void LogLine(PassState& ctx, std::string_view text, uint32_t colour);
// The same with the pane's UTF-8 form of the line, for lines that hold the
// program's own Japanese words or file names: the code page may lack the one
// and mangle the bytes of the other.
void LogPaneShown(uint32_t colour, PassState& ctx, std::string_view ansi, std::string_view utf8);
void LogLineShown(PassState& ctx, std::string_view ansi, std::string_view utf8, uint32_t colour);

// Formats into a 4096-byte buffer and writes the line with LogLine.
void LogLineF(PassState& ctx, uint32_t colour, const char* format, ...) __attribute__((format(printf, 3, 4)));
// The same into the report file only.
void LogFileF(PassState& ctx, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Bounded formatting: never writes more than capacity bytes, always ends the
// text with a NUL (cutting it when it does not fit).  Returns the length written.
int FormatText(char* dest, size_t capacity, const char* format, ...) __attribute__((format(printf, 3, 4)));

// The FILETIME in local time, "%04d/%02d/%02d %02d:%02d:%02d".
char* FormatFileTime(char* dest, size_t capacity, uint64_t fileTime);
// Decimal and lower-case hex digits at dest, at least `width` of them
// (zero-padded, the sign counting as one), as "%0*d", "%0*llu" and "%0*llx"
// write them.  Return the end; dest needs room for 21 characters or width.
char* PutDecimal(char* dest, int64_t value, int width = 0);
char* PutUnsigned(char* dest, uint64_t value, int width = 0);
char* PutHex(char* dest, uint64_t value, int width = 0);
// FILETIMEs as FormatFileTime writes them, each second converted once: the
// keys of a hive written in one go share their seconds.  One per scan, so
// that a new scan sees the time zone as it is then.
class FileTimeTexts {
 public:
  std::string_view Text(uint64_t fileTime);

 private:
  static constexpr uint64_t kNone = ~uint64_t{0};
  uint64_t second_ = kNone;
  char text_[64] = {};
  size_t length_ = 0;
};

// The current local time in `format` (six int fields: year .. second).
char* FormatNow(char* dest, const char* format, size_t capacity);
std::string NowText();

// Copies n bytes of UTF-16 text, ends them with a zero unit and converts the
// text up to its first zero unit into dest (ANSI, NUL-terminated, cut at the
// capacity).  Returns the number of UTF-16 units converted.
size_t Utf16ToAnsi(char* dest, size_t n, size_t capacity, const uint8_t* src);

// One line: the formatted prefix, then the hex pairs of count bytes.
void DumpHexLine(const uint8_t* bytes, const char* prefixFormat, PassState& ctx, uint32_t prefixArg, int64_t count,
                 bool toPane);
// A block as lines of 16 bytes with the prefix "%04x " and the line's offset.
void DumpHex(const uint8_t* bytes, PassState& ctx, int64_t length);

// Converts one of the program's own UTF-8 texts to the ANSI code page.
std::string Ansi(std::string_view utf8);

}  // namespace quelbrix
