#include "core/report_log.h"
#include "hive/base_block.h"
#include "scan/scan_hive.h"

namespace quelbrix {

bool ScanCommandAvailable(int32_t id) { return id == kCmdSearchDates || id == kCmdSearchNoDates; }

void ScanHive(HiveContext& ctx) {
  if (!BaseBlockPhase(ctx)) return;
}

void FreeDescriptorList(HiveContext& ctx) { ctx.Descriptors = nullptr; }

}  // namespace quelbrix
