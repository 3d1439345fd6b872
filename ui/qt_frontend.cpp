#include "ui/qt_frontend.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include "platform/text.h"
#include "ui/main_window.h"

namespace quelbrix::ui {

QtFrontend::QtFrontend(MainWindow& window, HiveContext& ctx) : window_(window), ctx_(ctx) {}

bool QtFrontend::OnGuiThread() const { return QThread::currentThread() == window_.thread(); }

std::array<uint8_t, 8> QtFrontend::FlagsNow() const {
  std::array<uint8_t, 8> flags{};
  for (size_t i = 0; i < flags.size(); ++i) flags[i] = ctx_.DoneFlags[i];
  return flags;
}

void QtFrontend::Push(UiOperation op, bool mayWait) {
  bool post = false;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (detached_) return;
    if (mayWait && !OnGuiThread())
      drained_.wait(lock, [this] { return detached_ || queue_.size() < kQueueLimit; });
    if (detached_) return;
    queue_.push_back(std::move(op));
    if (!drainPosted_) drainPosted_ = post = true;
  }
  // The window owns this frontend, so the queued call dies with it.
  if (post) QMetaObject::invokeMethod(&window_, [this] { Drain(); }, Qt::QueuedConnection);
}

void QtFrontend::Drain() {
  std::vector<UiOperation> batch;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    batch.swap(queue_);
    drainPosted_ = false;
  }
  drained_.notify_all();
  window_.Apply(batch);
}

void QtFrontend::Detach() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    detached_ = true;
    queue_.clear();
  }
  drained_.notify_all();
}

void QtFrontend::AppendPane(std::string_view ansiLine, uint32_t colour) {
  UiOperation op = MakeOperation(UiOperation::kPaneLine);
  op.Colour = colour;
  op.Text = platform::AnsiToUtf8(ansiLine);
  Push(std::move(op), true);
}

void QtFrontend::ClearPane() { Push(MakeOperation(UiOperation::kClearPane), false); }

void QtFrontend::SetStatusText(int part, std::string_view ansiText) {
  UiOperation op = MakeOperation(UiOperation::kStatusText);
  op.Number = part;
  op.Text = part == 0 ? platform::AnsiToUtf8(ansiText) : std::string(ansiText);
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

std::string QtFrontend::ControlCaption(int id) {
  if (OnGuiThread()) return window_.CaptionOf(id).toStdString();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (detached_) return ControlCaptionUtf8(id);
  }
  QString caption;
  QMetaObject::invokeMethod(&window_, [&] { caption = window_.CaptionOf(id); }, Qt::BlockingQueuedConnection);
  return caption.toStdString();
}

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
