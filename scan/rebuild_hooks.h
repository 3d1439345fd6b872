// The registry calls of Hive rebuild (1033), as the key walk and the value
// step make them: open HKLM\Rebuild for the root, create each subkey with its
// class and descriptor, set each value, give each key its source's last-write
// time and close it.  Names, classes and data go in as the hive holds them
// (UTF-16), so nothing depends on the ANSI code page.  The results of create
// and set are not checked by the callers (a failed key yields handle 0 and
// every call on handle 0 does nothing).  They go to the state's
// RebuildTarget; without one, nothing is re-created.
#pragma once

#include <cstdint>

#include "core/pass_state.h"

namespace quelbrix {

inline RegHandle RebuildOpenRoot(PassState& ctx) { return ctx.Rebuild != nullptr ? ctx.Rebuild->OpenRoot() : 0; }

inline RegHandle RebuildCreateKey(PassState& ctx, RegHandle parent, const char16_t* name, const char16_t* className,
                                  const uint8_t* descriptor, uint32_t descriptorLength) {
  if (ctx.Rebuild == nullptr || parent == 0) return 0;
  return ctx.Rebuild->CreateKey(parent, name, className, descriptor, descriptorLength);
}

inline void RebuildCloseKey(PassState& ctx, RegHandle key, uint64_t lastWrite, bool root) {
  if (ctx.Rebuild != nullptr && key != 0) ctx.Rebuild->CloseKey(key, lastWrite, root);
}

inline void RebuildSetValueW(PassState& ctx, RegHandle key, const char16_t* name, uint32_t type,
                             const uint8_t* data, uint32_t length) {
  if (ctx.Rebuild != nullptr && key != 0) ctx.Rebuild->SetValueW(key, name, type, data, length);
}

}  // namespace quelbrix
