// A Frontend that records every call in order, for tests: pane lines with
// their colours, status texts by part, layout switches, captions asked,
// recent files and control texts.  Texts are kept as the engine passed them
// (ANSI code page bytes); the Utf8 helpers convert for comparisons.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "app/context.h"
#include "app/frontend.h"

namespace quelbrix::testing {

struct FrontendCall {
  enum Kind { kPane, kClearPane, kStatus, kLayout, kRepaint, kCaption, kRecentFile, kControlText, kButtons };
  Kind kind;
  int id = 0;           // status part, control or combo-box id
  uint32_t colour = 0;  // pane lines
  std::string text;
  StatusLayout layout = StatusLayout::kIdle;
};

struct PaneLine {
  std::string text;  // ANSI
  uint32_t colour;
};

class RecordingFrontend : public Frontend {
 public:
  void AppendPane(std::string_view ansiLine, uint32_t colour) override;
  void ClearPane() override;
  void SetStatusText(int part, std::string_view ansiText) override;
  void SetStatusLayout(StatusLayout layout) override;
  void RepaintDoneFlags() override;
  std::string ControlCaption(int id) override;
  void AddRecentFile(int comboId, const std::string& path) override;
  void SetControlText(int id, const std::string& text) override;
  void UpdateButtonStates(const HiveContext&) override;

  std::vector<FrontendCall> Calls() const;
  void Clear();

  // The pane since the last ClearPane.
  std::vector<PaneLine> Pane() const;
  std::vector<std::string> PaneUtf8() const;
  // Index of the first pane line equal to the UTF-8 text, or -1.
  int FindPane(std::string_view utf8) const;
  // Index of the first pane line starting with the UTF-8 text, or -1.
  int FindPanePrefix(std::string_view utf8) const;
  std::vector<std::string> StatusTexts(int part) const;  // ANSI, in order
  std::string LastStatusUtf8(int part = 0) const;
  std::vector<StatusLayout> Layouts() const;
  std::vector<std::string> RecentFiles(int comboId) const;

 private:
  void Record(FrontendCall call);
  mutable std::mutex mutex_;
  std::vector<FrontendCall> calls_;
};

}  // namespace quelbrix::testing
