// Helpers to run commands the way the window does, for tests: a temporary
// folder, a HiveContext wired to a RecordingFrontend with its OutputFolder in
// that folder, a hive image loaded through the real Read command from a file,
// and the report file of the last scan command split into lines.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/run_command.h"
#include "app/context.h"
#include "support/recording_frontend.h"

namespace quelbrix::testing {

// A fresh folder under $TMPDIR (or /tmp), removed with its content.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Sets the process-wide ANSI code page for one scope.
class CodePageScope {
 public:
  explicit CodePageScope(int codePage);
  ~CodePageScope();

 private:
  int saved_;
};

bool WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> ReadBytes(const std::string& path);
// Lines of a report file, split at "\r\n" (a trailing empty piece dropped).
std::vector<std::string> SplitCrLf(const std::vector<uint8_t>& bytes);

class HiveRun {
 public:
  HiveRun();
  HiveRun(const HiveRun&) = delete;
  HiveRun& operator=(const HiveRun&) = delete;

  // Writes the bytes to a file named `name` in the temp folder and runs Read on
  // it.  True when ReadDone is set.
  bool Load(const std::vector<uint8_t>& bytes, const std::string& name = "hive");
  // Runs one command on this thread, as the worker would.  For a scan command
  // the report path is noted first (its name carries the sequence numbers as
  // they were before the scan).
  CommandOutcome Run(int32_t commandId);

  const std::string& ReportPath() const { return reportPath_; }
  std::vector<std::string> ReportLines() const;      // ANSI
  std::vector<std::string> ReportLinesUtf8() const;
  std::string StatusUtf8() const { return ui.LastStatusUtf8(0); }
  std::string HivePath() const { return hivePath_; }
  // The HiveImage of the context (FileSize bytes).
  std::vector<uint8_t> ImageBytes() const;

  TempDir dir;
  RecordingFrontend ui;
  HiveContext ctx;

 private:
  std::string hivePath_;
  std::string reportPath_;
};

}  // namespace quelbrix::testing
