// The live-registry commands over the machine registry folder of the run
// (job.RegistryRoot): Reg save, Hive load, Hive unload and Delete subkeys,
// and the start-up test for a hive still mounted under HKLM\Rebuild.  Each
// returns true on success; RunCommand sets the status texts and flags.
#pragma once

#include <cstdint>
#include <string>

#include "core/commands.h"
#include "core/pass_state.h"
#include "platform/clock.h"
#include "platform/status.h"

namespace quelbrix {

// What a live command works on: the run's folders and names, and the reason
// of its failure when a file step gives one.
struct LiveJob {
  std::string InputPath;
  std::string HiveKeyName;
  std::string OutputFolder;
  // The machine registry folder that stands for HKEY_LOCAL_MACHINE.
  std::string RegistryRoot;
  // Why the last command failed, when a file step says so, for the report,
  // the pane and the front end's error output.
  platform::Status Failure;
};

struct DeleteCounts {
  int32_t RemainingKeys = 0;
  int32_t AccessedKeys = 0;
  int32_t AccessedValues = 0;
};

// Saves HKLM\<HiveKeyName> to "<HiveKeyName>.tmp" in OutputFolder, after
// moving an older file of that name to the trash; *savedSize is the size of
// the saved file.
bool RegSaveHive(LiveJob& job, uint64_t* savedSize);
// Mounts InputPath under HKLM\Rebuild after keeping a time-stamped copy.
// False (and nothing mounted) when the copy cannot be made, or its name
// would pass the path limit.
bool LoadHive(LiveJob& job);
// Dismounts HKLM\Rebuild; *fileSize (when given) is the size of the mounted
// file after the unload wrote it.
bool UnloadHive(LiveJob& job, uint64_t* fileSize = nullptr);
// Empties HKLM\Rebuild: every subkey at every depth and every value; status
// part 0 shows the key being worked on (through `run`'s output, named by its
// caption; its abort ends the walk).  False when the machine registry folder
// cannot be used or the emptied hive cannot be written back.
bool DeleteSubkeys(LiveJob& job, const PassState& run, DeleteCounts* counts);
// Whether HKLM\Rebuild can be opened (a hive left mounted by an earlier run).
bool RebuildMounted(LiveJob& job);

// "%s.%s" of the path and the time as "%04d%02d%02d%02d%02d%02d".
std::string BackupName(const std::string& path, const platform::CalendarTime& time);
// Copies `path` to its BackupName for the current local time, or, when that
// name is taken, to "<name> (2)", "<name> (3)", ..., with the file's
// permissions and (where the process may) owner.  The copy's path in *copy.
platform::Status BackupCopy(const std::string& path, std::string* copy);

// After a registry call that failed: the file step behind it, when there was
// one, becomes the command's reason (job.Failure).  Always false.
bool RegistryRefused(LiveJob& job);

// Moves a file aside instead of deleting it: into the desktop trash
// ($XDG_DATA_HOME/Trash, with its info record) when that exists and lies on
// the same file system, else into "trash" in `outputFolder`.  Where the file
// went in *moved.
platform::Status MoveToTrash(const std::string& path, const std::string& outputFolder, std::string* moved);

}  // namespace quelbrix
