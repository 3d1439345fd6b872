#include "cli/recover_command.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "cli/interrupt.h"
#include "cli/json_values.h"
#include "cli/messages.h"
#include "cli/outcome.h"
#include "hive/names.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "platform/text.h"
#include "registry/hive_reader.h"
#include "txlog/txlog.h"

namespace quelbrix {
namespace {

using deleted::DeletedScan;
using deleted::RecoveredKey;
using deleted::RecoveredValue;

std::string Hex8(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", v);
  return text;
}

// `path` is `under` or lies below it (letter case a-z ignored); "" is everything.
bool Under(std::u16string_view path, std::u16string_view under) {
  if (under.empty()) return true;
  if (path.size() < under.size()) return false;
  if (CompareSiblingOrder(path.substr(0, under.size()), under) != 0) return false;
  return path.size() == under.size() || path[under.size()] == u'\\';
}

nlohmann::json ValueOf(const RecoveredValue& value) {
  registry::RegistryValue as;
  as.Name = value.Name;
  as.Type = value.Type;
  as.Data = value.Data;
  nlohmann::json out = ValueJson(as);
  out["complete"] = value.Complete;
  return out;
}

std::u16string Trimmed(std::u16string path) {
  while (!path.empty() && path.front() == u'\\') path.erase(path.begin());
  while (!path.empty() && path.back() == u'\\') path.pop_back();
  return path;
}

struct Selection {
  std::vector<int> keys;      // indexes in scan.Keys, tree order
  std::vector<int> values;    // indexes in scan.Values
};

Selection Select(const DeletedScan& scan, std::u16string_view under) {
  Selection s;
  for (size_t i = 0; i < scan.Keys.size(); ++i) {
    const RecoveredKey& k = scan.Keys[i];
    if (under.empty() || (k.PathComplete && Under(k.Path, under))) s.keys.push_back(static_cast<int>(i));
  }
  for (size_t i = 0; i < scan.Values.size(); ++i) {
    const RecoveredValue& v = scan.Values[i];
    if (under.empty() || (v.LiveKey != deleted::kNone && Under(v.LiveKeyPath, under)))
      s.values.push_back(static_cast<int>(i));
  }
  return s;
}

std::string JsonText(const DeletedScan& scan, const Selection& s, const std::string& hive) {
  nlohmann::json keys = nlohmann::json::array();
  for (int i : s.keys) {
    const RecoveredKey& k = scan.Keys[i];
    nlohmann::json entry = nlohmann::json::object();
    bool exact;
    entry["offset"] = k.Offset;
    entry["path"] = Utf8Of(k.Path);
    entry["path_complete"] = k.PathComplete;
    entry["name"] = Utf8Of(k.Name, &exact);
    if (!exact) entry["name_utf16le"] = HexUnits(k.Name);
    entry["last_write"] = TimeJson(k.LastWrite);
    entry["parent_offset"] = k.ParentOffset;
    if (k.HasClass) entry["class"] = Utf8Of(k.Class);
    nlohmann::json values = nlohmann::json::array();
    for (const RecoveredValue& v : k.Values) values.push_back(ValueOf(v));
    entry["values"] = std::move(values);
    keys.push_back(std::move(entry));
  }
  nlohmann::json values = nlohmann::json::array();
  for (int i : s.values) {
    const RecoveredValue& v = scan.Values[i];
    nlohmann::json entry = {{"offset", v.Offset}};
    if (v.LiveKey != deleted::kNone)
      entry["key_path"] = Utf8Of(v.LiveKeyPath);
    else
      entry["key_path"] = nullptr;
    entry.update(ValueOf(v));
    values.push_back(std::move(entry));
  }
  nlohmann::json out = {{"hive", hive}, {"keys", std::move(keys)}, {"values", std::move(values)}};
  return out.dump(1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

// One line of a value: name, type and data as export's JSON gives them.
std::string ValueLine(const RecoveredValue& v) {
  nlohmann::json j = ValueOf(v);
  std::string name = v.Name.empty() ? "(default)" : "\"" + Utf8Of(v.Name) + "\"";
  std::string data = j.contains("data") ? j["data"].dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)
                                        : "hex:" + j["hex"].get<std::string>();
  return name + " " + j["type"].get<std::string>() + " = " + data + (v.Complete ? "" : "  (incomplete)");
}

std::string TimeText(uint64_t fileTime) {
  nlohmann::json t = TimeJson(fileTime);
  return t.is_null() ? "-" : t.get<std::string>();
}

std::string TextOf(const DeletedScan& scan, const Selection& s, const std::string& hive) {
  std::string out;
  size_t reaching = 0, values = 0, complete = 0;
  for (int i : s.keys) {
    reaching += scan.Keys[i].PathComplete;
    values += scan.Keys[i].Values.size();
    for (const RecoveredValue& v : scan.Keys[i].Values) complete += v.Complete;
  }
  for (int i : s.values) complete += scan.Values[i].Complete;
  values += s.values.size();
  out += hive + ": " + std::to_string(s.keys.size()) + " deleted keys (" + std::to_string(reaching) +
         " with a path from the root), " + std::to_string(values) + " deleted values (" + std::to_string(complete) +
         " complete)\n";
  std::vector<uint8_t> selected(scan.Keys.size(), 0);
  for (int i : s.keys) selected[i] = 1;
  std::vector<int> depth(scan.Keys.size(), 0);
  for (int i : s.keys) {
    const RecoveredKey& k = scan.Keys[i];
    bool top = k.Parent < 0 || !selected[k.Parent];
    depth[i] = top ? 0 : depth[k.Parent] + 1;
    std::string indent(2 * depth[i], ' ');
    out += "\n" + indent + (top ? Utf8Of(k.Path) + (k.PathComplete ? "" : "  (parent gone)") : Utf8Of(k.Name));
    out += "  [" + TimeText(k.LastWrite) + "] @" + Hex8(k.Offset) + "\n";
    if (k.HasClass) out += indent + "  class: " + Utf8Of(k.Class) + "\n";
    for (const RecoveredValue& v : k.Values) out += indent + "  - " + ValueLine(v) + "\n";
  }
  if (!s.values.empty()) out += "\nValues of no recovered key:\n";
  for (int i : s.values) {
    const RecoveredValue& v = scan.Values[i];
    std::string where = v.LiveKey != deleted::kNone ? Utf8Of(v.LiveKeyPath) + ": " : "(key unknown): ";
    out += "  " + where + ValueLine(v) + "  @" + Hex8(v.Offset) + "\n";
  }
  return out;
}

// The whole file in memory that comes zeroed from the kernel in huge pages
// (a vector would zero it first, and 4 KiB page faults cost as much as the
// scan).  Read, not mapped: a file cut short by someone else meanwhile must
// not end the process.
class FileBytes {
 public:
  explicit FileBytes(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    struct stat st {};
    if (fstat(fd, &st) == 0 && st.st_size > 0) {
      capacity_ = static_cast<size_t>(st.st_size);
      data_ = platform::AllocateZeroed(capacity_);
      size_t got = 0;
      while (data_ != nullptr && got < capacity_) {
        ssize_t n = read(fd, data_ + got, capacity_ - got);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
      }
      size_ = got == capacity_ ? got : 0;
    }
    close(fd);
  }
  ~FileBytes() { platform::FreeZeroed(data_, capacity_); }
  FileBytes(const FileBytes&) = delete;
  FileBytes& operator=(const FileBytes&) = delete;
  const uint8_t* Data() const { return size_ != 0 ? data_ : nullptr; }
  size_t Size() const { return size_; }

 private:
  uint8_t* data_ = nullptr;
  size_t capacity_ = 0;
  size_t size_ = 0;
};

}  // namespace

int FindUndeleteTarget(const DeletedScan& scan, const std::string& target) {
  if (!target.empty() && target[0] == '@') {
    char* end = nullptr;
    unsigned long long offset = std::strtoull(target.c_str() + 1, &end, 0);
    if (end == target.c_str() + 1 || *end != '\0' || offset > 0xFFFFFFFFull) return -1;
    return deleted::FindRecoveredKeyAt(scan, static_cast<uint32_t>(offset));
  }
  return deleted::FindRecoveredKey(scan, Trimmed(platform::Utf8ToUtf16(target)));
}

int RunRecover(const RecoverRequest& request) {
  std::string reason = HiveFileReason(request.hive);
  if (!reason.empty()) {
    SayFileProblem(request.hive, reason);
    return kExitFailed;
  }
  // A dirty hive with logs beside it is read as export reads it, its logs
  // applied.
  FileBytes file(request.hive);
  std::vector<uint8_t> bytes;
  const uint8_t* data = file.Data();
  size_t size = file.Size();
  if (data == nullptr ||
      (!request.noLogs && txlog::IsDirty(data, size) && !txlog::FindLogs(request.hive).empty())) {
    if (platform::Status read = registry::LoadHiveBytes(request.hive, &bytes); !read) {
      SayFileProblem(request.hive, "cannot be read: " + read.Reason);
      return kExitFailed;
    }
    data = bytes.data();
    size = bytes.size();
  }
  DeletedScan scan = deleted::FindDeleted(data, size);
  if (!scan.Readable) {
    SayFileProblem(request.hive, "cannot be read: no bins to look through");
    return kExitFailed;
  }
  if (Interrupted()) return kExitAborted;
  Selection s = Select(scan, Trimmed(platform::Utf8ToUtf16(request.key)));
  std::string hive = platform::AbsolutePath(request.hive);
  std::string text = request.format == "json" ? JsonText(scan, s, hive) : TextOf(scan, s, hive);
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
    SayFileProblem("stdout", "write failed");
    return kExitFailed;
  }
  return kExitOk;
}

}  // namespace quelbrix
