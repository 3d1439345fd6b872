#include "hive/cells.h"

namespace quelbrix {

const char* KindName(uint8_t code) {
  static const char kNames[16][3] = {"dl", "vk", "lf", "vm", "lh", "li", "db", "u7",
                                     "dd", "nk", "vd", "ri", "uc", "ud", "sk", "cl"};
  return kNames[code & 0xF];
}

const char* NameEncodingRow(int index) {
  static const char kRows[3][9] = {"UniCode ", "AnsiCode", "NoName  "};
  return (index >= 0 && index < 3) ? kRows[index] : "";
}

const char* ValueTypeRow(uint32_t type) {
  static const char kRows[kValueTypeRows][31] = {
      "REG_NONE                      ", "REG_SZ                        ", "REG_EXPAND_SZ                 ",
      "REG_BINARY                    ", "REG_DWORD                     ", "REG_DWORD_BIG_ENDIAN          ",
      "REG_LINK                      ", "REG_MULTI_SZ                  ", "REG_RESOURCE_LIST             ",
      "REG_FULL_RESOURCE_DESCRIPTOR  ", "REG_RESOURCE_REQUIREMENTS_LIST", "REG_QWORD                     ",
      "REG_UNKNOWN                   "};
  return kRows[type > 11 ? 12 : type];
}

CellNeeds NeedsFor(uint8_t kind, uint64_t n) {
  switch (kind) {
    case kKindNk: return {80 + n, 80 + n, RoundUp8(82 + n)};
    case kKindVk: return {24 + n, 24 + n, RoundUp8(26 + n)};
    case kKindSk: return {24 + n, 24 + n, RoundUp8(24 + n)};
    case kKindLf:
    case kKindLh: return {8 + 8 * n, 8 + 8 * n, 8 + 8 * n};
    case kKindLi:
    case kKindRi: return {8 + 4 * n, 8 + 4 * n, RoundUp8(8 + 4 * n)};
    case kKindVm:
    case kKindDl: return {4 + 4 * n, 4 + 4 * n, RoundUp8(4 + 4 * n)};
    case kKindCl: return {4 + n, 4 + n, RoundUp8(6 + n)};
    case kKindVd: return {4 + n, 4 + n, RoundUp8(4 + n)};
    case kKindDb: return {16, 16, 16};
    // A segment: n is the count of value bytes it carries (16344 when full);
    // only the last one has padding, and segments are never trimmed.
    case kKindDd: return {4 + n, 4 + n, 0};
    default: return {8, 8, 8};
  }
}

}  // namespace quelbrix
