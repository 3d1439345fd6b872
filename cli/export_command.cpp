#include "cli/export_command.h"

#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string_view>

#include "cli/interrupt.h"
#include "cli/json_values.h"
#include "cli/messages.h"
#include "cli/outcome.h"
#include "platform/files.h"
#include "platform/text.h"
#include "registry/hive_reader.h"
#include "registry/reg_file.h"

namespace quelbrix {
namespace {

using registry::RegistryKey;
using registry::RegistryValue;

// One object per key, in tree order, each naming its whole path: a flat list
// needs no recursion to write, however deep the hive.
std::string JsonText(const RegistryKey& key, std::u16string_view path, const std::string& hive, size_t skipped) {
  nlohmann::json keys = nlohmann::json::array();
  std::vector<std::pair<const RegistryKey*, std::u16string>> pending{{&key, std::u16string(path)}};
  while (!pending.empty()) {
    auto [at, atPath] = std::move(pending.back());
    pending.pop_back();
    nlohmann::json entry = nlohmann::json::object();
    bool exact;
    entry["path"] = Utf8Of(atPath);
    entry["name"] = Utf8Of(at->Name, &exact);
    if (!exact) entry["name_utf16le"] = HexUnits(at->Name);
    entry["last_write"] = TimeJson(at->LastWrite);
    if (!at->Class.empty()) entry["class"] = Utf8Of(at->Class);
    entry["subkey_count"] = at->Subkeys.size();
    nlohmann::json values = nlohmann::json::array();
    for (const RegistryValue& value : at->Values) values.push_back(ValueJson(value));
    entry["values"] = std::move(values);
    keys.push_back(std::move(entry));
    for (size_t i = at->Subkeys.size(); i-- > 0;)
      pending.emplace_back(at->Subkeys[i].get(), registry::JoinKeyPath(atPath, at->Subkeys[i]->Name));
  }
  nlohmann::json out = {{"hive", hive}, {"key", Utf8Of(path)}, {"unreadable_parts", skipped}, {"keys", std::move(keys)}};
  return out.dump(1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

// KEY's components, any letter case, from the root; null when one is missing.
const RegistryKey* FindKey(const RegistryKey& root, std::u16string_view path, std::u16string* storedPath) {
  const RegistryKey* at = &root;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(u'\\', start);
    if (end == std::u16string_view::npos) end = path.size();
    std::u16string_view name = path.substr(start, end - start);
    start = end + 1;
    if (name.empty()) continue;  // a leading, trailing or doubled backslash
    at = at->Subkey(name);
    if (at == nullptr) return nullptr;
    *storedPath = registry::JoinKeyPath(*storedPath, at->Name);
  }
  return at;
}

bool WriteStdout(const std::string& bytes) {
  return std::fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size() && std::fflush(stdout) == 0;
}

}  // namespace

int RunExport(const ExportRequest& request) {
  bool toStdout = request.output.empty() || request.output == "-";
  // UTF-16 on a terminal shows as spaced-out letters; refused before a large hive is read.
  if (toStdout && request.format == "reg" && isatty(STDOUT_FILENO)) {
    std::fputs("quelbrix: export: the .reg format is UTF-16; use -o FILE, --format json, or pipe it\n", stderr);
    return kExitUsage;
  }
  std::string reason = HiveFileReason(request.hive);
  if (!reason.empty()) {
    SayFileProblem(request.hive, reason);
    return kExitFailed;
  }
  registry::RegistryTree tree;
  registry::ReadDamage damage;
  if (platform::Status read = registry::ReadHiveFileTolerant(request.hive, &tree, &damage); !read) {
    SayFileProblem(request.hive, "cannot be read: " + read.Reason);
    return kExitFailed;
  }
  std::u16string path = request.prefixGiven ? platform::Utf8ToUtf16(request.prefix) : tree.Root->Name;
  const RegistryKey* key = FindKey(*tree.Root, platform::Utf8ToUtf16(request.key), &path);
  if (key == nullptr) {
    SayFileProblem(request.hive, "no key " + request.key + (damage.Skipped ? " among the parts that could be read" : ""));
    return kExitFailed;
  }
  std::string bytes = request.format == "json" ? JsonText(*key, path, platform::AbsolutePath(request.hive), damage.Skipped)
                                               : registry::RegFileBytes(*key, path);
  // Ctrl-C while the hive was read: nothing is written.
  if (Interrupted()) return kExitAborted;
  if (toStdout) {
    if (!WriteStdout(bytes)) {
      SayFileProblem("stdout", "write failed");
      return kExitFailed;
    }
  } else {
    std::string target = platform::AbsolutePath(request.output);
    if (target.size() >= 260) {
      SayFileProblem(target, "path longer than 259 characters");
      return kExitFailed;
    }
    platform::WriteOptions options;
    options.proceed = [] { return !Interrupted(); };
    options.privateFile = !platform::OthersMayRead(request.hive);
    if (platform::Status written = platform::WriteFileAtomic(target, bytes.data(), bytes.size(), options); !written) {
      if (Interrupted()) return kExitAborted;
      SayFileProblem("", written.Text());
      return kExitFailed;
    }
  }
  if (damage.Skipped == 0) return kExitOk;
  std::fprintf(stderr, "quelbrix: %s: %zu unreadable part%s left out of the export:\n", request.hive.c_str(),
               damage.Skipped, damage.Skipped == 1 ? "" : "s");
  for (const std::string& why : damage.Reasons) std::fprintf(stderr, "  %s\n", why.c_str());
  if (damage.Skipped > damage.Reasons.size())
    std::fprintf(stderr, "  (and %zu more)\n", damage.Skipped - damage.Reasons.size());
  return kExitDamage;
}

}  // namespace quelbrix
