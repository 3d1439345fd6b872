// The Frontend of the window: every call of the worker becomes an operation
// in one ordered queue that the GUI thread drains, so no widget is touched
// off that thread.  A full queue makes the worker wait; the caption is a
// blocking queued call.  The GUI thread never blocks on a running worker.
// A scan sends a status text per key: a pending text of a part is replaced
// by the next one (the latest wins), and the window takes the queue at most
// every kDrainInterval unless it is full or the command has ended, so the
// pane gets its lines in large batches and the window keeps time for the
// person using it, and the command's last lines show as soon as it ends.
#pragma once

#include <QElapsedTimer>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "app/frontend.h"
#include "ui/button_states.h"

namespace quelbrix::ui {

class MainWindow;

struct UiOperation {
  enum Kind { kPaneLine, kClearPane, kStatusText, kStatusLayout, kDoneFlags, kRecentFile, kControlText, kButtons };
  Kind What = kPaneLine;
  int Number = 0;          // part, control id, or the layout
  uint32_t Colour = 0;     // pane lines
  std::string Text;        // pane lines: UTF-8, or ANSI when AnsiText; ANSI for status texts; path bytes for controls
  bool AnsiText = false;   // pane lines: converted when applied, off the worker's thread
  std::string Shown;       // status texts: the UTF-8 head that goes before Text
  uint64_t Done = 0;       // part 0: the share of the step, made into text when shown
  uint64_t Total = 0;
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
  void ShowPaneLine(std::string_view ansiLine, std::string_view utf8Line, uint32_t colour) override;
  void ShowStatus(int part, std::string_view ansiText, std::string_view shown, std::string_view ansiTail) override;
  // The share leads the message part as it leads the terminal's progress line.
  void ShowProgress(uint64_t done, uint64_t total) override;
  void SetStatusLayout(StatusLayout layout) override;
  void RepaintDoneFlags() override;
  std::string ControlCaption(int id) override;
  void AddRecentFile(int comboId, const std::string& path) override;
  void SetControlText(int id, const std::string& text) override;
  void UpdateButtonStates(const HiveContext& ctx) override;

  // How a drain of the queue was asked for: posted by the worker for new
  // operations or for a full queue (at once), by the interval's timer, for
  // the next slice of a long queue, or called directly on the GUI thread (not
  // counted as posted).
  enum class DrainCall { kPosted, kNow, kTimer, kNext, kDirect };
  // GUI thread: applies queued operations in order, up to kApplyLimit; a
  // kPosted call not sooner than kDrainInterval after the last one unless
  // the queue is full or the command has ended.  True when operations are left.
  bool Drain(DrainCall how = DrainCall::kDirect);
  // GUI thread, once the worker has ended: later calls are dropped.
  void Detach();
  // Operations waiting for the window.
  size_t Pending();

  // Operations queued before the worker waits for the window: room for a
  // few intervals of a fast Search, so the worker waits only for a window
  // far behind.
  static constexpr size_t kQueueLimit = 65536;
  static constexpr std::chrono::milliseconds kDrainInterval{25};
  // Operations applied in one turn of the window's event loop: a pane line
  // costs well under a microsecond, so a slice stays a few milliseconds.
  static constexpr size_t kApplyLimit = 8192;

 private:
  void Push(UiOperation op, bool mayWait);
  void PostDrain(DrainCall how);  // under mutex_
  std::array<uint8_t, 8> FlagsNow() const;
  bool OnGuiThread() const;

  MainWindow& window_;
  HiveContext& ctx_;
  std::mutex mutex_;
  std::condition_variable drained_;
  std::vector<UiOperation> queue_;
  std::vector<UiOperation> spare_;  // empty; the storage of an applied batch
  int posted_ = 0;             // drains posted or timed and not yet run
  bool urgentPosted_ = false;  // a kNow drain for a full queue is pending
  bool timerArmed_ = false;    // a kTimer drain is pending
  bool detached_ = false;
  // Index in queue_ of the pending text of each status part, or -1.
  std::array<int, 9> pendingStatus_;
  QElapsedTimer lastDrain_;
  std::atomic<uint64_t> progressDone_{0};
  std::atomic<uint64_t> progressTotal_{0};
};

}  // namespace quelbrix::ui
