#include "report/findings.h"

namespace quelbrix {

void FindingList::Report(const Finding& finding) {
  if (items_.size() >= kKept) {
    ++omitted_;
    return;
  }
  items_.push_back({finding.Kind, finding.Offset, finding.InKeyWalk, std::string(finding.KeyPath),
                    std::string(finding.Line)});
}

std::string FindingKindsTable() {
  std::string table = "| id | severity | meaning |\n|---|---|---|\n";
  for (const FindingKindInfo& kind : kFindingKinds) {
    table.append("| `").append(kind.Id).append("` | ").append(SeverityName(kind.Level)).append(" | ");
    // A cell of the table ends at a bar.
    for (char c : kind.Explain) table.append(c == '|' ? std::string("\\|") : std::string(1, c));
    table.append(" |\n");
  }
  return table;
}

}  // namespace quelbrix
