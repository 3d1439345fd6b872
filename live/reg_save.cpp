// Reg save: one of the machine's hives to "<name>.tmp" in the output folder,
// an older file of that name first moved to the trash.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/report_log.h"
#include "live/live_commands.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "registry/registry.h"

namespace quelbrix {
namespace {

std::string DesktopTrash() {
  const char* data = std::getenv("XDG_DATA_HOME");
  if (data != nullptr && *data == '/') return std::string(data) + "/Trash";
  const char* home = std::getenv("HOME");
  if (home != nullptr && *home == '/') return std::string(home) + "/.local/share/Trash";
  return std::string();
}

// The path as the trash's info record wants it: bytes outside the URI
// unreserved set and '/' percent-encoded.
std::string EncodePath(const std::string& path) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : path) {
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                 c == '_' || c == '.' || c == '~' || c == '/';
    if (plain) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

// Creates `path` only when it does not exist yet; the record reserves the name.
bool CreateExclusive(const std::string& path, const std::string& text) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
  if (fd < 0) return false;
  bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ok = close(fd) == 0 && ok;
  if (!ok) unlink(path.c_str());
  return ok;
}

std::string MoveToDesktopTrash(const std::string& path, const std::string& trash) {
  std::string files = trash + "/files", info = trash + "/info";
  if (!platform::MakeDirectories(files) || !platform::MakeDirectories(info)) return std::string();
  platform::CalendarTime t = platform::LocalNow();
  char date[32];
  FormatText(date, sizeof date, "%04d-%02d-%02dT%02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
  std::string record = "[Trash Info]\nPath=" + EncodePath(path) + "\nDeletionDate=" + date + "\n";
  std::string base = platform::FileNameOf(path);
  for (int n = 1; n < 10000; ++n) {
    std::string name = n == 1 ? base : base + "." + std::to_string(n);
    std::string infoPath = info + "/" + name + ".trashinfo";
    if (!CreateExclusive(infoPath, record)) {
      if (errno == EEXIST) continue;
      return std::string();
    }
    std::string target = files + "/" + name;
    if (platform::FileExists(target)) {
      unlink(infoPath.c_str());
      continue;
    }
    if (std::rename(path.c_str(), target.c_str()) == 0) return target;
    unlink(infoPath.c_str());
    // Another file system, or no right to move it: this trash cannot take it.
    return std::string();
  }
  return std::string();
}

}  // namespace

platform::Status MoveToTrash(const std::string& path, const std::string& outputFolder, std::string* moved) {
  std::string trash = DesktopTrash();
  if (!trash.empty() && platform::IsDirectory(trash)) {
    *moved = MoveToDesktopTrash(path, trash);
    if (!moved->empty()) return platform::Status();
  }
  std::string folder = outputFolder + "/trash";
  if (!platform::MakeDirectories(folder)) return platform::Status::Failed("write", folder, errno != 0 ? errno : EACCES);
  std::string base = folder + "/" + platform::FileNameOf(path);
  std::string target = base;
  for (int n = 2; platform::FileExists(target); ++n) target = base + "." + std::to_string(n);
  if (std::rename(path.c_str(), target.c_str()) != 0) return platform::Status::Failed("rename", path, errno);
  *moved = target;
  return platform::Status();
}

bool RegSaveHive(LiveJob& job, uint64_t* savedSize) {
  *savedSize = 0;
  std::string target = job.OutputFolder + "/" + job.HiveKeyName + ".tmp";
  if (job.HiveKeyName.empty() || target.size() >= kMaxPath) return false;
  // As the recycle bin would, this keeps the older file; if it cannot be
  // moved, RegSaveKeyA refuses to replace it and the command fails.
  if (platform::FileExists(target)) {
    std::string moved;
    // Said when the save then fails on the file still standing there.
    if (platform::Status kept = MoveToTrash(target, job.OutputFolder, &moved); !kept) job.Failure = kept;
  }
  if (!registry::SelectMachineRegistry(job.RegistryRoot)) return false;
  // A hive whose changes cannot reach its file would be saved ahead of it.
  if (registry::RegFlushKey(registry::HKEY_LOCAL_MACHINE) != registry::ERROR_SUCCESS) return RegistryRefused(job);
  registry::HKEY key = 0;
  if (registry::RegOpenKeyExA(registry::HKEY_LOCAL_MACHINE, job.HiveKeyName.c_str(), 0, registry::KEY_ALL_ACCESS,
                              &key) != registry::ERROR_SUCCESS)
    return false;
  bool saved = registry::RegSaveKeyA(key, target.c_str(), nullptr) == registry::ERROR_SUCCESS || RegistryRefused(job);
  if (saved) *savedSize = platform::FileSizeOf(target);
  registry::RegCloseKey(key);
  return saved;
}

}  // namespace quelbrix
