// ScanHive: the phases of the scan commands (Search with and without dates,
// Repair, Defrag, Hive rebuild) over the HiveImage, after RunCommand has
// opened the report file and zeroed the AccessMap.
#pragma once

#include <cstdint>

#include "core/pass_state.h"

namespace quelbrix {

void ScanHive(PassState& ctx);

// Whether this build can run the scan command `id` to its end.
bool ScanCommandAvailable(int32_t id);

// Releases the DescriptorList that a scan built.
void FreeDescriptorList(PassState& ctx);

}  // namespace quelbrix
