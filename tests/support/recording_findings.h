// A FindingSink that keeps every finding it hears, for tests that assert what
// a pass found ({id, offset}) and under which key, not how the line reads.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "hive/finding.h"

namespace quelbrix::testing {

struct FoundAt {
  std::string Id;
  uint32_t Offset = kNoOffset;
  bool operator==(const FoundAt&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const FoundAt& f) { return out << f.Id << "@" << f.Offset; }

class RecordingFindings : public FindingSink {
 public:
  struct Heard {
    FoundAt At;
    Severity Level = Severity::kFault;
    std::string KeyPath;
    bool InKeyWalk = false;
    std::string Line;
  };

  void Report(const Finding& f) override {
    const FindingKindInfo& info = InfoOf(f.Kind);
    heard_.push_back({{std::string(info.Id), f.Offset}, info.Level, std::string(f.KeyPath), f.InKeyWalk,
                      std::string(f.Line)});
  }

  const std::vector<Heard>& All() const { return heard_; }
  void Clear() { heard_.clear(); }
  std::vector<FoundAt> At() const {
    std::vector<FoundAt> out;
    for (const Heard& h : heard_) out.push_back(h.At);
    return out;
  }

 private:
  std::vector<Heard> heard_;
};

}  // namespace quelbrix::testing
