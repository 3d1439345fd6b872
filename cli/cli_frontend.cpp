#include "cli/cli_frontend.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "core/report_log.h"
#include "platform/text.h"

namespace quelbrix {

CliFrontend::CliFrontend(bool quiet, bool colour)
    : quiet_(quiet), colour_(colour && isatty(STDOUT_FILENO)), statusTty_(isatty(STDERR_FILENO)) {
  // Report lines come by the million on a large hive: buffer them.
  static char buffer[1 << 16];
  std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
}

CliFrontend::~CliFrontend() { std::fflush(stdout); }

void CliFrontend::AppendPane(std::string_view ansiLine, uint32_t colour) {
  if (quiet_) return;
  std::string text = platform::AnsiToUtf8(ansiLine);
  if (colour_ && colour == kRed) {
    std::fprintf(stdout, "\x1b[31m%s\x1b[0m\n", text.c_str());
  } else if (colour_ && colour == kGreen) {
    std::fprintf(stdout, "\x1b[32m%s\x1b[0m\n", text.c_str());
  } else {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
  }
}

void CliFrontend::SetStatusText(int part, std::string_view ansiText) {
  if (part != 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  lastStatus_.assign(ansiText);
  if (!statusTty_) return;
  // The walk sets a status per key: repaint the progress line at most ten
  // times a second.
  auto now = std::chrono::steady_clock::now();
  if (progressShown_ && now - lastPaint_ < std::chrono::milliseconds(100)) return;
  lastPaint_ = now;
  std::fflush(stdout);
  std::string text = platform::AnsiToUtf8(ansiText);
  std::fprintf(stderr, "\r\x1b[K%s", text.c_str());
  std::fflush(stderr);
  progressShown_ = true;
}

std::string CliFrontend::LastStatus() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lastStatus_;
}

void CliFrontend::FinishStatus() {
  std::fflush(stdout);
  std::lock_guard<std::mutex> lock(mutex_);
  std::string text = platform::AnsiToUtf8(lastStatus_);
  if (statusTty_) std::fprintf(stderr, "\r\x1b[K");
  std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stderr);
  progressShown_ = false;
}

}  // namespace quelbrix
