#include "live/live_commands.h"

namespace quelbrix {

// The machine registry is not part of this build yet: every live command
// fails honestly, so RunCommand reports "%sに失敗しました".
bool RegSaveHive(HiveContext&, uint64_t* savedSize) {
  *savedSize = 0;
  return false;
}
bool LoadHive(HiveContext&) { return false; }
bool UnloadHive(HiveContext&) { return false; }
bool DeleteSubkeys(HiveContext&, DeleteCounts* counts) {
  *counts = DeleteCounts{};
  return false;
}
bool RebuildMounted(HiveContext&) { return false; }

}  // namespace quelbrix
