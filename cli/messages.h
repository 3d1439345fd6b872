// The English line that follows one of the system's own failure texts on
// stderr: "quelbrix: PATH: REASON", so a person knows which file and why.
#pragma once

#include <string>

namespace quelbrix {

// Prints "quelbrix: PATH: REASON" on stderr.
void SayFileProblem(const std::string& path, const std::string& reason);

// Why a hive file fails the checks before Read (missing, a directory, too
// short, unreadable, no "regf" signature); "" when it passes them.
std::string HiveFileReason(const std::string& path);

// Why a file cannot be created at `path`: its folder is missing, not a folder
// or not writable; "" when nothing explains it from outside.
std::string CreateFileReason(const std::string& path);

}  // namespace quelbrix
