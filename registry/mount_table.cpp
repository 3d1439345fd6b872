#include "registry/mount_table.h"

#include <cstdio>

#include "platform/files.h"

namespace quelbrix::registry {

// One mount a line: the key name, a tab, the hive path.  Neither may hold a
// tab or a line end, which RegLoadKey refuses.
std::vector<Mount> ReadMountTable(const std::string& folder) {
  std::vector<Mount> mounts;
  FILE* f = std::fopen((folder + "/" + kMountTableFile).c_str(), "rb");
  if (f == nullptr) return mounts;
  std::string text;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
  std::fclose(f);
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    size_t tab = line.find('\t');
    if (tab != std::string::npos && tab > 0 && tab + 1 < line.size())
      mounts.push_back({line.substr(0, tab), line.substr(tab + 1)});
    start = end + 1;
  }
  return mounts;
}

platform::Status WriteMountTable(const std::string& folder, const std::vector<Mount>& mounts) {
  std::string text;
  for (const auto& m : mounts) text += m.KeyName + "\t" + m.HivePath + "\n";
  platform::WriteOptions options;
  options.replaceLink = true;
  return platform::WriteFileAtomic(folder + "/" + kMountTableFile, text.data(), text.size(), options);
}

}  // namespace quelbrix::registry
