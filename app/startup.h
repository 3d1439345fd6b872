// Start-up of a run: fills the HiveContext from the program's own path (its
// output folder and diagnostic mode) and the default machine registry folder.
// CheckHiveFile: the test that a file is a hive worth reading.
#pragma once

#include <string>

#include "app/context.h"

namespace quelbrix {

// DiagnosticMode follows the executable's path: "release", or "Quelbrix"
// followed by "debug" with either slash, case-insensitive.
bool DiagnosticPath(const std::string& executablePath);

// Installed under a prefix (PREFIX/bin beside PREFIX/share/quelbrix), the
// program's folder is a system folder: output goes to the current folder and
// the machine registry folder to $XDG_DATA_HOME/quelbrix/registry.
bool InstalledUnderPrefix(const std::string& executableFolder);

void InitContext(HiveContext& ctx);

// Empty on success; otherwise the ANSI message that goes to status part 0
// ("FileSize Error", "ファイルが読めません", "regf Signature Error").
std::string CheckHiveFile(const std::string& path);
// That message as people see it: UTF-8, in the run's language.
std::string ShownHiveFileProblem(const std::string& problem);

// Whether the image in memory starts with "regf" (the precondition of the
// hive commands).
bool ImageHasRegf(const HiveContext& ctx);

}  // namespace quelbrix
