#include "core/pass_rules.h"

#include "core/commands.h"

namespace quelbrix {

PassRules MakePassRules(int32_t commandId, bool diagnostic) {
  PassRules r;
  const bool repair = commandId == kCmdRepair, defrag = commandId == kCmdDefrag;
  r.Repair = repair || defrag;
  r.RepairOnlyFixes = repair;
  r.ExtendedRepair = repair && diagnostic;
  r.DiagnosticRepair = r.Repair && diagnostic;
  r.Dates = commandId == kCmdSearchDates;
  r.RebuildCalls = commandId == kCmdRebuild;
  r.Defrag = defrag;
  r.DefragDetail = defrag && diagnostic;
  r.Finish = repair   ? ScanFinish::kRepair
             : defrag ? ScanFinish::kDefrag
             : commandId == kCmdRebuild ? ScanFinish::kRebuildSummary
                                        : ScanFinish::kNone;
  return r;
}

}  // namespace quelbrix
