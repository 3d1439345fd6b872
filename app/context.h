// HiveContext: the command runner's record of a run.  The front end fills the
// paths and flags; RunCommand reads and changes the rest, and hands the passes
// the PassState it extends.  One instance lives for the whole process.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/commands.h"
#include "core/pass_state.h"
#include "live/live_commands.h"
#include "platform/status.h"

namespace quelbrix {

class Frontend;
struct HiveContext;
namespace txlog {
struct Outcome;
}
namespace platform {
class StreamedWriter;
}

// Index into DoneFlags; also the status-bar part that shows the flag.
enum DoneFlag : int {
  kReadDone = 1,
  kRepairDone = 2,
  kDefragDone = 3,
  kWriteDone = 4,
  kHiveLoaded = 5,
  kDeleteDone = 6,
  kRebuildDone = 7,
};

struct ImageFree {
  size_t Bytes = 0;  // of the image with its reserve pages
  void operator()(uint8_t* p) const;
};

// The passes' lines and status texts as the runner shows them: the report
// file (up to its limit) and the window.
class ReportOutput final : public PassOutput {
 public:
  explicit ReportOutput(HiveContext& ctx) : ctx_(ctx) {}
  void FileLine(std::string_view ansi) override;
  void PaneLine(uint32_t colour, std::string_view ansi) override;
  void PaneLineShown(uint32_t colour, std::string_view ansi, std::string_view utf8) override;
  bool ShowsStatus() const override;
  void Progress(uint64_t done, uint64_t total) override;
  void Status(int part, std::string_view ansi, std::string_view shown, std::string_view ansiTail) override;

 private:
  void WriteLine(std::string_view text);
  HiveContext& ctx_;
};

struct HiveContext : PassState, LiveJob {
  HiveContext() { Out = &Output; }
  HiveContext(const HiveContext&) = delete;
  HiveContext& operator=(const HiveContext&) = delete;

  uint32_t OsMinorVersion = 0;
  uint32_t OsMajorVersion = 10;  // what the command rules see: a current system
  Frontend* UI = nullptr;  // stands for the window, status bar and output pane
  int32_t CommandId = 0;
  std::atomic<uint8_t> Busy{0};
  uint8_t DoneFlags[8] = {};
  // Set when a registry step the command depends on failed (the mount could
  // not be opened or written back): the command then reports its failure.
  bool RegistryFailed = false;
  // The report file of the last scan of this image ("" after Read), which a
  // failed Write adds its reason to.
  std::string ReportPath;
  // The image holds what a failed Repair or Defrag left of its work: Write
  // refuses it until the next Read.
  bool ImageUnfit = false;
  // Bytes written to the open report and the most it may take (0: no
  // limit); past the limit the report drops every line.
  uint64_t ReportBytes = 0;
  uint64_t ReportLimit = 0;
  bool ReportFull = false;
  FILE* ReportFile = nullptr;
  // The report of a scan, where the runner could make one; lines go here
  // rather than to ReportFile then.
  platform::StreamedWriter* ReportSink = nullptr;
  bool ReportOpen() const { return ReportFile != nullptr || ReportSink != nullptr; }
  std::string LoadedHivePath;
  // Transaction logs: NoLogs examines the file as stored; LogOutcome is what
  // the last Read applied or refused, for the report.
  bool NoLogs = false;
  // The commands after Read only read the image (the command line's Search):
  // Read may map the file instead of copying it.
  bool MapInput = false;
  std::shared_ptr<txlog::Outcome> LogOutcome;
  std::unique_ptr<uint8_t, ImageFree> ImageOwner;
  // Makes the pages of a mapped file and of the AccessMap's block index
  // present after a Read; stopped and joined before the image goes.
  std::jthread MapToucher;
  ReportOutput Output{*this};

  bool Done(DoneFlag f) const { return DoneFlags[f] != 0; }
  void SetDone(DoneFlag f, bool on) { DoneFlags[f] = on ? 1 : 0; }
};

}  // namespace quelbrix
