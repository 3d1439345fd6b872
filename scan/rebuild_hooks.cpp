#include "scan/rebuild_hooks.h"

namespace quelbrix {

// Until the machine registry is wired in, Hive rebuild is refused by
// ScanCommandAvailable, so these are never reached with a real handle.
RegHandle RebuildOpenRoot(HiveContext&) { return 0; }
RegHandle RebuildCreateKey(HiveContext&, RegHandle, const char*, const char*, const uint8_t*, uint32_t) { return 0; }
void RebuildCloseKey(HiveContext&, RegHandle) {}
void RebuildSetValueA(HiveContext&, RegHandle, const char*, uint32_t, const char*, uint32_t) {}
void RebuildSetValueW(HiveContext&, RegHandle, const char16_t*, uint32_t, const uint8_t*, uint32_t) {}

}  // namespace quelbrix
