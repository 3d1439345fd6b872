// HiveContext: the one record of a run.  The front end fills the paths and
// flags; RunCommand and the passes read and change the rest.  One instance
// lives for the whole process.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "core/pass_rules.h"
#include "platform/status.h"

namespace quelbrix {

class Frontend;
struct DescriptorList;
class FreeSpaceIndex;
class FindingSink;
namespace txlog {
struct Outcome;
}

enum CommandId : int32_t {
  kCmdExit = 2,
  kCmdAbort = 3,
  kCmdVersion = 9,
  kCmdRead = 1024,
  kCmdSearchDates = 1025,
  kCmdSearchNoDates = 1026,
  kCmdRepair = 1027,
  kCmdDefrag = 1028,
  kCmdWrite = 1029,
  kCmdRegSave = 1030,
  kCmdHiveLoad = 1031,
  kCmdDeleteSubkeys = 1032,
  kCmdRebuild = 1033,
  kCmdHiveUnload = 1034,
  kCmdOpenInputFolder = 1036,
  kCmdOpenOutputFolder = 1037,
  kCmdOpenLoadFolder = 1038,
  kCmdOpenEditor = 1039,
  kCtlReadFileCombo = 1136,
  kCtlLoadFileCombo = 1143,
};

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

// Paths keep the 260-character limit of the format's home platform as a check.
constexpr size_t kMaxPath = 260;
constexpr size_t kMaxKeyName = 256;

struct ImageFree {
  size_t Bytes = 0;  // of the whole block: image and AccessMap
  void operator()(uint8_t* p) const;
};

struct HiveContext {
  uint32_t OsMinorVersion = 0;
  uint32_t OsMajorVersion = 10;  // what the command rules see: a current system
  uint32_t HiveMinorVersion = 0;
  uint32_t HiveMajorVersion = 0;
  uint64_t FileSize = 0;
  Frontend* UI = nullptr;  // stands for the window, status bar and output pane
  int32_t CommandId = 0;
  // The rules of the running scan, made from CommandId and DiagnosticMode
  // when it starts.
  PassRules Rules;
  std::atomic<uint8_t> Busy{0};
  std::atomic<uint8_t> AbortRequested{0};
  uint8_t DiagnosticMode = 0;
  uint8_t DoneFlags[8] = {};
  // Set when the last scan ended at damage it cannot walk past (a broken base
  // block, bin or root key): nothing was repaired or rebuilt, so the command
  // line must not call that a success nor write the image out.
  bool ScanStopped = false;
  // Set when a registry step the command depends on failed (the mount could
  // not be opened or written back): the command then reports its failure.
  bool RegistryFailed = false;
  // Why the last command failed, when a file step says so, for the report,
  // the pane and the front end's error output.
  platform::Status Failure;
  // The report file of the last scan of this image ("" after Read), which a
  // failed Write adds its reason to.
  std::string ReportPath;
  // Findings of severity fault, for the command line's verdict.
  uint32_t FaultLines = 0;
  // Who else hears of each finding (a JSON list, the window); none by default.
  FindingSink* Findings = nullptr;
  // The key walk's current path while it runs, for the findings it makes.
  const std::string* WalkPath = nullptr;
  // Set when a scan command could not finish its work soundly (the Defrag
  // rounds went nowhere, the report reached its size limit): the command
  // ends as failed.  Cleared when the next scan command starts.
  bool CommandFailed = false;
  // The image holds what a failed Repair or Defrag left of its work: Write
  // refuses it until the next Read.
  bool ImageUnfit = false;
  // The AccessMap is still as allocated (zero): the first scan after a Read
  // need not clear it.
  bool AccessMapZero = false;
  // Bytes written to the open report and the most it may take (0: no
  // limit); past the limit the report log drops every line.
  uint64_t ReportBytes = 0;
  uint64_t ReportLimit = 0;
  bool ReportFull = false;
  uint32_t ImageSize = 0;
  FILE* ReportFile = nullptr;
  uint8_t* Image = nullptr;  // HiveImage, then its AccessMap; owned by ImageOwner
  uint32_t ReservePages = 0;
  std::string InputPath;
  std::string HiveKeyName;
  std::string CurrentFile;
  std::string OutputFolder;
  std::string LoadedHivePath;

  // The machine registry folder that stands for HKEY_LOCAL_MACHINE.
  std::string RegistryRoot;
  // Distinct security descriptors of the running scan.
  DescriptorList* Descriptors = nullptr;
  // Cells the bin salvage of the running Repair or Defrag freed at a break
  // in a chain of cells, in position order: a key that names one exactly may
  // still find its value list there, whole but for the size word.
  std::vector<uint32_t> SalvagedFree;
  // What the allocator knows of full bins while a defrag pass runs; none
  // when PlainAllocatorWalk is set (every request then walks the bins).
  FreeSpaceIndex* FreeIndex = nullptr;
  // The index of the last pass, kept for its memory.
  std::shared_ptr<FreeSpaceIndex> SpareFreeIndex;
  bool PlainAllocatorWalk = false;
  // Stands for both passes of a Defrag round when set: no hive is known to
  // reach the loop's bounds any more, so tests drive them through here.
  int32_t (*DefragRoundPass)(HiveContext&) = nullptr;
  // Transaction logs: NoLogs examines the file as stored; LogOutcome is what
  // the last Read applied or refused, for the report.
  bool NoLogs = false;
  std::shared_ptr<txlog::Outcome> LogOutcome;
  std::unique_ptr<uint8_t, ImageFree> ImageOwner;

  bool Done(DoneFlag f) const { return DoneFlags[f] != 0; }
  void SetDone(DoneFlag f, bool on) { DoneFlags[f] = on ? 1 : 0; }
  bool Aborted() const { return AbortRequested.load(std::memory_order_relaxed) != 0; }
};

}  // namespace quelbrix
