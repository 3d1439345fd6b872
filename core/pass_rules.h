// PassRules: what a scan run does beyond reading, made once from the command
// and DiagnosticMode when the run starts (MakePassRules) and read by the
// passes from PassState::Rules.  A pass asks what to do, never who runs it.
#pragma once

#include <cstdint>

namespace quelbrix {

// How the scan ends after the key walk and its summaries.
enum class ScanFinish : uint8_t {
  kNone,            // Search: the report ends with the summaries
  kRebuildSummary,  // Hive rebuild: "[Rebuild Summary]" and the counters
  kRepair,          // Repair: trailing bins dropped, fix-up, counters, statistics
  kDefrag,          // Defrag: the three defrag passes, fix-up, counters, statistics
};

struct PassRules {
  bool Repair = false;           // fix what the walk finds (Repair and Defrag)
  bool RepairOnlyFixes = false;  // the fixes Defrag leaves alone: parent offsets, data lengths, DACLs
  bool ExtendedRepair = false;   // Repair in diagnostic mode: base block, bin header spares, ...
  bool DiagnosticRepair = false; // Repair or Defrag in diagnostic mode: allocator detail lines
  bool Dates = false;            // Search with dates: time stamps and descriptors as text
  bool RebuildCalls = false;     // Hive rebuild: keys and values re-created through the registry
  bool Defrag = false;           // the defrag view: unreached cells freed, AdjustCells, statistics
  bool DefragDetail = false;     // Defrag in diagnostic mode: statistics list layout, MoveRootnkCells
  ScanFinish Finish = ScanFinish::kNone;
};

// The rules of a scan command (Search with or without dates, Repair, Defrag,
// Hive rebuild); any other id reads only.
PassRules MakePassRules(int32_t commandId, bool diagnostic);

}  // namespace quelbrix
