// PassState: what the passes of a scan work on and nothing else: the image,
// the command's rules, where their lines and findings go, and the state the
// passes hand each other (descriptors, salvaged cells, the free-space index).
// The command runner's context extends it with the files, the window and the
// done flags, which no pass sees.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/pass_rules.h"
#include "core/shadow_store.h"

namespace quelbrix {

struct DescriptorList;
class FreeSpaceIndex;
class FindingSink;

// Where the passes' report lines, pane lines and progress go.  The runner
// writes them to the report file and the window; a test may record them.
class PassOutput {
 public:
  // One line of the report file, without its line end (ANSI code page).
  virtual void FileLine(std::string_view ansi) = 0;
  // One line of the output pane in a colour (0 black, 255 red, 0x8000 green).
  virtual void PaneLine(uint32_t colour, std::string_view ansi) = 0;
  // The same for a line that holds the program's own words or a file name:
  // `utf8` is the form people see.
  virtual void PaneLineShown(uint32_t colour, std::string_view ansi, std::string_view utf8) = 0;
  // Whether anyone sees status texts and progress: the passes skip making
  // them when not.
  virtual bool ShowsStatus() const = 0;
  // How far the running step is (total 0: the step ended).
  virtual void Progress(uint64_t done, uint64_t total) = 0;
  // A status text: `ansi` for the report's code page, `shown` what people
  // read, followed by `ansiTail` (a name from the hive).
  virtual void Status(int part, std::string_view ansi, std::string_view shown, std::string_view ansiTail) = 0;

 protected:
  ~PassOutput() = default;
};

// The registry calls of Hive rebuild, as the key walk and the value step make
// them; the runner implements them over the machine registry.
using RegHandle = uint64_t;  // 0 = none
class RebuildTarget {
 public:
  virtual RegHandle OpenRoot() = 0;
  // name and className NUL-terminated UTF-16 (className empty for none);
  // descriptor may be null.
  virtual RegHandle CreateKey(RegHandle parent, const char16_t* name, const char16_t* className,
                              const uint8_t* descriptor, uint32_t descriptorLength) = 0;
  // Sets the key's last-write time (a FILETIME) and closes it; closing the
  // root writes the mounted hive back.
  virtual void CloseKey(RegHandle key, uint64_t lastWrite, bool root) = 0;
  virtual void SetValueW(RegHandle key, const char16_t* name, uint32_t type, const uint8_t* data,
                         uint32_t length) = 0;

 protected:
  ~RebuildTarget() = default;
};

struct PassState {
  uint32_t HiveMinorVersion = 0;
  uint32_t HiveMajorVersion = 0;
  uint64_t FileSize = 0;
  uint32_t ImageSize = 0;
  uint8_t* Image = nullptr;  // the HiveImage
  // The bytes of its AccessMap, sized with it.
  ShadowStore Shadow;
  // The pages past the file's end that Repair and Defrag may grow the bins into.
  uint32_t ReservePages = 0;
  // The file the image was read from, as the report names it.
  std::string CurrentFile;
  // The AccessMap is still as allocated (zero): the first scan after a Read
  // need not clear it.
  bool AccessMapZero = false;

  // The rules of the running scan, and the mode they were made in.
  PassRules Rules;
  uint8_t DiagnosticMode = 0;
  // The running command's caption, as the status texts name it: in the
  // report's code page and as people read it.
  std::string CaptionAnsi;
  std::string CaptionShown;
  std::atomic<uint8_t> AbortRequested{0};

  PassOutput* Out = nullptr;
  // Who else hears of each finding (a JSON list, the window); none by default.
  FindingSink* Findings = nullptr;
  // Findings of severity fault, for the command line's verdict.
  uint32_t FaultLines = 0;
  // The key walk's current path while it runs, for the findings it makes.
  const std::string* WalkPath = nullptr;
  // Hive rebuild's registry; none for the other commands.
  RebuildTarget* Rebuild = nullptr;

  // Set when the last scan ended at damage it cannot walk past (a broken base
  // block, bin or root key): nothing was repaired or rebuilt, so the command
  // line must not call that a success nor write the image out.
  bool ScanStopped = false;
  // Set when a scan command could not finish its work soundly (the Defrag
  // rounds went nowhere, the report reached its size limit): the command
  // ends as failed.  Cleared when the next scan command starts.
  bool CommandFailed = false;

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
  int32_t (*DefragRoundPass)(PassState&) = nullptr;

  // The output for status texts and progress, or null when nobody sees them.
  PassOutput* StatusOut() const { return Out != nullptr && Out->ShowsStatus() ? Out : nullptr; }
  bool Aborted() const { return AbortRequested.load(std::memory_order_relaxed) != 0; }
};

}  // namespace quelbrix
