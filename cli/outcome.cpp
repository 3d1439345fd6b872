#include "cli/outcome.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "cli/messages.h"
#include "platform/text.h"
#include "repair/counters.h"
#include "txlog/txlog.h"

namespace quelbrix {

int ExitStatusOf(CommandOutcome outcome) {
  switch (outcome) {
    case CommandOutcome::kCompleted:
    case CommandOutcome::kStoppedAtDamage: return kExitOk;
    case CommandOutcome::kAborted: return kExitAborted;
    case CommandOutcome::kFailed:
    case CommandOutcome::kRefused: break;
  }
  return kExitFailed;
}

int VerdictOf(int status, const HiveContext& ctx) {
  if (status != 0) return status;
  return ctx.FaultLines > 0 || ctx.ScanStopped ? kExitDamage : 0;
}

namespace {

void PrintSummaryLine(int verdict, const CliSession& session) {
  RunSummary run;
  run.CommandId = session.scanCommand;
  run.ExitStatus = verdict;
  run.Faults = session.ctx->FaultLines;
  run.Stopped = session.ctx->ScanStopped;
  run.Hive = session.hive;
  run.Report = session.reportPath;
  run.WritesHive = session.scanCommand == kCmdRepair || session.scanCommand == kCmdDefrag;
  run.Output = session.output;
  std::fflush(stdout);
  std::fprintf(stderr, "%s\n", SummaryLine(run).c_str());
  std::fflush(stderr);
}

}  // namespace

int FinishRun(int status, CliSession& session) {
  if (session.ctx == nullptr) return status;
  int verdict = VerdictOf(status, *session.ctx);
  if (!session.json) {
    if (session.scanCommand != 0) PrintSummaryLine(verdict, session);
    return verdict;
  }

  HiveContext& ctx = *session.ctx;
  auto orNull = [](const std::string& s) { return s.empty() ? nlohmann::json() : nlohmann::json(s); };
  nlohmann::json counters = nlohmann::json::object();
  ForEachRepairCounter(ctx, [&counters](std::string_view name, int32_t value) { counters[std::string(name)] = value; });
  nlohmann::json summary = {
      {"command", session.command},
      {"hive", orNull(session.hive)},
      {"output_file", orNull(session.output)},
      {"exit_status", verdict},
      {"status_text", session.statusShown},
      {"report", orNull(session.reportPath)},
      {"error_lines", ctx.FaultLines},
      {"scan_stopped", ctx.ScanStopped},
      {"repair_counters", counters},
      {"logs_applied", nlohmann::json::array()},
  };
  nlohmann::json findings = nlohmann::json::array();
  for (const ListedFinding& f : session.findings.Items()) {
    const FindingKindInfo& kind = InfoOf(f.Kind);
    findings.push_back({
        {"id", kind.Id},
        {"severity", SeverityName(kind.Level)},
        {"offset", f.Offset == kNoOffset ? nlohmann::json() : nlohmann::json(f.Offset)},
        {"key_path", f.InKeyWalk ? nlohmann::json(platform::AnsiToUtf8(f.KeyPath)) : nlohmann::json()},
        {"line", platform::AnsiToUtf8(f.Line)},
        {"explain", kind.Explain},
    });
  }
  summary["findings"] = std::move(findings);
  if (session.findings.Omitted() != 0) summary["findings_omitted"] = session.findings.Omitted();
  // The transaction logs replayed into the hive before the command ran.
  if (ctx.LogOutcome && ctx.LogOutcome->Applied)
    for (const std::string& name : ctx.LogOutcome->AppliedLogs) summary["logs_applied"].push_back(name);
  std::fflush(stdout);
  // Names in a hive need not be valid in the code page: replace, never throw.
  std::string text = summary.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  std::fprintf(stdout, "%s\n", text.c_str());
  std::fflush(stdout);
  if (session.scanCommand != 0) PrintSummaryLine(verdict, session);
  return verdict;
}

}  // namespace quelbrix
