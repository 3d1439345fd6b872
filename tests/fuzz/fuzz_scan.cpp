// libFuzzer target: arbitrary bytes as a hive file, through Read's image
// layout and both Search commands, then Repair, and a Search of the repaired
// image; and the same bytes afresh through Defrag (its passes move cells and
// cut and drop bins) and a Search of the result.  Any crash, hang or
// out-of-bounds access is a finding.
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "core/context.h"
#include "core/run_command.h"
#include "hive/base_block.h"

namespace {

std::string OutputFolder() {
  static std::string folder = [] {
    char tmpl[] = "/tmp/quelbrix-fuzz-XXXXXX";
    const char* made = mkdtemp(tmpl);
    return std::string(made ? made : "/tmp");
  }();
  return folder;
}

void Run(quelbrix::HiveContext& ctx, int32_t id) {
  ctx.CommandId = id;
  ctx.Busy = 1;
  quelbrix::RunCommand(ctx);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quelbrix;
  HiveContext ctx;
  ctx.OutputFolder = OutputFolder();
  ctx.CurrentFile = ctx.OutputFolder + "/fuzz.hiv";
  if (!AllocateImage(ctx, size)) return 0;
  std::memcpy(ctx.Image, data, size);
  TakeHiveVersion(ctx);
  Run(ctx, kCmdSearchDates);
  Run(ctx, kCmdSearchNoDates);
  // Repair changes the image in place; the repaired image must scan again.
  Run(ctx, kCmdRepair);
  Run(ctx, kCmdSearchNoDates);

  HiveContext fresh;
  fresh.OutputFolder = ctx.OutputFolder;
  fresh.CurrentFile = ctx.CurrentFile;
  if (!AllocateImage(fresh, size)) return 0;
  std::memcpy(fresh.Image, data, size);
  TakeHiveVersion(fresh);
  Run(fresh, kCmdDefrag);
  Run(fresh, kCmdSearchNoDates);
  return 0;
}
