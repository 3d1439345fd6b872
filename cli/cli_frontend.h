// The Frontend of the `quelbrix` command: pane lines go to stdout (red and
// green with ANSI colours on a terminal), status texts to stderr, as one
// refreshing progress line on a terminal.  Texts arrive in the ANSI code page
// and are shown in UTF-8.
#pragma once

#include <chrono>
#include <mutex>
#include <string>

#include "core/frontend.h"

namespace quelbrix {

// The progress line cut in the middle to fit `columns` terminal columns
// (less one, so that it never wraps).
std::string FitProgressLine(const std::string& utf8, size_t columns);

class CliFrontend : public Frontend {
 public:
  CliFrontend(bool quiet, bool colour);
  ~CliFrontend() override;

  void AppendPane(std::string_view ansiLine, uint32_t colour) override;
  void SetStatusText(int part, std::string_view ansiText) override;

  // The last text of status part 0, in the ANSI code page.
  std::string LastStatus() const;
  // Ends the progress line and prints the final status text.
  void FinishStatus();

 private:
  bool quiet_;
  bool colour_;
  bool statusTty_;
  bool progressShown_ = false;
  std::string lastStatus_;
  std::chrono::steady_clock::time_point lastPaint_{};
  mutable std::mutex mutex_;
};

}  // namespace quelbrix
