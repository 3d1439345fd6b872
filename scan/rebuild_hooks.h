// The registry calls of Hive rebuild (1033), as the key walk and the value
// step make them: open HKLM\Rebuild for the root, create each subkey with its
// class and descriptor, set each value through the ANSI or the UTF-16 call,
// close.  Results are not checked by the callers; a failed key yields handle
// 0 and every call on handle 0 does nothing.
#pragma once

#include <cstdint>

#include "core/context.h"

namespace quelbrix {

using RegHandle = uint64_t;  // 0 = none

RegHandle RebuildOpenRoot(HiveContext& ctx);
// name and className in the ANSI code page; descriptor may be null.
RegHandle RebuildCreateKey(HiveContext& ctx, RegHandle parent, const char* name, const char* className,
                           const uint8_t* descriptor, uint32_t descriptorLength);
void RebuildCloseKey(HiveContext& ctx, RegHandle key);
// RegSetValueExA: name and data (the text with its NUL) in the ANSI code page.
void RebuildSetValueA(HiveContext& ctx, RegHandle key, const char* name, uint32_t type, const char* data,
                      uint32_t length);
// RegSetValueExW: name as UTF-16 (NUL-terminated), raw data bytes.
void RebuildSetValueW(HiveContext& ctx, RegHandle key, const char16_t* name, uint32_t type, const uint8_t* data,
                      uint32_t length);

}  // namespace quelbrix
