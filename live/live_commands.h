// The live-registry commands over the machine registry folder of the run
// (ctx.RegistryRoot): Reg save, Hive load, Hive unload and Delete subkeys,
// and the start-up test for a hive still mounted under HKLM\Rebuild.  Each
// returns true on success; RunCommand sets the status texts and flags.
#pragma once

#include <cstdint>
#include <string>

#include "core/context.h"
#include "platform/clock.h"

namespace quelbrix {

struct DeleteCounts {
  int32_t RemainingKeys = 0;
  int32_t AccessedKeys = 0;
  int32_t AccessedValues = 0;
};

// Saves HKLM\<HiveKeyName> to "<HiveKeyName>.tmp" in OutputFolder, after
// moving an older file of that name to the trash; *savedSize is the size of
// the saved file.
bool RegSaveHive(HiveContext& ctx, uint64_t* savedSize);
// Mounts InputPath under HKLM\Rebuild after keeping a time-stamped copy.
// False (and nothing mounted) when the copy cannot be made, or its name
// would pass the path limit.
bool LoadHive(HiveContext& ctx);
// Dismounts HKLM\Rebuild; *fileSize (when given) is the size of the mounted
// file after the unload wrote it.
bool UnloadHive(HiveContext& ctx, uint64_t* fileSize = nullptr);
// Empties HKLM\Rebuild: every subkey at every depth and every value; status
// part 0 shows the key being worked on.  False when the machine registry
// folder cannot be used or the emptied hive cannot be written back.
bool DeleteSubkeys(HiveContext& ctx, DeleteCounts* counts);
// Whether HKLM\Rebuild can be opened (a hive left mounted by an earlier run).
bool RebuildMounted(HiveContext& ctx);

// "%s.%s" of the path and the time as "%04d%02d%02d%02d%02d%02d".
std::string BackupName(const std::string& path, const platform::CalendarTime& time);
// Copies `path` to its BackupName for the current local time, or, when that
// name is taken, to "<name> (2)", "<name> (3)", ..., with the file's
// permissions and (where the process may) owner.  The copy's path in *copy.
platform::Status BackupCopy(const std::string& path, std::string* copy);

// After a registry call that failed: the file step behind it, when there was
// one, becomes the command's reason (ctx.Failure).  Always false.
bool RegistryRefused(HiveContext& ctx);

// Moves a file aside instead of deleting it: into the desktop trash
// ($XDG_DATA_HOME/Trash, with its info record) when that exists and lies on
// the same file system, else into "trash" in `outputFolder`.  Where the file
// went in *moved.
platform::Status MoveToTrash(const std::string& path, const std::string& outputFolder, std::string* moved);

}  // namespace quelbrix
