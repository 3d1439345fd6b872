#include "cli/messages.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/context.h"
#include "core/texts.h"

namespace quelbrix {
namespace {

// A path as the shell takes it back: quoted when it holds anything but
// the characters no shell treats specially.
std::string ShellWord(const std::string& path) {
  bool plain = !path.empty();
  for (char c : path)
    plain = plain && (std::isalnum(static_cast<unsigned char>(c)) || std::strchr("/._-+,:@%=", c) != nullptr ||
                      static_cast<unsigned char>(c) >= 0x80);
  if (plain) return path;
  std::string quoted = "'";
  for (char c : path) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

}  // namespace

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

namespace quelbrix {

std::string SummaryLine(const RunSummary& run) {
  const bool en = CurrentLanguage() == Language::kEnglish;
  std::string line = en ? "summary: " : "結果: ";
  if (run.ExitStatus == 130) {
    line += FormatShown(ShownText(TextId::kAborted), ShownCaption(run.CommandId).c_str());
  } else if (run.Stopped) {
    line += en ? FormatShown("the scan stopped at damage it cannot pass (%u fault%s)", run.Faults,
                             run.Faults == 1 ? "" : "s")
               : FormatShown("先へ進めない障害でスキャンが停止 (障害 %u 件)", run.Faults);
  } else if (run.ExitStatus != 0 && run.ExitStatus != 3) {
    line += FormatShown(ShownText(TextId::kFailed), ShownCaption(run.CommandId).c_str());
  } else if (run.Faults == 0) {
    line += en ? "no damage found" : "障害なし";
  } else {
    line += en ? FormatShown("%u fault%s found", run.Faults, run.Faults == 1 ? "" : "s")
               : FormatShown("障害 %u 件", run.Faults);
  }
  if (run.Report.empty())
    line += en ? "; no report" : "; レポートなし";
  else
    line += (en ? "; report " : "; レポート ") + run.Report;
  if (run.WritesHive) {
    if (run.Output.empty())
      line += en ? "; no hive written" : "; ハイブ書込なし";
    else
      line += (en ? "; hive written to " : "; ハイブ書込 ") + run.Output;
  }
  // Damage with no repaired copy yet: repair it into a new file.  A repaired
  // copy: search it to see what is left.
  std::string next;
  if (run.ExitStatus == 3 && run.CommandId == kCmdRepair && !run.Output.empty())
    next = "quelbrix search " + ShellWord(run.Output);
  else if (run.ExitStatus == 3 || (run.Stopped && run.CommandId != kCmdRepair))
    next = "quelbrix repair " + ShellWord(run.Hive) + " -o OUT";
  if (!next.empty()) line += (en ? "; next: " : "; 次: ") + next;
  return line;
}

}  // namespace quelbrix
