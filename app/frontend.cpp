#include "app/frontend.h"

#include <cstdio>

#include "app/context.h"
#include "core/report_log.h"
#include "core/texts.h"

namespace quelbrix {

std::string ControlCaptionUtf8(int id) { return CaptionIn(Language::kJapanese, id); }

std::string ProgressShare(uint64_t done, uint64_t total) {
  if (total == 0) return "";
  // The count may pass its estimate.
  uint64_t percent = done >= total ? 99 : done * 100 / total;
  char share[8];
  std::snprintf(share, sizeof share, "%2u%% ", static_cast<unsigned>(percent));
  return share;
}

std::string CommandCaption(HiveContext& ctx, int32_t id) {
  std::string utf8 = ctx.UI != nullptr ? ctx.UI->ControlCaption(id) : ControlCaptionUtf8(id);
  if (utf8.size() >= kMaxPath) utf8.resize(kMaxPath - 1);
  return Ansi(utf8);
}

std::string Frontend::ControlCaption(int id) { return ControlCaptionUtf8(id); }

void Frontend::ShowPaneLine(std::string_view ansiLine, std::string_view, uint32_t colour) {
  AppendPane(ansiLine, colour);
}

void Frontend::ShowStatus(int part, std::string_view ansiText, std::string_view, std::string_view) {
  SetStatusText(part, ansiText);
}

}  // namespace quelbrix
