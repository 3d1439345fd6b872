// The Frontend of the `quelbrix` command: pane lines go to stdout (red and
// green with ANSI colours on a terminal), status texts to stderr, as one
// refreshing progress line on a terminal.  Both are UTF-8 whatever the code
// page: the program's own words as the core hands them, names from the hive
// converted from the code page, file names as the file system spells them.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

#include "app/frontend.h"

namespace quelbrix {

// The progress line cut in the middle to fit `columns` terminal columns
// (less one, so that it never wraps).
std::string FitProgressLine(const std::string& utf8, size_t columns);
// The painted line: the share of the step done ("37% ", at most 99% while the
// step runs; none when `total` is 0 or the terminal is too narrow), then the
// text fitted to the columns left.
std::string ProgressLine(const std::string& utf8, uint64_t done, uint64_t total, size_t columns);

class CliFrontend : public Frontend {
 public:
  CliFrontend(bool quiet, bool colour);
  ~CliFrontend() override;

  void AppendPane(std::string_view ansiLine, uint32_t colour) override;
  void SetStatusText(int part, std::string_view ansiText) override;
  void ShowPaneLine(std::string_view ansiLine, std::string_view utf8Line, uint32_t colour) override;
  void ShowStatus(int part, std::string_view ansiText, std::string_view shown, std::string_view ansiTail) override;
  void ShowProgress(uint64_t done, uint64_t total) override;

  // The last text of status part 0 as people see it, UTF-8.
  std::string LastStatus() const;
  // Ends the progress line and prints the final status text.
  void FinishStatus();

 private:
  void PrintLine(std::string_view utf8, uint32_t colour);

  bool quiet_;
  bool colour_;
  bool statusTty_;
  bool progressShown_ = false;
  std::string shownHead_;  // of the last status, UTF-8
  std::string ansiTail_;   // of the last status, in the code page
  uint64_t done_ = 0, total_ = 0;  // of the running step; total_ 0: no share
  std::chrono::steady_clock::time_point lastPaint_{};
  mutable std::mutex mutex_;
};

}  // namespace quelbrix
