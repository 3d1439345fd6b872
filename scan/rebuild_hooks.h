// The registry calls of Hive rebuild (1033), as the key walk and the value
// step make them: open HKLM\Rebuild for the root, create each subkey with its
// class and descriptor, set each value, give each key its source's last-write
// time and close it.  Names, classes and data go in as the hive holds them
// (UTF-16), so nothing depends on the ANSI code page.  The results of create
// and set are not checked by the callers (a failed key yields handle 0 and
// every call on handle 0 does nothing); a mount that cannot be opened or
// written back sets ctx.RegistryFailed.
#pragma once

#include <cstdint>

#include "core/context.h"

namespace quelbrix {

using RegHandle = uint64_t;  // 0 = none

RegHandle RebuildOpenRoot(HiveContext& ctx);
// name and className NUL-terminated UTF-16 (className empty for none);
// descriptor may be null.
RegHandle RebuildCreateKey(HiveContext& ctx, RegHandle parent, const char16_t* name, const char16_t* className,
                           const uint8_t* descriptor, uint32_t descriptorLength);
// Sets the key's last-write time (a FILETIME) and closes it; closing the root
// writes the mounted hive back.
void RebuildCloseKey(HiveContext& ctx, RegHandle key, uint64_t lastWrite, bool root);
// RegSetValueExW: name as UTF-16 (NUL-terminated), raw data bytes.
void RebuildSetValueW(HiveContext& ctx, RegHandle key, const char16_t* name, uint32_t type, const uint8_t* data,
                      uint32_t length);

}  // namespace quelbrix
