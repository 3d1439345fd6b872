// The mount table of a machine registry folder: which hive file is loaded
// under which key of HKEY_LOCAL_MACHINE.  It lives in a file in the folder,
// so a mount outlives the process that made it; every change replaces the
// file atomically.
#pragma once

#include <string>
#include <vector>

#include "platform/status.h"

namespace quelbrix::registry {

struct Mount {
  std::string KeyName;  // the key under HKLM, as given to RegLoadKey
  std::string HivePath;  // absolute path of the loaded file
};

// File name of the table inside the registry folder.
constexpr const char* kMountTableFile = "mounts";

// The table's entries; empty when the file does not exist.  Lines that do not
// parse are left out.
std::vector<Mount> ReadMountTable(const std::string& folder);
platform::Status WriteMountTable(const std::string& folder, const std::vector<Mount>& mounts);

}  // namespace quelbrix::registry
