// Hive load and unload under HKLM\Rebuild, the time-stamped copy kept
// before a load, and the start-up test for a mount left by an earlier run.
#include <cstdio>
#include <vector>

#include "core/report_log.h"
#include "live/live_commands.h"
#include "platform/files.h"
#include "registry/registry.h"

namespace quelbrix {
namespace {

constexpr const char* kMountPoint = "Rebuild";
// "%s.%s" adds a dot and 14 digits to the path.
constexpr size_t kBackupSuffix = 15;

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  bytes->clear();
  uint8_t buffer[1 << 16];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) bytes->insert(bytes->end(), buffer, buffer + n);
  bool ok = std::ferror(f) == 0;
  std::fclose(f);
  return ok;
}

}  // namespace

std::string BackupName(const std::string& path, const platform::CalendarTime& t) {
  char stamp[32];
  FormatText(stamp, sizeof stamp, "%04d%02d%02d%02d%02d%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
  return path + "." + stamp;
}

std::string BackupCopy(const std::string& path) {
  std::string target = BackupName(path, platform::LocalNow());
  // A copy made in the same second as an earlier one gets a numbered name
  // rather than replacing it.
  std::string name = target;
  for (int n = 2; platform::FileExists(name); ++n) name = target + " (" + std::to_string(n) + ")";
  std::vector<uint8_t> bytes;
  if (!ReadWholeFile(path, &bytes)) return std::string();
  if (!platform::WriteFileAtomic(name, bytes.data(), bytes.size())) return std::string();
  return name;
}

bool LoadHive(HiveContext& ctx) {
  if (ctx.InputPath.empty() || ctx.InputPath.size() + kBackupSuffix >= kMaxPath) return false;
  BackupCopy(ctx.InputPath);
  if (!registry::SelectMachineRegistry(ctx.RegistryRoot)) return false;
  return registry::RegLoadKeyA(registry::HKEY_LOCAL_MACHINE, kMountPoint, ctx.InputPath.c_str()) ==
         registry::ERROR_SUCCESS;
}

bool UnloadHive(HiveContext& ctx) {
  if (!registry::SelectMachineRegistry(ctx.RegistryRoot)) return false;
  return registry::RegUnLoadKeyA(registry::HKEY_LOCAL_MACHINE, kMountPoint) == registry::ERROR_SUCCESS;
}

bool RebuildMounted(HiveContext& ctx) {
  if (!registry::SelectMachineRegistry(ctx.RegistryRoot)) return false;
  registry::HKEY key = 0;
  if (registry::RegOpenKeyExA(registry::HKEY_LOCAL_MACHINE, kMountPoint, 0, registry::KEY_ALL_ACCESS, &key) !=
      registry::ERROR_SUCCESS)
    return false;
  registry::RegCloseKey(key);
  return true;
}

}  // namespace quelbrix
