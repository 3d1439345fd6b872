// What the commands do to the window, as calls: the output pane, the status
// bar, captions, the recent-file lists and the button states.  The CLI, the Qt
// window and the tests each implement it.  Texts passed to AppendPane and
// SetStatusText are in the ANSI code page of the run (the bytes of the
// report); ShowPaneLine and ShowStatus add the form people see, which the
// terminal and the window show in UTF-8 whatever the code page.  Calls come
// from the worker thread.
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
  // The same texts with what people see: `utf8Line` is the line in UTF-8
  // (file names as the file system spells them); a status text is `shown`
  // (UTF-8, in the run's language) followed by `ansiTail` (names from the
  // hive in the code page, converted only when painted: the walk sets one
  // per key).  The defaults hand on the ANSI text.
  virtual void ShowPaneLine(std::string_view ansiLine, std::string_view utf8Line, uint32_t colour);
  virtual void ShowStatus(int part, std::string_view ansiText, std::string_view shown, std::string_view ansiTail);
  // How far the running step is: `done` of `total` units (keys, bytes of
  // bins), for the terminal's progress line only; total 0 means no share is
  // known (the step ended).  The key walk calls it every few hundred keys, so
  // it only stores the numbers: the next status paints them.
  virtual void ShowProgress(uint64_t done, uint64_t total) { (void)done; (void)total; }
  virtual void SetStatusLayout(StatusLayout) {}
  virtual void RepaintDoneFlags() {}
  // Caption of a control by id, UTF-8, as reports name the command (Japanese
  // in every language).
  virtual std::string ControlCaption(int id);
  // The most-recent-first list of the read-file (1136) or load-file (1143) box.
  virtual void AddRecentFile(int comboId, const std::string& path) { (void)comboId; (void)path; }
  virtual void SetControlText(int id, const std::string& text) { (void)id; (void)text; }
  virtual void UpdateButtonStates(const HiveContext&) {}
};

// The share of a step done as it leads a progress line, "59% " (at most
// "99% ": the step's end is shown by the status that follows); "" for no
// total.
std::string ProgressShare(uint64_t done, uint64_t total);

// Captions of the window's controls, UTF-8; "" for an unknown id.
std::string ControlCaptionUtf8(int id);

// The ANSI caption of a command's button, as RunCommand shows it and the
// passes name the command in their status texts.
std::string CommandCaption(HiveContext& ctx, int32_t id);

}  // namespace quelbrix
