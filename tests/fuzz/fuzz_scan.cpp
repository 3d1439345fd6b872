// libFuzzer target: arbitrary bytes as a hive file, through Read's image
// layout and both Search commands, then Repair, and a Search of the repaired
// image; and the same bytes afresh through Defrag (its passes move cells and
// cut and drop bins) and a Search of the result.  Any crash, hang or
// out-of-bounds access is a finding, and so is an error line in a Search of
// the hive that Repair would write.  Last, the deleted keys and values the
// bytes hold are listed, the first key is put back and the copy repaired:
// that hive must search clean as well.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "app/run_command.h"
#include "app/context.h"
#include "app/frontend.h"
#include "core/report_log.h"
#include "deleted/deleted.h"
#include "hive/base_block.h"
#include "hive/cells.h"
#include "hive/names.h"
#include "undelete/undelete.h"

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

// Red lines that report damage to the hive's structure; statistics red by a
// threshold, a root key that is not the first cell and a value type the
// program does not know report none.  The contents of security descriptors
// are checked and reported in a phase of their own, which Repair mends only
// in part, so that phase is left out.
class DamageLines : public quelbrix::Frontend {
 public:
  void AppendPane(std::string_view line, uint32_t colour) override {
    if (colour == quelbrix::kGreen) descriptors_ = line.substr(0, 28) == "[SecurityDescriptor Summary]";
    if (colour != quelbrix::kRed || descriptors_ || first.size() != 0) return;
    for (const char* fine : {"UnallocCellsMaxSize(Byte)=", "ContinueCellsCount=", "UnpackedCellsCount=",
                             "UnallocHbinsCount=", "(AllocCells)NonaccessCells", "data type unknown",
                             "Root nkCellsOffsetVaue="})
      if (line.substr(0, std::strlen(fine)) == fine) return;
    first.assign(line);
  }
  void SetStatusText(int, std::string_view) override {}
  std::string first;

 private:
  bool descriptors_ = false;
};

// A root key the key visit accepts: Repair mends what hangs off the root,
// never the root key cell itself.
bool RootVisited(const quelbrix::HiveContext& ctx) {
  using namespace quelbrix;
  HiveImage image(ctx.Image, ctx.ImageSize);
  NkCell root(image, CellPos(BaseBlock(image).RootCellOffset()));
  if (!root.Valid() || !root.Allocated() || root.Signature() != kSigNk || root.KeyLength() == 0 ||
      root.Length() < uint64_t{NkCell::kHeaderLength} + root.KeyLength())
    return false;
  // A name that reads as nothing (a NUL first) is refused as well.
  char16_t unit = 0;
  return NameUnits(root.KeyName(), root.KeyLength(), root.KeyNameAvail(), root.AsciiName(), &unit, 1) != 0;
}

// The hive Repair wrote, searched as a file of its own.
void SearchWritten(const quelbrix::HiveContext& repaired) {
  using namespace quelbrix;
  if (repaired.ScanStopped || repaired.Image == nullptr || repaired.FileSize > repaired.ImageSize) return;
  if (!RootVisited(repaired)) return;
  HiveContext written;
  written.OutputFolder = repaired.OutputFolder;
  written.CurrentFile = repaired.CurrentFile;
  if (!AllocateImage(written, repaired.FileSize)) return;
  std::memcpy(written.Image, repaired.Image, repaired.FileSize);
  TakeHiveVersion(written);
  DamageLines lines;
  written.UI = &lines;
  Run(written, kCmdSearchNoDates);
  if (!lines.first.empty()) {
    std::fprintf(stderr, "Search of the repaired hive: %s\n", lines.first.c_str());
    std::abort();
  }
}

// A context that holds the input as Read would leave it.
bool Loaded(quelbrix::HiveContext& ctx, const uint8_t* data, size_t size) {
  using namespace quelbrix;
  ctx.OutputFolder = OutputFolder();
  ctx.CurrentFile = ctx.OutputFolder + "/fuzz.hiv";
  if (!AllocateImage(ctx, size)) return false;
  std::memcpy(ctx.Image, data, size);
  TakeHiveVersion(ctx);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quelbrix;
  HiveContext ctx;
  if (!Loaded(ctx, data, size)) return 0;
  Run(ctx, kCmdSearchDates);
  Run(ctx, kCmdSearchNoDates);
  // Repair changes the image in place; the repaired image must scan again.
  Run(ctx, kCmdRepair);
  SearchWritten(ctx);
  Run(ctx, kCmdSearchNoDates);

  HiveContext fresh;
  if (!Loaded(fresh, data, size)) return 0;
  Run(fresh, kCmdDefrag);
  Run(fresh, kCmdSearchNoDates);

  HiveContext restored;
  if (!Loaded(restored, data, size)) return 0;
  deleted::DeletedScan scan = deleted::FindDeleted(restored.Image, size);
  if (scan.Keys.empty()) return 0;
  if (!undelete::UndeleteKey(restored, scan, 0).Done) return 0;
  Run(restored, kCmdRepair);
  SearchWritten(restored);
  return 0;
}
