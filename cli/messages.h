// The English line that follows one of the system's own failure texts on
// stderr: "quelbrix: PATH: REASON", so a person knows which file and why.
#pragma once

#include <cstdint>
#include <string>

namespace quelbrix {

// Prints "quelbrix: PATH: REASON" on stderr.
void SayFileProblem(const std::string& path, const std::string& reason);

// Why a hive file fails the checks before Read (missing, a directory, too
// short, unreadable, no "regf" signature); "" when it passes them.
std::string HiveFileReason(const std::string& path);

// Why a file cannot be created at `path`: its folder is missing, not a folder
// or not writable; "" when nothing explains it from outside.
std::string CreateFileReason(const std::string& path);

// What a scan command (search, repair, defrag) did, for its last line.
struct RunSummary {
  int32_t CommandId = 0;  // kCmdSearchDates, kCmdRepair, ...
  int ExitStatus = 0;     // the verdict
  uint32_t Faults = 0;
  bool Stopped = false;   // the scan stopped at damage it cannot pass
  std::string Hive;       // the hive as read, absolute
  std::string Report;     // the report written; "" for none
  bool WritesHive = false;  // repair and defrag
  std::string Output;     // the hive written; "" for none
};

// The one summary line in the language of the terminal: what was found, what
// was written, and the next step when there is damage
// ("quelbrix repair HIVE -o OUT", or after a written repair "quelbrix search
// OUT" to check it).  No line end.
std::string SummaryLine(const RunSummary& run);

}  // namespace quelbrix
