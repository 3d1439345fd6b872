#include "cli/cli_frontend.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <utility>
#include <vector>

#include "core/report_log.h"
#include "platform/text.h"

namespace quelbrix {

namespace {

size_t TerminalColumns() {
  struct winsize size {};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

// Columns a code point takes on a terminal: East Asian wide and full-width
// forms take two.
size_t Columns(char32_t c) {
  bool wide = (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF) || (c >= 0xAC00 && c <= 0xD7A3) ||
              (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
              (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x20000 && c <= 0x3FFFD);
  return wide ? 2 : 1;
}

}  // namespace

std::string FitProgressLine(const std::string& utf8, size_t columns) {
  // Split into code points with their widths; a stray byte counts as one.
  std::vector<std::pair<std::string, size_t>> units;
  size_t total = 0;
  for (size_t i = 0; i < utf8.size();) {
    unsigned char b = static_cast<unsigned char>(utf8[i]);
    size_t n = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 1;
    if (i + n > utf8.size()) n = 1;
    char32_t c = n == 1 ? b : static_cast<char32_t>(b & (0x7F >> n));
    for (size_t k = 1; k < n; ++k) c = c << 6 | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    units.emplace_back(utf8.substr(i, n), Columns(c));
    total += units.back().second;
    i += n;
  }
  // One column stays free so the cursor never wraps.
  if (columns < 8 || total < columns) return utf8;
  const size_t room = columns - 1 - 3;  // "..." in the middle
  size_t headRoom = room / 2, tailRoom = room - headRoom;
  std::string head, tail;
  size_t used = 0, i = 0;
  for (; i < units.size() && used + units[i].second <= headRoom; ++i) {
    head += units[i].first;
    used += units[i].second;
  }
  used = 0;
  size_t j = units.size();
  for (; j > i && used + units[j - 1].second <= tailRoom; --j) used += units[j - 1].second;
  for (size_t k = j; k < units.size(); ++k) tail += units[k].first;
  return head + "..." + tail;
}

std::string ProgressLine(const std::string& utf8, uint64_t done, uint64_t total, size_t columns) {
  constexpr size_t kShareColumns = 4;
  // Too narrow for the share and a cut text: the text alone says more.
  if (total == 0 || columns < 8 + kShareColumns) return FitProgressLine(utf8, columns);
  return ProgressShare(done, total) + FitProgressLine(utf8, columns - kShareColumns);
}

CliFrontend::CliFrontend(bool quiet, bool colour)
    : quiet_(quiet), colour_(colour && isatty(STDOUT_FILENO)), statusTty_(isatty(STDERR_FILENO)) {
  // Report lines come by the million on a large hive: buffer them.
  static char buffer[1 << 16];
  std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
}

CliFrontend::~CliFrontend() { std::fflush(stdout); }

void CliFrontend::AppendPane(std::string_view ansiLine, uint32_t colour) {
  if (quiet_) return;
  PrintLine(platform::AnsiToUtf8(ansiLine), colour);
}

void CliFrontend::ShowPaneLine(std::string_view, std::string_view utf8Line, uint32_t colour) {
  if (quiet_) return;
  PrintLine(utf8Line, colour);
}

void CliFrontend::PrintLine(std::string_view text, uint32_t colour) {
  if (colour_ && colour == kRed) {
    std::fprintf(stdout, "\x1b[31m%.*s\x1b[0m\n", static_cast<int>(text.size()), text.data());
  } else if (colour_ && colour == kGreen) {
    std::fprintf(stdout, "\x1b[32m%.*s\x1b[0m\n", static_cast<int>(text.size()), text.data());
  } else {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
  }
}

void CliFrontend::SetStatusText(int part, std::string_view ansiText) { ShowStatus(part, ansiText, "", ansiText); }

void CliFrontend::ShowStatus(int part, std::string_view, std::string_view shown, std::string_view ansiTail) {
  if (part != 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  shownHead_.assign(shown);
  ansiTail_.assign(ansiTail);
  if (!statusTty_) return;
  // The walk sets a status per key: repaint the progress line at most ten
  // times a second.
  auto now = std::chrono::steady_clock::now();
  if (progressShown_ && now - lastPaint_ < std::chrono::milliseconds(100)) return;
  lastPaint_ = now;
  std::fflush(stdout);
  std::string text = ProgressLine(shownHead_ + platform::AnsiToUtf8(ansiTail_), done_, total_, TerminalColumns());
  std::fprintf(stderr, "\r\x1b[K%s", text.c_str());
  std::fflush(stderr);
  progressShown_ = true;
}

void CliFrontend::ShowProgress(uint64_t done, uint64_t total) {
  std::lock_guard<std::mutex> lock(mutex_);
  done_ = done;
  total_ = total;
}

std::string CliFrontend::LastStatus() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return shownHead_ + platform::AnsiToUtf8(ansiTail_);
}

void CliFrontend::FinishStatus() {
  std::fflush(stdout);
  std::lock_guard<std::mutex> lock(mutex_);
  std::string text = shownHead_ + platform::AnsiToUtf8(ansiTail_);
  if (statusTty_) std::fprintf(stderr, "\r\x1b[K");
  std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stderr);
  progressShown_ = false;
  done_ = total_ = 0;
}

}  // namespace quelbrix
