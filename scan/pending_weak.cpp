// Weak stand-ins for passes that are being written in parallel: each is
// replaced by its real definition as soon as that file lands.  Every
// stand-in reports nothing and changes nothing.
#include "defrag/defrag.h"
#include "repair/allocator.h"
#include "repair/counters.h"
#include "repair/relocate.h"
#include "scan/security.h"
#include "scan/statistics.h"
#include "scan/values.h"

#define QUELBRIX_WEAK __attribute__((weak))

namespace quelbrix {
QUELBRIX_WEAK DescriptorRecord* FindDescriptor(HiveContext&, const uint8_t*, uint32_t) { return nullptr; }
QUELBRIX_WEAK DescriptorRecord* RegisterDescriptor(HiveContext&, const uint8_t*, uint32_t) { return nullptr; }
QUELBRIX_WEAK void SecurityDescriptorSummary(HiveContext&) {}
QUELBRIX_WEAK void DeleteDescriptorList(DescriptorList*) {}
QUELBRIX_WEAK void StructureStatistics(HiveContext&, bool) {}
QUELBRIX_WEAK int32_t DefragUnpackedCells(HiveContext&) { return 0; }
QUELBRIX_WEAK int32_t DefragUnallocCells(HiveContext&) { return 0; }
QUELBRIX_WEAK int32_t DefragUnallocHbins(HiveContext&) { return 0; }
}  // namespace quelbrix
