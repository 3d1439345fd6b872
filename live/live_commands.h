// The live-registry commands: Reg save, Hive load, Hive unload and Delete
// subkeys, over the machine registry folder.  Each returns true on success.
#pragma once

#include <cstdint>

#include "core/context.h"

namespace quelbrix {

struct DeleteCounts {
  int32_t RemainingKeys = 0;
  int32_t AccessedKeys = 0;
  int32_t AccessedValues = 0;
};

// Saves HKLM\<HiveKeyName> to "<HiveKeyName>.tmp" in OutputFolder; *savedSize
// is the size of the saved file.
bool RegSaveHive(HiveContext& ctx, uint64_t* savedSize);
// Mounts InputPath under HKLM\Rebuild after keeping a time-stamped copy.
bool LoadHive(HiveContext& ctx);
// Dismounts HKLM\Rebuild.
bool UnloadHive(HiveContext& ctx);
// Empties HKLM\Rebuild.  False when the walk could not start.
bool DeleteSubkeys(HiveContext& ctx, DeleteCounts* counts);
// Whether HKLM\Rebuild holds a mounted hive (one left by an earlier run).
bool RebuildMounted(HiveContext& ctx);

}  // namespace quelbrix
