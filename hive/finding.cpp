#include "hive/finding.h"

#include "core/report_log.h"
#include "hive/report_finding.h"

namespace quelbrix {
namespace {

// The walk's path starts with the root key's own name; a finding names the
// key as `export` takes it, from the root's first subkey.
std::string_view BelowRoot(const std::string* path) {
  if (path == nullptr) return {};
  std::string_view p(*path);
  size_t slash = p.find('\\');
  return slash == std::string_view::npos ? std::string_view() : p.substr(slash + 1);
}

void Count(PassState& ctx, FindingKind kind) {
  if (InfoOf(kind).Level == Severity::kFault) ++ctx.FaultLines;
}

// Red in the pane is kept for damage; layout and notes read as the pane's
// other lines.  The report file has no colours.
uint32_t PaneColour(FindingKind kind) { return InfoOf(kind).Level == Severity::kFault ? kRed : kBlack; }

void Tell(PassState& ctx, FindingKind kind, uint32_t offset, std::string_view line) {
  if (ctx.Findings == nullptr) return;
  Finding f;
  f.Kind = kind;
  f.Offset = offset;
  f.InKeyWalk = ctx.WalkPath != nullptr;
  f.KeyPath = BelowRoot(ctx.WalkPath);
  f.Line = line;
  ctx.Findings->Report(f);
}

}  // namespace

std::string_view SeverityName(Severity level) {
  switch (level) {
    case Severity::kFault: return "fault";
    case Severity::kLayout: return "layout";
    case Severity::kNote: return "note";
  }
  return "fault";
}

void EmitFinding(PassState& ctx, FindingKind kind, uint32_t offset, std::string_view line) {
  Count(ctx, kind);
  LogFile(ctx, line);
  LogPane(PaneColour(kind), ctx, line);
  Tell(ctx, kind, offset, line);
}

void finding_detail::PlainLine(PassState& ctx, std::string_view line) { LogLine(ctx, line, kBlack); }

void EmitFindingShown(PassState& ctx, FindingKind kind, uint32_t offset, std::string_view ansi,
                      std::string_view utf8) {
  Count(ctx, kind);
  LogFile(ctx, ansi);
  LogPaneShown(PaneColour(kind), ctx, ansi, utf8);
  Tell(ctx, kind, offset, ansi);
}

}  // namespace quelbrix
