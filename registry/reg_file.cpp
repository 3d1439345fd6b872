#include "registry/reg_file.h"

#include <cstdio>
#include <utility>

namespace quelbrix::registry {
namespace {

constexpr uint32_t kRegSz = 1, kRegBinary = 3, kRegDword = 4;
// A hex line is wrapped once it reaches this column, as the registry editor
// does, so no line is much longer than 80 characters.
constexpr size_t kWrapColumn = 77;

void AppendAscii(std::u16string& out, std::string_view text) {
  for (char c : text) out += static_cast<char16_t>(static_cast<unsigned char>(c));
}

void AppendQuoted(std::u16string& out, std::u16string_view text) {
  out += u'"';
  for (char16_t u : text) {
    if (u == u'\\' || u == u'"') out += u'\\';
    out += u;
  }
  out += u'"';
}

void AppendHex(std::u16string& out, uint32_t type, const std::vector<uint8_t>& data, size_t lineStart) {
  char head[24];
  if (type == kRegBinary)
    std::snprintf(head, sizeof head, "hex:");
  else
    std::snprintf(head, sizeof head, "hex(%x):", type);
  AppendAscii(out, head);
  static const char kDigits[] = "0123456789abcdef";
  for (size_t i = 0; i < data.size(); ++i) {
    out += static_cast<char16_t>(kDigits[data[i] >> 4]);
    out += static_cast<char16_t>(kDigits[data[i] & 15]);
    if (i + 1 == data.size()) break;
    out += u',';
    if (out.size() - lineStart >= kWrapColumn) {
      AppendAscii(out, "\\\r\n  ");
      lineStart = out.size() - 2;
    }
  }
}

void AppendValue(std::u16string& out, const RegistryValue& value) {
  size_t lineStart = out.size();
  if (value.Name.empty())
    out += u'@';
  else
    AppendQuoted(out, value.Name);
  out += u'=';
  std::u16string text;
  // Text in the file cannot hold a line break: such a string goes as hex.
  if (value.Type == kRegSz && TerminatedString(value.Data, &text) && text.find_first_of(u"\r\n") == std::u16string::npos) {
    AppendQuoted(out, text);
  } else if (value.Type == kRegDword && value.Data.size() == 4) {
    uint32_t v = value.Data[0] | value.Data[1] << 8 | value.Data[2] << 16 | uint32_t{value.Data[3]} << 24;
    char word[24];
    std::snprintf(word, sizeof word, "dword:%08x", v);
    AppendAscii(out, word);
  } else {
    AppendHex(out, value.Type, value.Data, lineStart);
  }
  AppendAscii(out, "\r\n");
}

}  // namespace

std::u16string JoinKeyPath(std::u16string_view path, std::u16string_view name) {
  std::u16string joined(path);
  if (joined.empty() || joined.back() != u'\\') joined += u'\\';
  joined += name;
  return joined;
}

bool TerminatedString(const std::vector<uint8_t>& data, std::u16string* text) {
  if (data.size() < 2 || data.size() % 2 != 0) return false;
  size_t units = data.size() / 2;
  text->clear();
  for (size_t i = 0; i < units; ++i) {
    char16_t u = static_cast<char16_t>(data[2 * i] | data[2 * i + 1] << 8);
    if (u == 0) {
      if (i + 1 != units) return false;
      break;
    }
    if (i + 1 == units) return false;  // no terminating NUL
    text->push_back(u);
  }
  for (size_t i = 0; i < text->size(); ++i) {
    char16_t u = (*text)[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < text->size() && (*text)[i + 1] >= 0xDC00 && (*text)[i + 1] <= 0xDFFF) {
      ++i;
      continue;
    }
    if (u >= 0xD800 && u <= 0xDFFF) return false;
  }
  return true;
}

std::string RegFileBytes(const RegistryKey& key, std::u16string_view path) {
  std::u16string text = u"\uFEFFWindows Registry Editor Version 5.00\r\n\r\n";
  // Depth first with an explicit stack: a damaged hive may nest keys deeply.
  std::vector<std::pair<const RegistryKey*, std::u16string>> pending{{&key, std::u16string(path)}};
  while (!pending.empty()) {
    auto [at, atPath] = std::move(pending.back());
    pending.pop_back();
    text += u'[';
    text += atPath;
    AppendAscii(text, "]\r\n");
    for (const RegistryValue& value : at->Values) AppendValue(text, value);
    AppendAscii(text, "\r\n");
    for (size_t i = at->Subkeys.size(); i-- > 0;)
      pending.emplace_back(at->Subkeys[i].get(), JoinKeyPath(atPath, at->Subkeys[i]->Name));
  }
  std::string bytes(text.size() * 2, '\0');
  for (size_t i = 0; i < text.size(); ++i) {
    bytes[2 * i] = static_cast<char>(text[i] & 0xFF);
    bytes[2 * i + 1] = static_cast<char>(text[i] >> 8);
  }
  return bytes;
}

}  // namespace quelbrix::registry
