// Hive load and unload under HKLM\Rebuild, the time-stamped copy kept
// before a load, and the start-up test for a mount left by an earlier run.
#include <cerrno>

#include "core/report_log.h"
#include "live/live_commands.h"
#include "platform/files.h"
#include "registry/registry.h"

namespace quelbrix {
namespace {

constexpr const char* kMountPoint = "Rebuild";
// "%s.%s" adds a dot and 14 digits to the path.
constexpr size_t kBackupSuffix = 15;

}  // namespace

std::string BackupName(const std::string& path, const platform::CalendarTime& t) {
  char stamp[32];
  FormatText(stamp, sizeof stamp, "%04d%02d%02d%02d%02d%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
  return path + "." + stamp;
}

platform::Status BackupCopy(const std::string& path, std::string* copy) {
  std::string target = BackupName(path, platform::LocalNow());
  // A copy made in the same second as an earlier one gets a numbered name
  // rather than replacing it; so does a name that anything else holds.
  std::string name = target;
  for (int n = 2;; ++n) {
    platform::Status copied = platform::CopyFileAtomic(path, name);
    if (copied) *copy = name;
    if (copied || copied.Code != EEXIST || n > 1000) return copied;
    name = target + " (" + std::to_string(n) + ")";
  }
}

bool RegistryRefused(LiveJob& job) {
  if (platform::Status why = registry::LastFileFailure(); !why) job.Failure = why;
  return false;
}

bool LoadHive(LiveJob& job) {
  if (job.InputPath.empty() || job.InputPath.size() + kBackupSuffix >= kMaxPath) return false;
  // Without the copy there is no way back from what the mount's changes do.
  std::string backup;
  if (platform::Status copied = BackupCopy(job.InputPath, &backup); !copied) {
    job.Failure = copied;
    return false;
  }
  if (!registry::SelectMachineRegistry(job.RegistryRoot)) return false;
  return registry::RegLoadKeyA(registry::HKEY_LOCAL_MACHINE, kMountPoint, job.InputPath.c_str()) ==
             registry::ERROR_SUCCESS ||
         RegistryRefused(job);
}

bool UnloadHive(LiveJob& job, uint64_t* fileSize) {
  if (!registry::SelectMachineRegistry(job.RegistryRoot)) return false;
  // The mount table names the file even when another run loaded it.
  std::string file = registry::MountedHivePath(kMountPoint);
  if (registry::RegUnLoadKeyA(registry::HKEY_LOCAL_MACHINE, kMountPoint) != registry::ERROR_SUCCESS)
    return RegistryRefused(job);
  if (fileSize != nullptr) *fileSize = platform::FileSizeOf(file);
  return true;
}

bool RebuildMounted(LiveJob& job) {
  if (!registry::SelectMachineRegistry(job.RegistryRoot)) return false;
  registry::HKEY key = 0;
  if (registry::RegOpenKeyExA(registry::HKEY_LOCAL_MACHINE, kMountPoint, 0, registry::KEY_ALL_ACCESS, &key) !=
      registry::ERROR_SUCCESS)
    return false;
  registry::RegCloseKey(key);
  return true;
}

}  // namespace quelbrix
