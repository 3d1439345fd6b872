// The JSON form of values, names and times that export and recover share:
// a value as name, type, type_code and data (or hex, which gives the same
// bytes back); names and strings as UTF-8, with their UTF-16 units in hex
// where UTF-8 cannot hold them exactly.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "registry/registry_tree.h"

namespace quelbrix {

// "REG_SZ" ... "REG_QWORD"; null for a type above 11.
const char* TypeName(uint32_t type);
std::string Hex(const std::vector<uint8_t>& bytes);
// UTF-8 of a name or string; an unpaired surrogate becomes U+FFFD and makes
// *exact false, so the caller can add the units themselves.
std::string Utf8Of(std::u16string_view text, bool* exact = nullptr);
std::string HexUnits(std::u16string_view text);
nlohmann::json ValueJson(const registry::RegistryValue& value);
// FILETIME as ISO 8601 UTC; null when it is before 1970 or past year 9999.
nlohmann::json TimeJson(uint64_t fileTime);

}  // namespace quelbrix
