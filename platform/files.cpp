#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>
#include <vector>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace quelbrix::platform {

uint64_t FileSizeOf(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return 0;
  return static_cast<uint64_t>(st.st_size);
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

std::string ExecutablePath() {
  std::error_code ec;
  auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : p.string();
}

std::string ExecutableFolder() { return FolderOf(ExecutablePath()); }

std::string FolderOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return std::string();
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string FileNameOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string AbsolutePath(const std::string& path) {
  std::error_code ec;
  auto p = std::filesystem::absolute(path, ec);
  return ec ? path : p.lexically_normal().string();
}

bool MakeDirectories(const std::string& path) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  return IsDirectory(path);
}

namespace {

thread_local FileError t_lastError;

// The failures asked for by the test seam, and how often each operation ran.
struct FailureSeam {
  std::mutex lock;
  bool loaded = false;
  std::vector<std::pair<std::string, long>> failAt;
  std::map<std::string, long> count;

  void Parse(const std::string& plan) {
    failAt.clear();
    count.clear();
    size_t start = 0;
    while (start < plan.size()) {
      size_t end = plan.find(',', start);
      if (end == std::string::npos) end = plan.size();
      std::string item = plan.substr(start, end - start);
      size_t colon = item.find(':');
      if (colon != std::string::npos) failAt.emplace_back(item.substr(0, colon), std::atol(item.c_str() + colon + 1));
      start = end + 1;
    }
    loaded = true;
  }
};

FailureSeam& Seam() {
  static FailureSeam seam;
  return seam;
}

// True when the test seam makes this call of `op` fail; errno is then EIO.
bool Injected(const char* op) {
  FailureSeam& seam = Seam();
  std::lock_guard<std::mutex> guard(seam.lock);
  if (!seam.loaded) {
    const char* env = std::getenv("QUELBRIX_FAIL_FILE");
    seam.Parse(env != nullptr ? env : "");
  }
  if (seam.failAt.empty()) return false;
  long n = ++seam.count[op];
  for (const auto& [name, at] : seam.failAt)
    if (name == op && at == n) {
      errno = EIO;
      return true;
    }
  return false;
}

bool Fail(const char* action, const std::string& path, int error) {
  RecordFileError(action, path, error);
  return false;
}

bool WriteAll(int fd, const char* p, size_t left) {
  while (left > 0) {
    ssize_t n = write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

// A replaced file is one the user could write in place: root passes every
// permission check, so for root only a file without any write bit (the
// read-only attribute of the hive's home system) is refused.
bool MayReplace(const std::string& path, const struct stat& st) {
  if (geteuid() == 0) return (st.st_mode & 0222) != 0;
  return faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
}

// The file a write to `path` lands in: a symbolic link is followed, so the
// link stays and its target gets the new bytes.
std::string WriteTarget(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
  char* real = realpath(path.c_str(), nullptr);
  if (real == nullptr) return path;
  std::string target = real;
  std::free(real);
  return target;
}

// Fills a temporary file beside `target` through fill(fd), gives it the owner,
// group and permission bits of `like` (0644 for a new file without one),
// flushes it and renames it over `target`.
template <typename Fill>
bool ReplaceWith(const std::string& target, const struct stat* like, bool mustBeNew, Fill fill,
                 const std::function<bool()>& proceed = nullptr) {
  std::string folder = FolderOf(target);
  if (folder.empty()) folder = ".";
  std::string tmpl = folder + "/." + FileNameOf(target) + ".XXXXXX";
  int fd = Injected("open") ? -1 : mkstemp(tmpl.data());
  if (fd < 0) return Fail("write", target, errno);
  const char* action = "write";
  bool ok = !Injected("write") && fill(fd);
  if (ok && like != nullptr) {
    // The group (and owner) first: a change of owner clears set-id bits.
    if ((like->st_uid != geteuid() || like->st_gid != getegid()) && fchown(fd, like->st_uid, like->st_gid) != 0)
      (void)!fchown(fd, static_cast<uid_t>(-1), like->st_gid);
    ok = fchmod(fd, like->st_mode & 07777) == 0;
  } else if (ok) {
    ok = fchmod(fd, 0644) == 0;
  }
  if (ok && (Injected("fsync") || fsync(fd) != 0)) {
    action = "flush";
    ok = false;
  }
  int error = errno;
  bool closeFailed = Injected("close");
  int closeError = errno;
  if (close(fd) != 0) {
    closeFailed = true;
    closeError = errno;
  }
  if (closeFailed && ok) {
    ok = false;
    error = closeError;
  }
  if (ok && mustBeNew && FileExists(target)) {
    ok = false;
    error = EEXIST;
  }
  if (ok && proceed && !proceed()) {
    ok = false;
    error = ECANCELED;
  }
  if (ok && (Injected("rename") || rename(tmpl.c_str(), target.c_str()) != 0)) {
    action = "rename";
    ok = false;
    error = errno;
  }
  if (!ok) {
    unlink(tmpl.c_str());
    return Fail(action, target, error);
  }
  // The new name lasts only once the folder is on disk too; a file system
  // that cannot flush a folder has the file in place all the same.
  int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY);
  if (dir >= 0) {
    (void)fsync(dir);
    close(dir);
  }
  return true;
}

}  // namespace

FileError LastFileError() { return t_lastError; }

void ClearFileError() { t_lastError = FileError{}; }

void RecordFileError(const char* action, const std::string& path, int error) {
  t_lastError = FileError{action, path, error};
}

std::string FileErrorText(const FileError& e) {
  if (e.Errno == 0) return std::string();
  char reason[256];
  // The GNU strerror_r returns its text, which need not be in `reason`.
  const char* text = strerror_r(e.Errno, reason, sizeof reason);
  return e.Action + " failed: " + e.Path + ": " + text;
}

void SetFileFailuresForTest(const std::string& plan) {
  FailureSeam& seam = Seam();
  std::lock_guard<std::mutex> guard(seam.lock);
  seam.Parse(plan);
}

bool WriteFileAtomic(const std::string& path, const void* data, size_t size, const std::function<bool()>& proceed) {
  std::string target = WriteTarget(path);
  struct stat st {};
  bool exists = stat(target.c_str(), &st) == 0;
  if (exists && S_ISDIR(st.st_mode)) return Fail("write", target, EISDIR);
  if (exists && !MayReplace(target, st)) return Fail("write", target, EACCES);
  const char* bytes = static_cast<const char*>(data);
  return ReplaceWith(target, exists ? &st : nullptr, false, [&](int fd) { return WriteAll(fd, bytes, size); },
                     proceed);
}

bool MayReplaceFile(const std::string& path) {
  std::string target = WriteTarget(path);
  struct stat st {};
  if (stat(target.c_str(), &st) != 0) return Fail("write", target, errno);
  if (S_ISDIR(st.st_mode)) return Fail("write", target, EISDIR);
  if (!MayReplace(target, st)) return Fail("write", target, EACCES);
  std::string folder = FolderOf(target);
  if (folder.empty()) folder = ".";
  if (faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0) return Fail("write", target, errno);
  return true;
}

bool CopyFileAtomic(const std::string& from, const std::string& to) {
  int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return Fail("read", from, errno);
  struct stat st {};
  if (fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
    int error = S_ISREG(st.st_mode) ? errno : EINVAL;
    close(in);
    return Fail("read", from, error);
  }
  if (FileExists(to)) {
    close(in);
    return Fail("copy", to, EEXIST);
  }
  bool readFailed = false;
  int readError = 0;
  bool ok = ReplaceWith(to, &st, true, [&](int fd) {
    std::vector<char> buffer(1 << 20);
    for (;;) {
      ssize_t n = read(in, buffer.data(), buffer.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        readFailed = true;
        readError = errno;
        return false;
      }
      if (n == 0) return true;
      if (!WriteAll(fd, buffer.data(), static_cast<size_t>(n))) return false;
    }
  });
  close(in);
  if (!ok && readFailed) return Fail("read", from, readError);
  return ok;
}

bool CloseWrittenFile(FILE* f, const std::string& path) {
  bool ok = std::fflush(f) == 0 && std::ferror(f) == 0;
  int error = errno;
  if (ok && Injected("close")) {
    ok = false;
    error = errno;
  }
  if (std::fclose(f) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (!ok) return Fail("write", path, error != 0 ? error : EIO);
  return true;
}

}  // namespace quelbrix::platform
