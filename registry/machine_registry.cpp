// The machine registry behind the Reg* calls: the folder, the hives loaded
// from it, the mount table and the handle table.
#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/commands.h"
#include "platform/files.h"
#include "platform/text.h"
#include "registry/hive_reader.h"
#include "registry/hive_writer.h"
#include "registry/mount_table.h"
#include "registry/registry.h"
#include "registry/registry_tree.h"

namespace quelbrix::registry {
namespace {

const char* const kMachineHives[] = {"SYSTEM", "SOFTWARE", "SAM", "SECURITY"};

std::string Upper(std::string_view text) {
  std::string out(text);
  for (auto& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

bool IsMachineHive(std::string_view name) {
  std::string upper = Upper(name);
  return std::any_of(std::begin(kMachineHives), std::end(kMachineHives), [&](const char* h) { return upper == h; });
}

struct LoadedHive {
  std::string KeyName;  // upper-case name under HKLM
  std::string Path;
  RegistryTree Tree;
  bool Dirty = false;
  int Handles = 0;
  // Descriptors of created keys, shared by content.
  std::unordered_map<std::string, Descriptor> Descriptors;
};

struct Slot {
  std::shared_ptr<LoadedHive> Hive;
  std::shared_ptr<RegistryKey> Key;
};

// A key reached from a handle: its hive and the key itself (null for HKLM).
struct Target {
  std::shared_ptr<LoadedHive> Hive;
  std::shared_ptr<RegistryKey> Key;
};

class MachineRegistry {
 public:
  std::mutex Lock;

  bool Select(const std::string& folder) {
    failure_ = platform::Status();
    if (folder == folder_) return true;
    if (!handles_.empty()) return false;
    for (auto& [name, hive] : loaded_)
      if (hive->Dirty) Commit(*hive);
    loaded_.clear();
    folder_ = folder;
    return true;
  }

  // The hive mounted as HKLM\name, read when first needed.
  LONG Hive(std::string_view name, std::shared_ptr<LoadedHive>* out) {
    if (folder_.empty()) return ERROR_FILE_NOT_FOUND;
    std::string upper = Upper(name);
    auto it = loaded_.find(upper);
    if (it != loaded_.end()) {
      *out = it->second;
      return ERROR_SUCCESS;
    }
    std::string path;
    bool machine = IsMachineHive(upper);
    if (machine) {
      if (!EnsureMachineHives()) return ERROR_ACCESS_DENIED;
      path = MachineHivePath(upper);
    } else {
      const Mount* m = FindMount(upper);
      if (m == nullptr) return ERROR_FILE_NOT_FOUND;
      path = m->HivePath;
    }
    auto hive = std::make_shared<LoadedHive>();
    hive->KeyName = upper;
    hive->Path = path;
    // The registry holds a mounted file open, so it cannot go away; here it
    // can be removed or overwritten behind the mount.  Such a mount is over:
    // dropping it lets the key be loaded again instead of staying stuck.
    if (!platform::FileExists(path)) {
      if (!machine) DropMount(upper);
      return ERROR_FILE_NOT_FOUND;
    }
    if (platform::Status read = ReadHiveFile(path, &hive->Tree); !read) {
      if (!machine) DropMount(upper);
      return Failed(ERROR_BADDB, read);
    }
    loaded_[upper] = hive;
    *out = hive;
    return ERROR_SUCCESS;
  }

  // Every machine hive and mount, in that order: what HKLM enumerates.
  std::vector<std::string> HiveNames() {
    std::vector<std::string> names(std::begin(kMachineHives), std::end(kMachineHives));
    for (const auto& m : ReadMountTable(folder_)) names.push_back(m.KeyName);
    return names;
  }

  HKEY NewHandle(const std::shared_ptr<LoadedHive>& hive, std::shared_ptr<RegistryKey> key) {
    // Handles count up and wrap below HKEY_LOCAL_MACHINE, skipping live ones.
    do {
      next_ = next_ >= 0x7FFFFFFFu ? 1 : next_ + 1;
    } while (handles_.count(next_) != 0);
    handles_[next_] = Slot{hive, std::move(key)};
    ++hive->Handles;
    return next_;
  }

  LONG Resolve(HKEY key, Target* target) {
    if (key == HKEY_LOCAL_MACHINE) {
      *target = Target{};
      return ERROR_SUCCESS;
    }
    auto it = handles_.find(key);
    if (it == handles_.end()) return ERROR_INVALID_HANDLE;
    if (it->second.Key->Deleted) return ERROR_KEY_DELETED;
    *target = Target{it->second.Hive, it->second.Key};
    return ERROR_SUCCESS;
  }

  LONG Close(HKEY key) {
    if (key == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
    auto it = handles_.find(key);
    if (it == handles_.end()) return ERROR_INVALID_HANDLE;
    std::shared_ptr<LoadedHive> hive = it->second.Hive;
    handles_.erase(it);
    if (--hive->Handles == 0) return Release(hive);
    return ERROR_SUCCESS;
  }

  // Writes a changed hive back; a hive whose write failed stays in memory,
  // changed, for the next flush or close to try again.
  LONG Commit(LoadedHive& hive) {
    if (!hive.Dirty) return ERROR_SUCCESS;
    ++hive.Tree.Sequence;
    if (platform::Status written = WriteHiveFile(hive.Path, hive.Tree); !written)
      return Failed(ERROR_WRITE_FAULT, written);
    hive.Dirty = false;
    return ERROR_SUCCESS;
  }

  LONG FlushAll() {
    LONG result = ERROR_SUCCESS;
    for (auto& [name, hive] : loaded_) {
      LONG r = Commit(*hive);
      if (r != ERROR_SUCCESS) result = r;
    }
    return result;
  }

  LONG Load(std::string_view name, const std::string& file) {
    if (folder_.empty() || name.empty() || name.find_first_of("\\\t\n\r") != std::string_view::npos ||
        file.find_first_of("\t\n\r") != std::string::npos)
      return ERROR_INVALID_PARAMETER;
    if (file.size() >= kMaxPath) return ERROR_FILENAME_EXCED_RANGE;
    std::string upper = Upper(name);
    if (IsMachineHive(upper)) return ERROR_ALREADY_EXISTS;
    if (const Mount* old = FindMount(upper)) {
      if (loaded_.count(upper) != 0 || platform::FileExists(old->HivePath)) return ERROR_ALREADY_EXISTS;
      if (!DropMount(upper)) return ERROR_WRITE_FAULT;
    }
    std::string path = platform::AbsolutePath(file);
    if (!platform::FileExists(path) || platform::IsDirectory(path)) return ERROR_FILE_NOT_FOUND;
    for (const auto& m : mounts_)
      if (SameFile(m.HivePath, path)) return ERROR_SHARING_VIOLATION;
    for (const char* h : kMachineHives)
      if (SameFile(MachineHivePath(h), path)) return ERROR_SHARING_VIOLATION;
    // The mount is written back over the file, beside it, so both must be
    // writable now rather than fail after the changes are made.
    if (platform::Status replaceable = platform::MayReplaceFile(path); !replaceable)
      return Failed(ERROR_ACCESS_DENIED, replaceable);
    RegistryTree tree;
    if (platform::Status read = ReadHiveFile(path, &tree); !read) return Failed(ERROR_BADDB, read);
    if (!platform::MakeDirectories(folder_)) return ERROR_ACCESS_DENIED;
    std::vector<Mount> mounts = mounts_;
    mounts.push_back({std::string(name), path});
    if (platform::Status written = WriteMountTable(folder_, mounts); !written) return Failed(ERROR_WRITE_FAULT, written);
    mounts_ = std::move(mounts);
    return ERROR_SUCCESS;
  }

  LONG Unload(std::string_view name) {
    std::string upper = Upper(name);
    if (IsMachineHive(upper)) return ERROR_ACCESS_DENIED;
    if (FindMount(upper) == nullptr) return ERROR_FILE_NOT_FOUND;
    auto it = loaded_.find(upper);
    if (it != loaded_.end()) {
      if (it->second->Handles > 0) return ERROR_ACCESS_DENIED;
      LONG r = Commit(*it->second);
      if (r != ERROR_SUCCESS) return r;
    }
    std::vector<Mount> mounts;
    for (const auto& m : mounts_)
      if (Upper(m.KeyName) != upper) mounts.push_back(m);
    if (platform::Status written = WriteMountTable(folder_, mounts); !written) return Failed(ERROR_WRITE_FAULT, written);
    mounts_ = std::move(mounts);
    if (it != loaded_.end()) loaded_.erase(it);
    return ERROR_SUCCESS;
  }

  std::string MountPath(std::string_view name) {
    if (folder_.empty()) return std::string();
    const Mount* m = FindMount(Upper(name));
    return m != nullptr ? m->HivePath : std::string();
  }

  bool IsHiveRoot(const Target& t) const { return t.Hive && t.Key == t.Hive->Tree.Root; }

  LONG Failed(LONG code, platform::Status why) {
    failure_ = std::move(why);
    return code;
  }
  const platform::Status& Failure() const { return failure_; }

 private:
  LONG Release(const std::shared_ptr<LoadedHive>& hive) {
    LONG r = Commit(*hive);
    if (r != ERROR_SUCCESS) return r;
    auto it = loaded_.find(hive->KeyName);
    if (it != loaded_.end() && it->second == hive) loaded_.erase(it);
    return ERROR_SUCCESS;
  }

  // The mount table is read afresh, so a mount made by another process (or
  // left by one that died) is seen.
  const Mount* FindMount(const std::string& upper) {
    mounts_ = ReadMountTable(folder_);
    for (const auto& m : mounts_)
      if (Upper(m.KeyName) == upper) return &m;
    return nullptr;
  }

  bool DropMount(const std::string& upper) {
    std::vector<Mount> mounts;
    for (const auto& m : ReadMountTable(folder_))
      if (Upper(m.KeyName) != upper) mounts.push_back(m);
    if (platform::Status written = WriteMountTable(folder_, mounts); !written) {
      failure_ = std::move(written);
      return false;
    }
    mounts_ = std::move(mounts);
    return true;
  }

  static bool SameFile(const std::string& a, const std::string& b) {
    std::error_code ec;
    return std::filesystem::equivalent(a, b, ec) && !ec;
  }

  // A machine hive file as the folder spells it: a Windows config folder may
  // hold "system" as well as "SYSTEM".
  std::string MachineHivePath(const std::string& upper) {
    std::string exact = folder_ + "/" + upper;
    if (platform::FileExists(exact)) return exact;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder_, ec))
      if (Upper(entry.path().filename().string()) == upper && entry.is_regular_file(ec)) return entry.path().string();
    return exact;
  }

  bool EnsureMachineHives() {
    if (!platform::MakeDirectories(folder_)) return false;
    for (const char* name : kMachineHives) {
      std::string path = MachineHivePath(name);
      if (platform::FileExists(path)) continue;
      // A new file of ours: a dangling link at its name is replaced.
      platform::WriteOptions options;
      options.replaceLink = true;
      if (platform::Status written = WriteHiveFile(path, EmptyTree(u"ROOT", FileTimeNow()), options); !written) {
        failure_ = std::move(written);
        return false;
      }
    }
    return true;
  }

  std::string folder_;
  platform::Status failure_;
  std::map<std::string, std::shared_ptr<LoadedHive>> loaded_;
  std::unordered_map<HKEY, Slot> handles_;
  std::vector<Mount> mounts_;
  HKEY next_ = 0;
};

MachineRegistry& Machine() {
  static MachineRegistry machine;
  return machine;
}

std::vector<std::string_view> SplitPath(std::string_view path) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('\\', start);
    if (end == std::string_view::npos) end = path.size();
    if (end > start) parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

std::u16string Wide(std::string_view ansi) { return platform::AnsiToUtf16(ansi); }

// Walks `parts` down from t (HKLM when t has no hive).  The first part below
// HKLM names a hive.
LONG Walk(MachineRegistry& m, Target t, const std::vector<std::string_view>& parts, size_t count, Target* out) {
  size_t i = 0;
  if (!t.Hive) {
    if (count == 0) {
      *out = t;
      return ERROR_SUCCESS;
    }
    LONG r = m.Hive(parts[0], &t.Hive);
    if (r != ERROR_SUCCESS) return r;
    t.Key = t.Hive->Tree.Root;
    i = 1;
  }
  for (; i < count; ++i) {
    bool found = false;
    size_t at = t.Key->FindSubkey(Wide(parts[i]), &found);
    if (!found) return ERROR_FILE_NOT_FOUND;
    t.Key = t.Key->Subkeys[at];
  }
  *out = t;
  return ERROR_SUCCESS;
}

void Touch(LoadedHive& hive, RegistryKey& key) {
  key.LastWrite = FileTimeNow();
  if (!key.Volatile) hive.Dirty = true;
}

LONG StoreValue(HKEY handle, std::u16string name, DWORD type, std::vector<uint8_t> data) {
  MachineRegistry& m = Machine();
  Target t;
  LONG r = m.Resolve(handle, &t);
  if (r != ERROR_SUCCESS) return r;
  if (!t.Hive) return ERROR_ACCESS_DENIED;
  if (name.size() > kMaxValueNameUnits) return ERROR_INVALID_PARAMETER;
  RegistryValue* value = t.Key->Value(name);
  if (value == nullptr) {
    t.Key->Values.emplace_back();
    value = &t.Key->Values.back();
    value->Name = std::move(name);
  }
  value->Type = type;
  value->Data = std::move(data);
  Touch(*t.Hive, *t.Key);
  return ERROR_SUCCESS;
}

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

LONG CopyOut(const std::string& text, char* dest, DWORD* chars) {
  if (chars == nullptr) return ERROR_INVALID_PARAMETER;
  if (dest == nullptr || *chars <= text.size()) {
    *chars = static_cast<DWORD>(text.size() + 1);
    return ERROR_MORE_DATA;
  }
  std::copy(text.begin(), text.end(), dest);
  dest[text.size()] = '\0';
  *chars = static_cast<DWORD>(text.size());
  return ERROR_SUCCESS;
}

}  // namespace

bool SelectMachineRegistry(const std::string& folder) {
  MachineRegistry& m = Machine();
  std::lock_guard<std::mutex> guard(m.Lock);
  return m.Select(folder);
}

LONG RegOpenKeyExA(HKEY key, const char* subKey, DWORD, REGSAM, HKEY* result) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = 0;
  MachineRegistry& m = Machine();
  std::lock_guard<std::mutex> guard(m.Lock);
  Target t;
  LONG r = m.Resolve(key, &t);
  if (r != ERROR_SUCCESS) return r;
  auto parts = SplitPath(subKey != nullptr ? subKey : "");
  r = Walk(m, t, parts, parts.size(), &t);
  if (r != ERROR_SUCCESS) return r;
  *result = t.Hive ? m.NewHandle(t.Hive, t.Key) : HKEY_LOCAL_MACHINE;
  return ERROR_SUCCESS;
}

namespace {

std::vector<std::u16string> SplitWide(std::u16string_view path) {
  std::vector<std::u16string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(u'\\', start);
    if (end == std::u16string_view::npos) end = path.size();
    if (end > start) parts.emplace_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

// RegCreateKeyEx on names already in UTF-16.
LONG CreateKey(HKEY key, std::vector<std::u16string> parts, const std::u16string* className, DWORD options,
               const SECURITY_ATTRIBUTES* attributes, HKEY* result, DWORD* disposition) {
  *result = 0;
  if ((options & ~REG_OPTION_VOLATILE) != 0) return ERROR_INVALID_PARAMETER;
  const uint8_t* sd = nullptr;
  size_t sdLength = 0;
  if (attributes != nullptr && attributes->lpSecurityDescriptor != nullptr) {
    sd = static_cast<const uint8_t*>(attributes->lpSecurityDescriptor);
    sdLength = attributes->DescriptorLength;
    if (!ValidDescriptor(sd, sdLength)) return ERROR_INVALID_SECURITY_DESCR;
  }
  MachineRegistry& m = Machine();
  std::lock_guard<std::mutex> guard(m.Lock);
  Target t;
  LONG r = m.Resolve(key, &t);
  if (r != ERROR_SUCCESS) return r;
  if (!t.Hive) {
    // Nothing can be created directly under HKEY_LOCAL_MACHINE.
    if (parts.empty()) return ERROR_ACCESS_DENIED;
    std::string hiveName = platform::Utf16ToAnsi(parts[0]);
    std::vector<std::string_view> first{hiveName};
    r = Walk(m, t, first, 1, &t);
    if (r == ERROR_FILE_NOT_FOUND) return ERROR_ACCESS_DENIED;
    if (r != ERROR_SUCCESS) return r;
    parts.erase(parts.begin());
  }
  DWORD how = REG_OPENED_EXISTING_KEY;
  bool volatileKey = (options & REG_OPTION_VOLATILE) != 0;
  for (std::u16string& name : parts) {
    if (name.size() > kMaxKeyNameUnits) return ERROR_INVALID_PARAMETER;
    bool found = false;
    size_t at = t.Key->FindSubkey(name, &found);
    if (found) {
      t.Key = t.Key->Subkeys[at];
      continue;
    }
    if (t.Key->Volatile && !volatileKey) return ERROR_CHILD_MUST_BE_VOLATILE;
    auto created = std::make_shared<RegistryKey>();
    created->Name = std::move(name);
    if (className != nullptr) created->Class = *className;
    if (sd != nullptr) {
      std::string bytes(sd, sd + sdLength);
      Descriptor& shared = t.Hive->Descriptors[bytes];
      if (!shared) shared = std::make_shared<const std::vector<uint8_t>>(sd, sd + sdLength);
      created->Security = shared;
    } else {
      // Without a descriptor of its own a key inherits its parent's.
      created->Security = t.Key->Security;
    }
    created->Volatile = volatileKey;
    created->LastWrite = FileTimeNow();
    Touch(*t.Hive, *t.Key);
    t.Key->AddSubkey(created, at);
    t.Key = created;
    how = REG_CREATED_NEW_KEY;
  }
  *result = m.NewHandle(t.Hive, t.Key);
  if (disposition != nullptr) *disposition = how;
  return ERROR_SUCCESS;
}

}  // namespace

LONG RegCreateKeyExA(HKEY key, const char* subKey, DWORD, const char* className, DWORD options, REGSAM,
                     const SECURITY_ATTRIBUTES* attributes, HKEY* result, DWORD* disposition) {
  if (result == nullptr || subKey == nullptr) return ERROR_INVALID_PARAMETER;
  std::vector<std::u16string> parts;
  for (std::string_view part : SplitPath(subKey)) parts.push_back(Wide(part));
  std::u16string wideClass = className != nullptr ? Wide(className) : std::u16string();
  return CreateKey(key, std::move(parts), className != nullptr ? &wideClass : nullptr, options, attributes, result,
                   disposition);
}

LONG RegCreateKeyExW(HKEY key, const char16_t* subKey, DWORD, const char16_t* className, DWORD options, REGSAM,
                     const SECURITY_ATTRIBUTES* attributes, HKEY* result, DWORD* disposition) {
  if (result == nullptr || subKey == nullptr) return ERROR_INVALID_PARAMETER;
  std::u16string wideClass = className != nullptr ? std::u16string(className) : std::u16string();
  return CreateKey(key, SplitWide(subKey), className != nullptr ? &wideClass : nullptr, options, attributes, result,
                   disposition);
}

LONG SetKeyLastWriteTime(HKEY key, uint64_t lastWrite) {
  MachineRegistry& m = Machine();
  std::lock_guard<std::mutex> guard(m.Lock);
  Target t;
  LONG r = m.Resolve(key, &t);
  if (r != ERROR_SUCCESS) return r;
  if (!t.Hive) return ERROR_ACCESS_DENIED;
  t.Key->LastWrite = lastWrite;
  if (!t.Key->Volatile) t.Hive->Dirty = true;
  return ERROR_SUCCESS;
}

platform::Status LastFileFailure() {
  MachineRegistry& m = Machine();
  std::lock_guard<std::mutex> guard(m.Lock);
  return m.Failure();
}

std::string MountedHivePath(const char* subKey) {
  MachineRegistry& m = Machine();
  std::lock_guard<std::mutex> guard(m.Lock);
  return subKey != nullptr ? m.MountPath(subKey) : std::string();
}

LONG RegSetValueExA(HKEY key, const char* valueName, DWORD, DWORD type, const uint8_t* data, DWORD size) {
  if (data == nullptr && size != 0) return ERROR_NOACCESS;
  std::vector<uint8_t> stored;
  if (IsStringType(type)) {
    std::u16string text = Wide(std::string_view(reinterpret_cast<const char*>(data), size));
    stored.resize(text.size() * 2);
    for (size_t i = 0; i < text.size(); ++i) {
      stored[2 * i] = static_cast<uint8_t>(text[i]);
      stored[2 * i + 1] = static_cast<uint8_t>(text[i] >> 8);
    }
  } else if (size != 0) {
    stored.assign(data, data + size);
  }
  std::u16string name = Wide(valueName != nullptr ? valueName : "");
  std::lock_guard<std::mutex> guard(Machine().Lock);
  return StoreValue(key, std::move(name), type, std::move(stored));
}

LONG RegSetValueExW(HKEY key, const char16_t* valueName, DWORD, DWORD type, const uint8_t* data, DWORD size) {
  if (data == nullptr && size != 0) return ERROR_NOACCESS;
  std::u16string name = valueName != nullptr ? std::u16string(valueName) : std::u16string();
  std::vector<uint8_t> stored;
  if (size != 0) stored.assign(data, data + size);
  std::lock_guard<std::mutex> guard(Machine().Lock);
  return StoreValue(key, std::move(name), type, std::move(stored));
}

LONG RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* nameChars, DWORD*, char* className, DWORD* classChars,
                   uint64_t* lastWrite) {
  MachineRegistry& m = Machine();
  std::lock_guard<std::mutex> guard(m.Lock);
  Target t;
  LONG r = m.Resolve(key, &t);
  if (r != ERROR_SUCCESS) return r;
  if (!t.Hive) {
    std::vector<std::string> names = m.HiveNames();
    if (index >= names.size()) return ERROR_NO_MORE_ITEMS;
    return CopyOut(names[index], name, nameChars);
  }
  if (index >= t.Key->Subkeys.size()) return ERROR_NO_MORE_ITEMS;
  const RegistryKey& sub = *t.Key->Subkeys[index];
  r = CopyOut(platform::Utf16ToAnsi(sub.Name), name, nameChars);
  if (r != ERROR_SUCCESS) return r;
  if (className != nullptr && classChars != nullptr) {
    r = CopyOut(platform::Utf16ToAnsi(sub.Class), className, classChars);
    if (r != ERROR_SUCCESS) return r;
  }
  if (lastWrite != nullptr) *lastWrite = sub.LastWrite;
  return ERROR_SUCCESS;
}

LONG RegEnumValueA(HKEY key, DWORD index, char* name, DWORD* nameChars, DWORD*, DWORD* type, uint8_t* data,
                   DWORD* dataSize) {
  MachineRegistry& m = Machine();
  std::lock_guard<std::mutex> guard(m.Lock);
  Target t;
  LONG r = m.Resolve(key, &t);
  if (r != ERROR_SUCCESS) return r;
  if (!t.Hive) return ERROR_NO_MORE_ITEMS;
  if (index >= t.Key->Values.size()) return ERROR_NO_MORE_ITEMS;
  const RegistryValue& v = t.Key->Values[index];
  r = CopyOut(platform::Utf16ToAnsi(v.Name), name, nameChars);
  if (r != ERROR_SUCCESS) return r;
  if (type != nullptr) *type = v.Type;
  if (dataSize == nullptr) return ERROR_SUCCESS;
  std::string converted;
  const uint8_t* bytes = v.Data.data();
  size_t length = v.Data.size();
  if (IsStringType(v.Type)) {
    std::u16string units(length / 2, u'\0');
    for (size_t i = 0; i < units.size(); ++i) units[i] = static_cast<char16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
    converted = platform::Utf16ToAnsi(units);
    bytes = reinterpret_cast<const uint8_t*>(converted.data());
    length = converted.size();
  }
  bool fits = data != nullptr && *dataSize >= length;
  if (fits) std::copy(bytes, bytes + length, data);
  *dataSize = static_cast<DWORD>(length);
  return fits || data == nullptr ? ERROR_SUCCESS : ERROR_MORE_DATA;
}

LONG RegDeleteKeyA(HKEY key, const char* subKey) {
  if (subKey == nullptr) return ERROR_INVALID_PARAMETER;
  MachineRegistry& m = Machine();
  std::lock_guard<std::mutex> guard(m.Lock);
  Target t;
  LONG r = m.Resolve(key, &t);
  if (r != ERROR_SUCCESS) return r;
  auto parts = SplitPath(subKey);
  if (parts.empty()) return ERROR_INVALID_PARAMETER;
  Target parent;
  r = Walk(m, t, parts, parts.size() - 1, &parent);
  if (r != ERROR_SUCCESS) return r;
  if (!parent.Hive) return Walk(m, parent, parts, parts.size(), &t) == ERROR_SUCCESS ? ERROR_ACCESS_DENIED
                                                                                     : ERROR_FILE_NOT_FOUND;
  bool found = false;
  size_t at = parent.Key->FindSubkey(Wide(parts.back()), &found);
  if (!found) return ERROR_FILE_NOT_FOUND;
  std::shared_ptr<RegistryKey> victim = parent.Key->Subkeys[at];
  if (!victim->Subkeys.empty() || (victim->Flags & kKeyNoDelete) != 0) return ERROR_ACCESS_DENIED;
  parent.Key->Subkeys.erase(parent.Key->Subkeys.begin() + static_cast<std::ptrdiff_t>(at));
  victim->Deleted = true;
  Touch(*parent.Hive, *parent.Key);
  if (!victim->Volatile) parent.Hive->Dirty = true;
  return ERROR_SUCCESS;
}

LONG RegDeleteValueA(HKEY key, const char* valueName) {
  MachineRegistry& m = Machine();
  std::lock_guard<std::mutex> guard(m.Lock);
  Target t;
  LONG r = m.Resolve(key, &t);
  if (r != ERROR_SUCCESS) return r;
  if (!t.Hive) return ERROR_FILE_NOT_FOUND;
  size_t i = t.Key->ValueIndex(Wide(valueName != nullptr ? valueName : ""));
  if (i >= t.Key->Values.size()) return ERROR_FILE_NOT_FOUND;
  t.Key->Values.erase(t.Key->Values.begin() + static_cast<std::ptrdiff_t>(i));
  Touch(*t.Hive, *t.Key);
  return ERROR_SUCCESS;
}

LONG RegFlushKey(HKEY key) {
  MachineRegistry& m = Machine();
  std::lock_guard<std::mutex> guard(m.Lock);
  Target t;
  LONG r = m.Resolve(key, &t);
  if (r != ERROR_SUCCESS) return r;
  return t.Hive ? m.Commit(*t.Hive) : m.FlushAll();
}

LONG RegSaveKeyA(HKEY key, const char* file, const SECURITY_ATTRIBUTES*) {
  if (file == nullptr || *file == '\0') return ERROR_INVALID_PARAMETER;
  MachineRegistry& m = Machine();
  std::lock_guard<std::mutex> guard(m.Lock);
  Target t;
  LONG r = m.Resolve(key, &t);
  if (r != ERROR_SUCCESS) return r;
  if (!t.Hive) return ERROR_INVALID_PARAMETER;
  std::string path = platform::AbsolutePath(file);
  if (path.size() >= kMaxPath) return ERROR_FILENAME_EXCED_RANGE;
  if (platform::FileExists(path)) return ERROR_ALREADY_EXISTS;
  // A new file: a link at its name is replaced, and it is as private as the hive saved.
  platform::WriteOptions options;
  options.replaceLink = true;
  options.privateFile = !platform::OthersMayRead(t.Hive->Path);
  platform::Status written;
  if (m.IsHiveRoot(t)) {
    written = WriteHiveFile(path, t.Hive->Tree, options);
  } else {
    RegistryTree copy;
    copy.MajorVersion = t.Hive->Tree.MajorVersion;
    copy.MinorVersion = t.Hive->Tree.MinorVersion;
    copy.Root = CopySubtree(*t.Key);
    written = WriteHiveFile(path, copy, options);
  }
  return written ? ERROR_SUCCESS : m.Failed(ERROR_WRITE_FAULT, written);
}

LONG RegLoadKeyA(HKEY key, const char* subKey, const char* file) {
  if (key != HKEY_LOCAL_MACHINE || subKey == nullptr || file == nullptr) return ERROR_INVALID_PARAMETER;
  MachineRegistry& m = Machine();
  std::lock_guard<std::mutex> guard(m.Lock);
  return m.Load(subKey, file);
}

LONG RegUnLoadKeyA(HKEY key, const char* subKey) {
  if (key != HKEY_LOCAL_MACHINE || subKey == nullptr || *subKey == '\0') return ERROR_INVALID_PARAMETER;
  MachineRegistry& m = Machine();
  std::lock_guard<std::mutex> guard(m.Lock);
  return m.Unload(subKey);
}

LONG RegCloseKey(HKEY key) {
  MachineRegistry& m = Machine();
  std::lock_guard<std::mutex> guard(m.Lock);
  return m.Close(key);
}

}  // namespace quelbrix::registry
