// Report<Kind>(ctx, offset, values...): the one way a pass states a finding.
// The line is formatted from the kind's own text, whose conversions are
// checked against the values at compile time; the finding is counted by its
// severity, written to the report and the pane (red for a fault), and handed to the
// state's FindingSink when one listens.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string_view>
#include <type_traits>

#include "core/pass_state.h"
#include "core/invariant.h"
#include "hive/finding.h"

namespace quelbrix {

// Writes a finding whose line is already made (lines of the program's own
// words carry their UTF-8 form for the pane as well).
void EmitFinding(PassState& ctx, FindingKind kind, uint32_t offset, std::string_view line);
void EmitFindingShown(PassState& ctx, FindingKind kind, uint32_t offset, std::string_view ansi,
                      std::string_view utf8);

namespace finding_detail {

// The value each printf conversion of a format takes, one letter each:
// i int, u unsigned, L long long, U unsigned long long, s text; '?' for a
// conversion this table does not allow.  "%%" takes none.
constexpr size_t Conversions(const char* format, char* codes, size_t capacity) {
  size_t n = 0;
  for (const char* p = format; *p != '\0'; ++p) {
    if (*p != '%') continue;
    ++p;
    if (*p == '%') continue;
    while (*p == '0' || *p == '-' || *p == ' ' || *p == '#' || *p == '+' || (*p >= '1' && *p <= '9')) ++p;
    while (*p >= '0' && *p <= '9') ++p;
    int longs = 0;
    while (*p == 'l') ++longs, ++p;
    char code = '?';
    if (*p == 'd' || *p == 'i' || *p == 'c') code = longs == 2 ? 'L' : longs == 0 ? 'i' : '?';
    if (*p == 'u' || *p == 'x' || *p == 'X') code = longs == 2 ? 'U' : longs == 0 ? 'u' : '?';
    if (*p == 's') code = longs == 0 ? 's' : '?';
    if (n < capacity) codes[n] = code;
    ++n;
    if (*p == '\0') break;
  }
  return n;
}

constexpr bool HasPercent(const char* format) {
  for (const char* p = format; *p != '\0'; ++p)
    if (*p == '%') return true;
  return false;
}

template <class T>
constexpr char CodeOf() {
  using U = std::remove_cv_t<T>;
  if constexpr (std::is_same_v<U, int>) return 'i';
  else if constexpr (std::is_same_v<U, unsigned>) return 'u';
  else if constexpr (std::is_same_v<U, long long>) return 'L';
  else if constexpr (std::is_same_v<U, unsigned long long>) return 'U';
  else if constexpr (std::is_same_v<U, const char*> || std::is_same_v<U, char*>) return 's';
  else return '!';
}

template <class... A>
constexpr bool Matches(const char* format) {
  constexpr size_t count = sizeof...(A);
  const char wanted[count + 1] = {CodeOf<A>()..., '\0'};
  char codes[16] = {};
  if (Conversions(format, codes, 16) != count || count > 16) return false;
  for (size_t i = 0; i < count; ++i)
    if (codes[i] != wanted[i]) return false;
  return true;
}

// The kind's line as an ordinary black report line: no finding.
void PlainLine(PassState& ctx, std::string_view line);

template <class... A>
void Emit(PassState& ctx, bool finding, FindingKind kind, uint32_t offset, A... values) {
  const char* format = InfoOf(kind).Format;
  char line[4096];
  std::string_view text = format;
  if constexpr (sizeof...(A) != 0) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    int n = std::snprintf(line, sizeof line, format, values...);
#pragma GCC diagnostic pop
    if (n < 0) line[0] = '\0';
    text = line;
  }
  if (finding)
    EmitFinding(ctx, kind, offset, text);
  else
    PlainLine(ctx, text);
}

}  // namespace finding_detail

template <FindingKind K, class... A>
void Report(PassState& ctx, uint32_t offset, A... values) {
  static_assert(sizeof...(A) != 0 || !finding_detail::HasPercent(InfoOf(K).Format),
                "a line without values is written as it stands");
  static_assert(finding_detail::Matches<std::decay_t<A>...>(InfoOf(K).Format),
                "the values do not match the conversions of this kind's line");
  finding_detail::Emit(ctx, true, K, offset, values...);
}

// A measure whose line is a finding only past a threshold (a count above
// zero): below it, the same line in black.
template <FindingKind K, class... A>
void ReportIf(bool finding, PassState& ctx, uint32_t offset, A... values) {
  static_assert(finding_detail::Matches<std::decay_t<A>...>(InfoOf(K).Format),
                "the values do not match the conversions of this kind's line");
  finding_detail::Emit(ctx, finding, K, offset, values...);
}

// For a kind chosen at run time (a table of kinds, a branch between two):
// every kind it may be must take these values, which sanitizer builds check.
template <class... A>
void ReportAs(PassState& ctx, FindingKind kind, uint32_t offset, A... values) {
  QUELBRIX_INVARIANT(finding_detail::Matches<std::decay_t<A>...>(InfoOf(kind).Format));
  finding_detail::Emit(ctx, true, kind, offset, values...);
}

}  // namespace quelbrix
