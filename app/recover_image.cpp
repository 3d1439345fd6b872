#include "app/recover_image.h"

#include <cstring>
#include <vector>

#include "app/run_command.h"
#include "core/report_log.h"
#include "hive/report_finding.h"
#include "txlog/txlog.h"

namespace quelbrix::txlog {

bool RecoverAfterRead(HiveContext& ctx, std::string* status) {
  ctx.LogOutcome.reset();
  status->clear();
  if (ctx.NoLogs || ctx.Image == nullptr) return true;
  std::vector<std::string> paths = FindLogs(ctx.InputPath);
  if (paths.empty()) return true;
  std::vector<LogInput> logs = ReadLogs(paths);
  size_t fileSize = static_cast<size_t>(ctx.FileSize & 0xFFFFFFFFu);
  std::vector<uint8_t> hive(ctx.Image, ctx.Image + fileSize);
  auto outcome = std::make_shared<Outcome>(Recover(hive, logs));
  if (outcome->Applied) {
    // The recovered hive may be larger: the image, its reserve pages and the
    // AccessMap behind them are laid out afresh for its size.
    if (!AllocateImage(ctx, hive.size())) return false;
    std::memcpy(ctx.Image, hive.data(), hive.size());
  }
  ctx.LogOutcome = outcome;
  std::string& text = *status;
  if (!outcome->AppliedLogs.empty() || outcome->Applied) {
    text += " TransactionLogs applied=";
    for (size_t i = 0; i < outcome->AppliedLogs.size(); ++i) text += (i ? "," : "") + outcome->AppliedLogs[i];
  }
  if (!outcome->RefusedLogs.empty()) {
    text += " refused=";
    for (size_t i = 0; i < outcome->RefusedLogs.size(); ++i) text += (i ? "," : "") + outcome->RefusedLogs[i];
  }
  return true;
}

void LogRecoveryPhase(HiveContext& ctx) {
  if (!ctx.LogOutcome) return;
  LogLineF(ctx, kGreen, "[TransactionLog Recovery] %s", NowText().c_str());
  // Notes are ASCII around the logs' file names, which the pane shows as they are.
  for (const Note& note : ctx.LogOutcome->Notes) {
    if (note.Error)
      EmitFindingShown(ctx, note.Spent ? FindingKind::kLogAlreadyApplied : FindingKind::kLogRefused, kNoOffset,
                       note.Text, note.Text);
    else
      LogLineShown(ctx, note.Text, note.Text, kBlack);
  }
}

std::string AppliedSuffix(const HiveContext& ctx) {
  return ctx.LogOutcome && ctx.LogOutcome->Applied ? " (transaction logs applied)" : "";
}

}  // namespace quelbrix::txlog
