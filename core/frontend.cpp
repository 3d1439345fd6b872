#include "core/frontend.h"

#include "core/texts.h"

namespace quelbrix {

std::string ControlCaptionUtf8(int id) { return CaptionIn(Language::kJapanese, id); }

std::string Frontend::ControlCaption(int id) { return ControlCaptionUtf8(id); }

void Frontend::ShowPaneLine(std::string_view ansiLine, std::string_view, uint32_t colour) {
  AppendPane(ansiLine, colour);
}

void Frontend::ShowStatus(int part, std::string_view ansiText, std::string_view, std::string_view) {
  SetStatusText(part, ansiText);
}

}  // namespace quelbrix
