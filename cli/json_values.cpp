#include "cli/json_values.h"

#include <cstdio>
#include <ctime>
#include <iterator>

#include "registry/reg_file.h"

namespace quelbrix {

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

std::string Utf8Of(std::u16string_view text, bool* exact) {
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

namespace {

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

}  // namespace

nlohmann::json ValueJson(const registry::RegistryValue& value) {
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

}  // namespace quelbrix
