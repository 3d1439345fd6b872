#include "support/recording_frontend.h"

#include "platform/text.h"

namespace quelbrix::testing {

namespace {
FrontendCall Call(FrontendCall::Kind kind, int id = 0, uint32_t colour = 0, std::string_view text = {},
                  StatusLayout layout = StatusLayout::kIdle) {
  return FrontendCall{kind, id, colour, std::string(text), layout};
}
}  // namespace

void RecordingFrontend::Record(FrontendCall call) {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.push_back(std::move(call));
}

void RecordingFrontend::AppendPane(std::string_view ansiLine, uint32_t colour) {
  Record(Call(FrontendCall::kPane, 0, colour, ansiLine));
}
void RecordingFrontend::ClearPane() { Record(Call(FrontendCall::kClearPane)); }
void RecordingFrontend::SetStatusText(int part, std::string_view ansiText) {
  Record(Call(FrontendCall::kStatus, part, 0, ansiText));
}
void RecordingFrontend::SetStatusLayout(StatusLayout layout) {
  Record(Call(FrontendCall::kLayout, 0, 0, "", layout));
}
void RecordingFrontend::RepaintDoneFlags() { Record(Call(FrontendCall::kRepaint)); }
std::string RecordingFrontend::ControlCaption(int id) {
  Record(Call(FrontendCall::kCaption, id));
  return Frontend::ControlCaption(id);
}
void RecordingFrontend::AddRecentFile(int comboId, const std::string& path) {
  Record(Call(FrontendCall::kRecentFile, comboId, 0, path));
}
void RecordingFrontend::SetControlText(int id, const std::string& text) {
  Record(Call(FrontendCall::kControlText, id, 0, text));
}
void RecordingFrontend::UpdateButtonStates(const HiveContext&) { Record(Call(FrontendCall::kButtons)); }

std::vector<FrontendCall> RecordingFrontend::Calls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_;
}

void RecordingFrontend::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.clear();
}

std::vector<PaneLine> RecordingFrontend::Pane() const {
  std::vector<PaneLine> lines;
  for (const FrontendCall& c : Calls()) {
    if (c.kind == FrontendCall::kClearPane) lines.clear();
    if (c.kind == FrontendCall::kPane) lines.push_back({c.text, c.colour});
  }
  return lines;
}

std::vector<std::string> RecordingFrontend::PaneUtf8() const {
  std::vector<std::string> out;
  for (const PaneLine& l : Pane()) out.push_back(platform::AnsiToUtf8(l.text));
  return out;
}

int RecordingFrontend::FindPane(std::string_view utf8) const {
  std::vector<std::string> lines = PaneUtf8();
  for (size_t i = 0; i < lines.size(); ++i)
    if (lines[i] == utf8) return static_cast<int>(i);
  return -1;
}

int RecordingFrontend::FindPanePrefix(std::string_view utf8) const {
  std::vector<std::string> lines = PaneUtf8();
  for (size_t i = 0; i < lines.size(); ++i)
    if (lines[i].compare(0, utf8.size(), utf8) == 0) return static_cast<int>(i);
  return -1;
}

std::vector<std::string> RecordingFrontend::StatusTexts(int part) const {
  std::vector<std::string> out;
  for (const FrontendCall& c : Calls())
    if (c.kind == FrontendCall::kStatus && c.id == part) out.push_back(c.text);
  return out;
}

std::string RecordingFrontend::LastStatusUtf8(int part) const {
  std::vector<std::string> texts = StatusTexts(part);
  return texts.empty() ? std::string() : platform::AnsiToUtf8(texts.back());
}

std::vector<StatusLayout> RecordingFrontend::Layouts() const {
  std::vector<StatusLayout> out;
  for (const FrontendCall& c : Calls())
    if (c.kind == FrontendCall::kLayout) out.push_back(c.layout);
  return out;
}

std::vector<std::string> RecordingFrontend::RecentFiles(int comboId) const {
  std::vector<std::string> out;
  for (const FrontendCall& c : Calls())
    if (c.kind == FrontendCall::kRecentFile && c.id == comboId) out.push_back(c.text);
  return out;
}

}  // namespace quelbrix::testing
