#include "app/startup.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <cstring>

#include "core/report_log.h"
#include "core/texts.h"
#include "platform/files.h"

namespace quelbrix {

bool DiagnosticPath(const std::string& executablePath) {
  std::string lower = executablePath;
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  return lower.find("release") != std::string::npos || lower.find("quelbrix\\debug") != std::string::npos ||
         lower.find("quelbrix/debug") != std::string::npos;
}

bool InstalledUnderPrefix(const std::string& executableFolder) {
  return platform::FileNameOf(executableFolder) == "bin" &&
         platform::IsDirectory(platform::FolderOf(executableFolder) + "/share/quelbrix");
}

void InitContext(HiveContext& ctx) {
  std::string exe = platform::ExecutablePath();
  ctx.OutputFolder = platform::FolderOf(exe);
  ctx.DiagnosticMode = DiagnosticPath(exe) ? 1 : 0;
  ctx.OsMajorVersion = 10;
  ctx.OsMinorVersion = 0;
  ctx.RegistryRoot = ctx.OutputFolder + "/registry";
  if (InstalledUnderPrefix(ctx.OutputFolder)) {
    std::error_code ec;
    std::string here = std::filesystem::current_path(ec).string();
    ctx.OutputFolder = ec ? std::string("/tmp") : here;
    const char* data = std::getenv("XDG_DATA_HOME");
    const char* home = std::getenv("HOME");
    std::string base = data != nullptr && *data == '/' ? std::string(data)
                       : home != nullptr && *home != '\0' ? std::string(home) + "/.local/share"
                                                          : ctx.OutputFolder;
    ctx.RegistryRoot = base + "/quelbrix/registry";
  }
}

std::string CheckHiveFile(const std::string& path) {
  if (path.empty() || platform::IsDirectory(path) || platform::FileSizeOf(path) < 4096) return "FileSize Error";
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return Ansi(JapaneseText(TextId::kCannotReadFile));
  unsigned char head[4096];
  size_t got = std::fread(head, 1, sizeof head, f);
  std::fclose(f);
  if (got < 4 || std::memcmp(head, "regf", 4) != 0) return "regf Signature Error";
  return std::string();
}

std::string ShownHiveFileProblem(const std::string& problem) {
  // The one text in the program's own words; the others are ASCII.
  return problem == Ansi(JapaneseText(TextId::kCannotReadFile)) ? ShownText(TextId::kCannotReadFile) : problem;
}

bool ImageHasRegf(const HiveContext& ctx) {
  return ctx.Image != nullptr && ctx.ImageSize >= 4 && std::memcmp(ctx.Image, "regf", 4) == 0;
}

}  // namespace quelbrix
