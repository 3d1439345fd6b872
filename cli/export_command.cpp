#include "cli/export_command.h"

#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string_view>

#include "cli/interrupt.h"
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

const char* TypeName(uint32_t type) {
  static const char* const kNames[] = {"REG_NONE",
                                       "REG_SZ",
                                       "REG_EXPAND_SZ",
                                       "REG_BINARY",
                                       "REG_DWORD",
                                       "REG_DWORD_BIG_ENDIAN",
                                       "REG_LINK",
                                       "REG_MULTI_SZ",
                                       "REG_RESOURCE_LIST",
                                       "REG_FULL_RESOURCE_DESCRIPTOR",
                                       "REG_RESOURCE_REQUIREMENTS_LIST",
                                       "REG_QWORD"};
  return type < std::size(kNames) ? kNames[type] : nullptr;
}

std::string Hex(const std::vector<uint8_t>& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

// UTF-8 of a name or string; an unpaired surrogate becomes U+FFFD and makes
// *exact false, so the caller can add the units themselves.
std::string Utf8Of(std::u16string_view text, bool* exact = nullptr) {
  std::string out;
  if (exact) *exact = true;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
      if (exact) *exact = false;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | c >> 6);
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | c >> 12);
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | c >> 18);
      out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::string HexUnits(std::u16string_view text) {
  std::vector<uint8_t> bytes;
  for (char16_t u : text) {
    bytes.push_back(static_cast<uint8_t>(u));
    bytes.push_back(static_cast<uint8_t>(u >> 8));
  }
  return Hex(bytes);
}

// The strings of REG_MULTI_SZ data ending in an empty string (two NULs, or
// one for an empty list); false for anything else.
bool MultiString(const std::vector<uint8_t>& data, nlohmann::json* strings) {
  if (data.size() < 2 || data.size() % 2 != 0) return false;
  std::u16string units(data.size() / 2, u'\0');
  for (size_t i = 0; i < units.size(); ++i) units[i] = static_cast<char16_t>(data[2 * i] | data[2 * i + 1] << 8);
  if (units.back() != 0) return false;
  nlohmann::json list = nlohmann::json::array();
  if (units.size() > 1) {
    // One terminator only ("a\0") would come back as "a\0\0": hex keeps it exact.
    if (units[units.size() - 2] != 0) return false;
    size_t start = 0;
    for (size_t i = 0; i + 1 < units.size(); ++i) {
      if (units[i] != 0) continue;
      bool exact;
      list.push_back(Utf8Of(std::u16string_view(units).substr(start, i - start), &exact));
      if (!exact) return false;
      start = i + 1;
    }
  }
  *strings = std::move(list);
  return true;
}

uint64_t LittleEndian(const std::vector<uint8_t>& data) {
  uint64_t v = 0;
  for (size_t i = data.size(); i-- > 0;) v = v << 8 | data[i];
  return v;
}

nlohmann::json ValueJson(const RegistryValue& value) {
  nlohmann::json out = nlohmann::json::object();
  bool exact;
  out["name"] = Utf8Of(value.Name, &exact);
  if (!exact) out["name_utf16le"] = HexUnits(value.Name);
  const char* name = TypeName(value.Type);
  char code[16];
  std::snprintf(code, sizeof code, "0x%x", value.Type);
  out["type"] = name ? name : code;
  out["type_code"] = value.Type;
  std::u16string text;
  nlohmann::json decoded;
  switch (value.Type) {
    case 1:
    case 2:
      if (registry::TerminatedString(value.Data, &text)) decoded = Utf8Of(text);
      break;
    case 4:
      if (value.Data.size() == 4) decoded = LittleEndian(value.Data);
      break;
    case 5:
      if (value.Data.size() == 4)
        decoded = uint32_t{value.Data[0]} << 24 | value.Data[1] << 16 | value.Data[2] << 8 | value.Data[3];
      break;
    case 7:
      MultiString(value.Data, &decoded);
      break;
    case 11:
      if (value.Data.size() == 8) decoded = LittleEndian(value.Data);
      break;
    default:
      break;
  }
  if (decoded.is_null())
    out["hex"] = Hex(value.Data);
  else
    out["data"] = std::move(decoded);
  return out;
}

// FILETIME as ISO 8601 UTC; null when it is before 1970 or past year 9999.
nlohmann::json TimeJson(uint64_t fileTime) {
  constexpr uint64_t kUnixEpoch = 116444736000000000ull;  // 1970-01-01 as a FILETIME
  constexpr uint64_t kYear10000 = 2650467744000000000ull;
  if (fileTime < kUnixEpoch || fileTime >= kYear10000) return nullptr;
  time_t seconds = static_cast<time_t>((fileTime - kUnixEpoch) / 10000000);
  struct tm parts {};
  gmtime_r(&seconds, &parts);
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%07uZ", parts.tm_year + 1900, parts.tm_mon + 1,
                parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                static_cast<unsigned>((fileTime - kUnixEpoch) % 10000000));
  return text;
}

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
