// Findings: what a pass found, where and how bad, as a value.  Each kind has
// one identifier, one severity, the one text of its report line and a plain
// sentence of what it means; the tables are the finding_*.def files beside
// this header.  A pass hands its findings to a FindingSink and never learns
// who listens (the report, the pane, a JSON list, a test).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quelbrix {

enum class Severity : uint8_t {
  kFault,   // damage: Windows may refuse the hive or lose data
  kLayout,  // fragmentation and lost space: every key and value still reads
  kNote,    // information
};

enum class FindingKind : uint16_t {
#define QUELBRIX_FINDING(name, id, severity, format, explain) name,
#include "hive/finding_kinds.def"
#undef QUELBRIX_FINDING
};

struct FindingKindInfo {
  std::string_view Id;      // stable: scripts match on it
  Severity Level;
  const char* Format;       // the report line, printf style
  std::string_view Explain; // one plain English sentence
};

namespace finding_detail {
constexpr Severity fault = Severity::kFault;
constexpr Severity layout = Severity::kLayout;
constexpr Severity note = Severity::kNote;
}  // namespace finding_detail

inline constexpr FindingKindInfo kFindingKinds[] = {
#define QUELBRIX_FINDING(name, id, severity, format, explain) {id, finding_detail::severity, format, explain},
#include "hive/finding_kinds.def"
#undef QUELBRIX_FINDING
};
inline constexpr size_t kFindingKindCount = sizeof kFindingKinds / sizeof kFindingKinds[0];

constexpr const FindingKindInfo& InfoOf(FindingKind kind) { return kFindingKinds[static_cast<size_t>(kind)]; }
std::string_view SeverityName(Severity level);

// Offsets are from the start of the first bin, as the report prints them.
constexpr uint32_t kNoOffset = ~uint32_t{0};

struct Finding {
  FindingKind Kind{};
  uint32_t Offset = kNoOffset;
  // The key being walked when it was found, from the root's first subkey, in
  // the ANSI code page; empty outside the key walk.
  std::string_view KeyPath;
  bool InKeyWalk = false;
  // The report line as written, in the ANSI code page.
  std::string_view Line;
};

class FindingSink {
 public:
  virtual void Report(const Finding& finding) = 0;

 protected:
  ~FindingSink() = default;
};

}  // namespace quelbrix
