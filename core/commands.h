// The commands by the id of their window button, and the limits every
// command checks names against.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quelbrix {

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

// Paths keep the 260-character limit of the format's home platform as a check.
constexpr size_t kMaxPath = 260;
constexpr size_t kMaxKeyName = 256;

}  // namespace quelbrix
