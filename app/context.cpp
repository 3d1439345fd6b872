#include "app/context.h"

#include <cstdio>

#include "app/frontend.h"
#include "core/report_log.h"
#include "platform/memory.h"
#include "platform/streamed_file.h"

namespace quelbrix {

void ImageFree::operator()(uint8_t* p) const { platform::FreeZeroed(p, Bytes); }

void ReportOutput::FileLine(std::string_view text) {
  if (!ctx_.ReportOpen() || ctx_.ReportFull) return;
  uint64_t line = text.size() + 2;
  if (ctx_.ReportLimit != 0 && ctx_.ReportBytes + line > ctx_.ReportLimit) {
    ctx_.ReportFull = true;
    ctx_.CommandFailed = true;
    char note[160];
    std::snprintf(note, sizeof note, "ReportSize Error Limit=%llu: no more lines are written",
                  static_cast<unsigned long long>(ctx_.ReportLimit));
    WriteLine(note);
    if (ctx_.UI != nullptr) ctx_.UI->AppendPane(note, kRed);
    return;
  }
  ctx_.ReportBytes += line;
  WriteLine(text);
}

// Only the scan's thread writes the report: no locking per line.
void ReportOutput::WriteLine(std::string_view text) {
  if (ctx_.ReportSink != nullptr) {
    ctx_.ReportSink->Append(text);
    ctx_.ReportSink->Append("\r\n");
    return;
  }
  fwrite_unlocked(text.data(), 1, text.size(), ctx_.ReportFile);
  fwrite_unlocked("\r\n", 1, 2, ctx_.ReportFile);
}

// Past the report's limit the pane drops its lines too.
void ReportOutput::PaneLine(uint32_t colour, std::string_view ansi) {
  if (ctx_.ReportFull) return;
  if (ctx_.UI != nullptr) ctx_.UI->AppendPane(ansi, colour);
}

void ReportOutput::PaneLineShown(uint32_t colour, std::string_view ansi, std::string_view utf8) {
  if (ctx_.ReportFull) return;
  if (ctx_.UI != nullptr) ctx_.UI->ShowPaneLine(ansi, utf8, colour);
}

bool ReportOutput::ShowsStatus() const { return ctx_.UI != nullptr; }

void ReportOutput::Progress(uint64_t done, uint64_t total) {
  if (ctx_.UI != nullptr) ctx_.UI->ShowProgress(done, total);
}

void ReportOutput::Status(int part, std::string_view ansi, std::string_view shown, std::string_view ansiTail) {
  if (ctx_.UI != nullptr) ctx_.UI->ShowStatus(part, ansi, shown, ansiTail);
}

}  // namespace quelbrix
