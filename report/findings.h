// Findings as the front ends give them out: a list kept for the --json
// summary (bounded, so a hive damaged all through cannot exhaust memory),
// and the table of every kind, as the README prints it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "hive/finding.h"

namespace quelbrix {

struct ListedFinding {
  FindingKind Kind{};
  uint32_t Offset = kNoOffset;
  bool InKeyWalk = false;
  std::string KeyPath;  // ANSI code page, as Finding::KeyPath
  std::string Line;     // ANSI code page, as the report writes it
};

class FindingList final : public FindingSink {
 public:
  static constexpr size_t kKept = 100000;
  void Report(const Finding& finding) override;
  const std::vector<ListedFinding>& Items() const { return items_; }
  // Findings past kKept: counted, not kept.
  uint64_t Omitted() const { return omitted_; }

 private:
  std::vector<ListedFinding> items_;
  uint64_t omitted_ = 0;
};

// The Markdown table of every kind: id, severity, meaning.
std::string FindingKindsTable();

}  // namespace quelbrix
