#include "platform/files.h"

#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <sys/random.h>
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

#include "platform/streamed_file.h"

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

Status Fail(const char* action, const std::string& path, int error) { return Status::Failed(action, path, error); }

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

// A new file beside `path` named ".NAME.XXXXXX" with six random letters;
// O_EXCL makes a name that anything (a link too) already holds fail, and the
// next is tried.
int OpenNew(const std::string& path, mode_t mode, std::string* tempPath) {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::string folder = FolderOf(path);
  if (folder.empty()) folder = ".";
  const std::string stem = folder + "/." + FileNameOf(path) + ".";
  for (int attempt = 0; attempt < 100; ++attempt) {
    unsigned char random[6];
    if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) return -1;
    std::string name = stem;
    for (unsigned char r : random) name += kLetters[r % (sizeof kLetters - 1)];
    int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd >= 0) {
      *tempPath = name;
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
  errno = EEXIST;
  return -1;
}

std::string UserName(uid_t uid) {
  struct passwd entry {};
  struct passwd* found = nullptr;
  char buffer[1024];
  if (getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr) return found->pw_name;
  return "uid " + std::to_string(uid);
}

// Another user's link in a folder anyone may write is refused: whoever
// planted it chose where our bytes would go.
bool MayFollowLink(const struct stat& link, const std::string& folder) {
  struct stat dir {};
  if (stat(folder.c_str(), &dir) != 0) return false;
  if ((dir.st_mode & S_IWOTH) == 0) return true;
  return link.st_uid == geteuid() || link.st_uid == 0;
}

// Pushes the components of `path` so that the first comes off the back first.
void PushComponents(const std::string& path, std::vector<std::string>* pending) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  pending->insert(pending->end(), parts.rbegin(), parts.rend());
}

// Fills a temporary file beside `target` through fill(fd), gives it the owner,
// group and permission bits of `like` (those of the file it replaces, or, for
// a copy, of its source less group and world write), flushes it and renames
// it over `target`.
template <typename Fill>
Status ReplaceWith(const std::string& target, const struct stat* like, bool mustBeNew, bool privateFile, Fill fill,
                 const std::function<bool()>& proceed = nullptr) {
  std::string tmpl;
  int fd = -1;
  if (!Injected("open")) {
    mode_t mode = privateFile ? 0600 : 0644;
    if (like != nullptr && mustBeNew) mode = like->st_mode & 0755;
    fd = OpenNew(target, mode, &tmpl);
  }
  if (fd < 0) return Fail("write", target, errno);
  const char* action = "write";
  bool ok = !Injected("write") && fill(fd);
  if (ok && like != nullptr) {
    // The group (and owner) first: a change of owner clears set-id bits.
    if ((like->st_uid != geteuid() || like->st_gid != getegid()) && fchown(fd, like->st_uid, like->st_gid) != 0)
      (void)!fchown(fd, static_cast<uid_t>(-1), like->st_gid);
    // A replaced file keeps its mode; a new one keeps what it was made with.
    if (!mustBeNew) ok = fchmod(fd, like->st_mode & 07777) == 0;
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
  if (ok && proceed && !proceed()) {
    ok = false;
    error = ECANCELED;
  }
  if (!ok) {
    unlink(tmpl.c_str());
    return Fail(action, target, error);
  }
  return RenameIntoPlace(tmpl, target, mustBeNew);
}

}  // namespace

Status FollowNamedPath(const std::string& path, std::string* target) {
  std::vector<std::string> pending;
  PushComponents(AbsolutePath(path), &pending);
  std::string resolved;  // "" is the root
  int links = 0;
  while (!pending.empty()) {
    std::string part = std::move(pending.back());
    pending.pop_back();
    if (part == ".") continue;
    if (part == "..") {
      resolved = FolderOf(resolved);
      if (resolved == "/") resolved.clear();
      continue;
    }
    std::string next = resolved + "/" + part;
    struct stat st {};
    if (lstat(next.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      resolved = std::move(next);
      continue;
    }
    if (!MayFollowLink(st, resolved.empty() ? "/" : resolved)) {
      return Status::Failed("write", next, EPERM,
                            "symbolic link of " + UserName(st.st_uid) + " in a folder anyone may write; not followed");
    }
    if (++links > 40) return Fail("write", path, ELOOP);
    std::vector<char> text(PATH_MAX + 1);
    ssize_t n = readlink(next.c_str(), text.data(), text.size() - 1);
    if (n < 0) return Fail("write", next, errno);
    std::string to(text.data(), static_cast<size_t>(n));
    if (!to.empty() && to[0] == '/') resolved.clear();
    PushComponents(to, &pending);
  }
  // A path without links stays as it was given.
  *target = links == 0 ? path : (resolved.empty() ? "/" : resolved);
  return Status();
}

int CreateBeside(const std::string& path, bool privateFile, std::string* tempPath, Status* failure) {
  int fd = Injected("open") ? -1 : OpenNew(path, privateFile ? 0600 : 0644, tempPath);
  if (fd < 0) *failure = Fail("write", path, errno);
  return fd;
}

Status RenameIntoPlace(const std::string& tempPath, const std::string& path, bool mustBeNew) {
  bool ok = !Injected("rename");
  if (ok && mustBeNew) {
    ok = renameat2(AT_FDCWD, tempPath.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0;
    // A file system without it: a hard link is refused just the same by whatever holds the name.
    if (!ok && (errno == EINVAL || errno == ENOSYS)) ok = link(tempPath.c_str(), path.c_str()) == 0 && unlink(tempPath.c_str()) == 0;
  } else if (ok) {
    ok = rename(tempPath.c_str(), path.c_str()) == 0;
  }
  if (!ok) {
    int error = errno;
    unlink(tempPath.c_str());
    return Fail("rename", path, error);
  }
  // The new name lasts only once the folder is on disk too; a file system
  // that cannot flush a folder has the file in place all the same.
  std::string folder = FolderOf(path);
  int dir = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    (void)fsync(dir);
    close(dir);
  }
  return Status();
}

bool OthersMayRead(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) != 0 || (st.st_mode & S_IROTH) != 0;
}

Status AppendToFile(const std::string& path, const std::string& bytes) {
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return Fail("write", path, errno);
  bool ok = WriteAll(fd, bytes.data(), bytes.size());
  int error = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  return ok ? Status() : Fail("write", path, error);
}

void SetFileFailuresForTest(const std::string& plan) {
  FailureSeam& seam = Seam();
  std::lock_guard<std::mutex> guard(seam.lock);
  seam.Parse(plan);
}

Status WriteFileAtomic(const std::string& path, const void* data, size_t size, const WriteOptions& options) {
  std::string target = path;
  if (!options.replaceLink)
    if (Status followed = FollowNamedPath(path, &target); !followed) return followed;
  struct stat st {};
  // A link that is to be replaced stands for no file.
  bool exists = (options.replaceLink ? lstat(target.c_str(), &st) : stat(target.c_str(), &st)) == 0 &&
                !S_ISLNK(st.st_mode);
  if (exists && S_ISDIR(st.st_mode)) return Fail("write", target, EISDIR);
  if (exists && !MayReplace(target, st)) return Fail("write", target, EACCES);
  const char* bytes = static_cast<const char*>(data);
  return ReplaceWith(target, exists ? &st : nullptr, false, options.privateFile,
                     [&](int fd) { return WriteAll(fd, bytes, size); }, options.proceed);
}

Status MayReplaceFile(const std::string& path) {
  std::string target;
  if (Status followed = FollowNamedPath(path, &target); !followed) return followed;
  struct stat st {};
  if (stat(target.c_str(), &st) != 0) return Fail("write", target, errno);
  if (S_ISDIR(st.st_mode)) return Fail("write", target, EISDIR);
  if (!MayReplace(target, st)) return Fail("write", target, EACCES);
  std::string folder = FolderOf(target);
  if (folder.empty()) folder = ".";
  if (faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0) return Fail("write", target, errno);
  return Status();
}

Status CopyFileAtomic(const std::string& from, const std::string& to) {
  int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return Fail("read", from, errno);
  struct stat st {};
  if (fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
    int error = S_ISREG(st.st_mode) ? errno : EINVAL;
    close(in);
    return Fail("read", from, error);
  }
  struct stat there {};
  if (lstat(to.c_str(), &there) == 0) {
    close(in);
    return Fail("copy", to, EEXIST);
  }
  bool readFailed = false;
  int readError = 0;
  Status copied = ReplaceWith(to, &st, true, false, [&](int fd) {
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
  if (!copied && readFailed) return Fail("read", from, readError);
  return copied;
}

Status CloseWrittenFile(StreamedWriter& writer, const std::string& path) {
  int error = writer.Error();
  if (error == 0 && Injected("close")) error = errno;
  const int closed = writer.Close();
  if (error == 0) error = closed;
  if (error != 0) return Fail("write", path, error);
  return Status();
}

Status CloseWrittenFile(FILE* f, const std::string& path) {
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
  return Status();
}

}  // namespace quelbrix::platform
