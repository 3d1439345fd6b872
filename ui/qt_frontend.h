// The Frontend of the window: every call of the worker becomes an operation
// in one ordered queue that the GUI thread drains, so no widget is touched
// off that thread.  A full queue makes the worker wait; the caption is a
// blocking queued call.  The GUI thread never blocks on a running worker.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "core/frontend.h"
#include "ui/button_states.h"

namespace quelbrix::ui {

class MainWindow;

struct UiOperation {
  enum Kind { kPaneLine, kClearPane, kStatusText, kStatusLayout, kDoneFlags, kRecentFile, kControlText, kButtons };
  Kind What = kPaneLine;
  int Number = 0;          // part, control id, or the layout
  uint32_t Colour = 0;     // pane lines
  std::string Text;        // UTF-8 for pane lines and part 0, ANSI for the other parts, path bytes for controls
  ButtonStates States;     // kButtons
  std::array<uint8_t, 8> Flags{};  // kDoneFlags and kStatusLayout
};

inline UiOperation MakeOperation(UiOperation::Kind what) {
  UiOperation op;
  op.What = what;
  return op;
}

class QtFrontend : public Frontend {
 public:
  QtFrontend(MainWindow& window, HiveContext& ctx);

  void AppendPane(std::string_view ansiLine, uint32_t colour) override;
  void ClearPane() override;
  void SetStatusText(int part, std::string_view ansiText) override;
  void SetStatusLayout(StatusLayout layout) override;
  void RepaintDoneFlags() override;
  std::string ControlCaption(int id) override;
  void AddRecentFile(int comboId, const std::string& path) override;
  void SetControlText(int id, const std::string& text) override;
  void UpdateButtonStates(const HiveContext& ctx) override;

  // GUI thread: applies every queued operation in order.
  void Drain();
  // GUI thread, once the worker has ended: later calls are dropped.
  void Detach();

  // Operations queued before the worker waits for the window.
  static constexpr size_t kQueueLimit = 8192;

 private:
  void Push(UiOperation op, bool mayWait);
  std::array<uint8_t, 8> FlagsNow() const;
  bool OnGuiThread() const;

  MainWindow& window_;
  HiveContext& ctx_;
  std::mutex mutex_;
  std::condition_variable drained_;
  std::vector<UiOperation> queue_;
  bool drainPosted_ = false;
  bool detached_ = false;
};

}  // namespace quelbrix::ui
