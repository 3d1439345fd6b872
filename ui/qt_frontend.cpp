#include "ui/qt_frontend.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <QTimer>
#include <algorithm>

#include "platform/text.h"
#include "ui/main_window.h"

namespace quelbrix::ui {

QtFrontend::QtFrontend(MainWindow& window, HiveContext& ctx) : window_(window), ctx_(ctx) { pendingStatus_.fill(-1); }

bool QtFrontend::OnGuiThread() const { return QThread::currentThread() == window_.thread(); }

std::array<uint8_t, 8> QtFrontend::FlagsNow() const {
  std::array<uint8_t, 8> flags{};
  for (size_t i = 0; i < flags.size(); ++i) flags[i] = ctx_.DoneFlags[i];
  return flags;
}

void QtFrontend::PostDrain(DrainCall how) {
  ++posted_;
  // The window owns this frontend, so the queued call dies with it.
  if (how == DrainCall::kTimer) {
    timerArmed_ = true;
    auto wait = std::chrono::milliseconds(std::max<qint64>(1, kDrainInterval.count() - lastDrain_.elapsed()));
    QTimer::singleShot(wait, &window_, [this] { Drain(DrainCall::kTimer); });
  } else if (how == DrainCall::kNext) {
    // A timer, not a posted call: the window's input and painting come first.
    QTimer::singleShot(std::chrono::milliseconds(1), &window_, [this] { Drain(DrainCall::kNext); });
  } else {
    QMetaObject::invokeMethod(&window_, [this, how] { Drain(how); }, Qt::QueuedConnection);
  }
}

void QtFrontend::Push(UiOperation op, bool mayWait) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (detached_) return;
  bool status = op.What == UiOperation::kStatusText && op.Number >= 0 &&
                op.Number < static_cast<int>(pendingStatus_.size());
  if (status && pendingStatus_[op.Number] >= 0) {
    // Not shown yet: the newer text takes its place.
    queue_[pendingStatus_[op.Number]].Text = std::move(op.Text);
    queue_[pendingStatus_[op.Number]].Shown = std::move(op.Shown);
    queue_[pendingStatus_[op.Number]].Done = op.Done;
    queue_[pendingStatus_[op.Number]].Total = op.Total;
    return;
  }
  if (mayWait && !OnGuiThread() && queue_.size() >= kQueueLimit) {
    // A deferred drain would keep the worker waiting for the rest of the interval.
    if (posted_ == 0 || (timerArmed_ && !urgentPosted_)) {
      urgentPosted_ = true;
      PostDrain(DrainCall::kNow);
    }
    drained_.wait(lock, [this] { return detached_ || queue_.size() < kQueueLimit; });
    if (detached_) return;
  }
  // After a layout change the part numbers mean other parts.
  if (op.What == UiOperation::kStatusLayout) pendingStatus_.fill(-1);
  if (status) pendingStatus_[op.Number] = static_cast<int>(queue_.size());
  queue_.push_back(std::move(op));
  if (posted_ == 0) {
    PostDrain(DrainCall::kPosted);
  } else if (timerArmed_ && !urgentPosted_ && ctx_.Busy.load() == 0) {
    // The command's last calls: shown now, not when the interval is up.
    urgentPosted_ = true;
    PostDrain(DrainCall::kNow);
  }
}

bool QtFrontend::Drain(DrainCall how) {
  std::vector<UiOperation> batch;
  bool more = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (how != DrainCall::kDirect) --posted_;
    if (how == DrainCall::kTimer) timerArmed_ = false;
    if (how == DrainCall::kNow) urgentPosted_ = false;
    bool full = queue_.size() >= kQueueLimit;
    // Once the command has ended nothing more comes to wait for.
    bool ended = ctx_.Busy.load() == 0;
    if (how == DrainCall::kPosted && !full && !ended && lastDrain_.isValid() &&
        !lastDrain_.hasExpired(kDrainInterval.count())) {
      // Too soon after the last batch: take this one when the interval is up.
      if (!timerArmed_) PostDrain(DrainCall::kTimer);
      return true;
    }
    if (queue_.size() <= kApplyLimit) {
      batch.swap(queue_);
      // The worker goes on in the storage of an earlier batch: no regrowth.
      queue_.swap(spare_);
      pendingStatus_.fill(-1);
    } else {
      // A long queue goes in slices, with the window's own events between them.
      auto cut = queue_.begin() + kApplyLimit;
      batch.assign(std::make_move_iterator(queue_.begin()), std::make_move_iterator(cut));
      queue_.erase(queue_.begin(), cut);
      for (int& slot : pendingStatus_) slot = slot < static_cast<int>(kApplyLimit) ? -1 : slot - static_cast<int>(kApplyLimit);
      more = true;
      // The next slice follows at once, not when an armed timer fires.
      if (how != DrainCall::kDirect && posted_ == (timerArmed_ ? 1 : 0)) PostDrain(DrainCall::kNext);
    }
  }
  drained_.notify_all();
  lastDrain_.restart();
  if (!batch.empty()) window_.Apply(batch);
  batch.clear();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // Kept up to two slices' worth: a backlog's storage is given back.
    if (batch.capacity() > spare_.capacity() && batch.capacity() <= 2 * kApplyLimit) spare_.swap(batch);
  }
  return more;
}

void QtFrontend::Detach() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    detached_ = true;
    queue_.clear();
    pendingStatus_.fill(-1);
  }
  drained_.notify_all();
}

size_t QtFrontend::Pending() {
  std::lock_guard<std::mutex> lock(mutex_);
  return queue_.size();
}

void QtFrontend::AppendPane(std::string_view ansiLine, uint32_t colour) {
  UiOperation op = MakeOperation(UiOperation::kPaneLine);
  op.Colour = colour;
  op.Text.assign(ansiLine);
  op.AnsiText = true;
  Push(std::move(op), true);
}

void QtFrontend::ShowPaneLine(std::string_view, std::string_view utf8Line, uint32_t colour) {
  UiOperation op = MakeOperation(UiOperation::kPaneLine);
  op.Colour = colour;
  op.Text = std::string(utf8Line);
  Push(std::move(op), true);
}

void QtFrontend::ShowStatus(int part, std::string_view ansiText, std::string_view shown, std::string_view ansiTail) {
  if (part != 0) return SetStatusText(part, ansiText);
  // A text per key: the share becomes text only for the one that is shown.
  uint64_t done = progressDone_.load(std::memory_order_relaxed);
  uint64_t total = progressTotal_.load(std::memory_order_relaxed);
  {
    // Most keys find the last key's text still waiting: it takes the new
    // one in its own storage, and no operation is made.
    std::lock_guard<std::mutex> lock(mutex_);
    if (detached_) return;
    if (pendingStatus_[0] >= 0) {
      UiOperation& waiting = queue_[pendingStatus_[0]];
      waiting.Shown.assign(shown);
      waiting.Text.assign(ansiTail);
      waiting.Done = done;
      waiting.Total = total;
      return;
    }
  }
  UiOperation op = MakeOperation(UiOperation::kStatusText);
  op.Shown = std::string(shown);
  op.Done = done;
  op.Total = total;
  op.Text = std::string(ansiTail);  // converted when shown, as SetStatusText's
  Push(std::move(op), false);
}

void QtFrontend::ShowProgress(uint64_t done, uint64_t total) {
  progressDone_.store(done, std::memory_order_relaxed);
  progressTotal_.store(total, std::memory_order_relaxed);
}

void QtFrontend::ClearPane() { Push(MakeOperation(UiOperation::kClearPane), false); }

void QtFrontend::SetStatusText(int part, std::string_view ansiText) {
  UiOperation op = MakeOperation(UiOperation::kStatusText);
  op.Number = part;
  op.Text = std::string(ansiText);  // converted when shown: most texts are replaced before that
  Push(std::move(op), false);
}

void QtFrontend::SetStatusLayout(StatusLayout layout) {
  UiOperation op = MakeOperation(UiOperation::kStatusLayout);
  op.Number = static_cast<int>(layout);
  op.Flags = FlagsNow();
  Push(std::move(op), false);
}

void QtFrontend::RepaintDoneFlags() {
  UiOperation op = MakeOperation(UiOperation::kDoneFlags);
  op.Flags = FlagsNow();
  Push(std::move(op), false);
}

// Reports name a command by its Japanese caption whatever language the
// window speaks.
std::string QtFrontend::ControlCaption(int id) { return ControlCaptionUtf8(id); }

void QtFrontend::AddRecentFile(int comboId, const std::string& path) {
  UiOperation op = MakeOperation(UiOperation::kRecentFile);
  op.Number = comboId;
  op.Text = path;
  Push(std::move(op), false);
}

void QtFrontend::SetControlText(int id, const std::string& text) {
  UiOperation op = MakeOperation(UiOperation::kControlText);
  op.Number = id;
  op.Text = text;
  Push(std::move(op), false);
}

void QtFrontend::UpdateButtonStates(const HiveContext& ctx) {
  // Decided here, from the context as the caller sees it; only the result
  // crosses to the window.
  UiOperation op = MakeOperation(UiOperation::kButtons);
  op.States = ComputeButtonStates(ctx);
  Push(std::move(op), false);
}

}  // namespace quelbrix::ui
