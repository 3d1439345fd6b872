// What the commands do to the window, as calls: the output pane, the status
// bar, captions, the recent-file lists and the button states.  The CLI, the Qt
// window and the tests each implement it.  Texts passed in are in the ANSI
// code page of the run (the bytes of the report); an implementation converts
// them for display.  Calls come from the worker thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quelbrix {

struct HiveContext;

enum class StatusLayout { kIdle, kBusy };

class Frontend {
 public:
  virtual ~Frontend() = default;

  // One line of the output pane, without its line end, in a colour
  // (0x00BBGGRR: 0 black, 255 red, 0x8000 green).
  virtual void AppendPane(std::string_view ansiLine, uint32_t colour) = 0;
  virtual void ClearPane() {}
  // Part 0 is the message part; the others are the parts of the current layout.
  virtual void SetStatusText(int part, std::string_view ansiText) = 0;
  virtual void SetStatusLayout(StatusLayout) {}
  virtual void RepaintDoneFlags() {}
  // Caption of a control by id, UTF-8.  The default is the window's own.
  virtual std::string ControlCaption(int id);
  // The most-recent-first list of the read-file (1136) or load-file (1143) box.
  virtual void AddRecentFile(int comboId, const std::string& path) { (void)comboId; (void)path; }
  virtual void SetControlText(int id, const std::string& text) { (void)id; (void)text; }
  virtual void UpdateButtonStates(const HiveContext&) {}
};

// Captions of the window's controls, UTF-8; "" for an unknown id.
std::string ControlCaptionUtf8(int id);

}  // namespace quelbrix
