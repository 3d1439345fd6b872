#include "cli/messages.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace quelbrix {

void SayFileProblem(const std::string& path, const std::string& reason) {
  if (path.empty())
    std::fprintf(stderr, "quelbrix: %s\n", reason.c_str());
  else
    std::fprintf(stderr, "quelbrix: %s: %s\n", path.c_str(), reason.c_str());
}

std::string HiveFileReason(const std::string& path) {
  if (path.empty()) return "empty file name";
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return std::strerror(errno);
  if (S_ISDIR(st.st_mode)) return std::strerror(EISDIR);
  if (!S_ISREG(st.st_mode)) return "not a regular file";
  if (st.st_size < 4096)
    return std::to_string(st.st_size) + " bytes, shorter than the 4096-byte base block of a hive";
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::strerror(errno);
  char head[4] = {};
  ssize_t got = read(fd, head, sizeof head);
  int readError = errno;
  close(fd);
  if (got < 0) return std::strerror(readError);
  if (got < 4 || std::memcmp(head, "regf", 4) != 0) return "not a registry hive (no \"regf\" signature at its start)";
  return std::string();
}

std::string CreateFileReason(const std::string& path) {
  if (path.empty()) return "empty file name";
  std::string::size_type slash = path.find_last_of('/');
  std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  struct stat st {};
  if (stat(folder.c_str(), &st) != 0) return folder + ": " + std::strerror(errno);
  if (!S_ISDIR(st.st_mode)) return folder + ": " + std::strerror(ENOTDIR);
  if (access(folder.c_str(), W_OK | X_OK) != 0) return folder + ": " + std::strerror(errno);
  if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return std::strerror(EISDIR);
  if (path.size() >= 260) return "path longer than 259 characters";
  return std::string();
}

}  // namespace quelbrix
