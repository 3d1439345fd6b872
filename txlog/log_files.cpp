#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "platform/files.h"
#include "txlog/txlog.h"

namespace quelbrix::txlog {
namespace {

// Logs larger than this cannot belong to a hive the image can hold.
constexpr uint64_t kMaxLogBytes = 0x7FFFFFFFu;

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  return s;
}

}  // namespace

std::vector<std::string> FindLogs(const std::string& hivePath) {
  std::string folder = platform::FolderOf(hivePath);
  if (folder.empty()) folder = ".";
  std::string base = Upper(platform::FileNameOf(hivePath));
  const std::string wanted[3] = {base + ".LOG", base + ".LOG1", base + ".LOG2"};
  std::vector<std::string> found[3];
  std::error_code ec;
  for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    if (!it->is_regular_file(ec)) continue;
    std::string name = it->path().filename().string();
    std::string upper = Upper(name);
    for (int i = 0; i < 3; ++i)
      if (upper == wanted[i]) found[i].push_back(folder + "/" + name);
  }
  std::vector<std::string> logs;
  for (auto& names : found) {
    // Two names that differ only in case: the first by byte order, every run.
    std::sort(names.begin(), names.end());
    if (!names.empty()) logs.push_back(names.front());
  }
  return logs;
}

std::vector<LogInput> ReadLogs(const std::vector<std::string>& paths) {
  std::vector<LogInput> logs;
  for (const std::string& path : paths) {
    LogInput log;
    log.Name = platform::FileNameOf(path);
    uint64_t size = platform::FileSizeOf(path);
    if (size > 0 && size <= kMaxLogBytes) {
      if (FILE* f = std::fopen(path.c_str(), "rb")) {
        log.Bytes.resize(static_cast<size_t>(size));
        if (std::fread(log.Bytes.data(), 1, log.Bytes.size(), f) != log.Bytes.size()) log.Bytes.clear();
        std::fclose(f);
      }
    }
    logs.push_back(std::move(log));
  }
  return logs;
}

}  // namespace quelbrix::txlog
