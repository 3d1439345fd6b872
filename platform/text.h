// Text conversion between UTF-16, the ANSI code page of the run and UTF-8.
// The ANSI code page is process-wide (default 932); characters it cannot
// represent become '?', as the Windows default character.  Thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quelbrix::platform {

// Sets the ANSI code page (932, 1252, 65001 for UTF-8, ...).  Returns false and
// keeps the old one when iconv does not know it.
bool SetAnsiCodePage(int codePage);
int AnsiCodePage();

// Converts `units` UTF-16 code units into the ANSI code page, writing at most
// capacity - 1 bytes plus a NUL into `dest` (never a split multi-byte
// character).  Returns the number of bytes written without the NUL; *truncated
// (when given) tells whether the text was cut to fit.
size_t Utf16ToAnsiBuffer(char* dest, size_t capacity, const char16_t* src, size_t units,
                         bool* truncated = nullptr);

std::string Utf16ToAnsi(std::u16string_view text);
std::u16string AnsiToUtf16(std::string_view ansi);

// For people: terminals and windows show UTF-8.
std::string AnsiToUtf8(std::string_view ansi);
std::string Utf8ToAnsi(std::string_view utf8);
std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view text);

// Simple one-unit Unicode uppercase of a UTF-16 code unit (units without a
// one-unit uppercase, such as U+00DF, are returned unchanged).
// Inline for ASCII, which names mostly are: hashes and sibling order take
// it for every unit of every key name.
char16_t UpcaseTableUnit(char16_t unit);
inline char16_t UpcaseUnit(char16_t unit) {
  if (unit < 0x80) return (unit >= u'a' && unit <= u'z') ? static_cast<char16_t>(unit - 0x20) : unit;
  return UpcaseTableUnit(unit);
}

}  // namespace quelbrix::platform
