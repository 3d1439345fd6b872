#include "repair/counters.h"

#include "core/report_log.h"
#include "hive/access_map.h"

namespace quelbrix {
namespace {

struct CounterLine {
  RepairCounter slot;
  const char* format;
};

// The order of the summaries: base block, bins, keys, values, security
// cells, padding, defrag moves, descriptors, then growth and Rebuild.
constexpr CounterLine kCounterLines[] = {
    {RepairCounter::FileSizeClean, "FileSizeClean=%d"},
    {RepairCounter::regfFileNameClean, "regfFileNameClean=%d"},
    {RepairCounter::regfTimeStampClean, "regfTimeStampClean=%d"},
    {RepairCounter::regfUnknownClean, "regfUnknownClean=%d"},
    {RepairCounter::regfSequenceClean, "regfSequenceClean=%d"},
    {RepairCounter::regfGuidClean, "regfGuidClean=%d"},
    {RepairCounter::regfReserve1Clean, "regfReserve1Clean=%d"},
    {RepairCounter::regfReserve2Clean, "regfReserve2Clean=%d"},
    {RepairCounter::regfCheckSumClean, "regfCheckSumClean=%d"},
    {RepairCounter::AdjustCellsClean, "AdjustCellsClean=%d"},
    {RepairCounter::HbinUnknownClean, "HbinUnknownClean=%d"},
    {RepairCounter::HbinOffsetClean, "HbinOffsetClean=%d"},
    {RepairCounter::HbinTimeStampClean, "HbinTimeStampClean=%d"},
    {RepairCounter::regfHbinsLengthClean, "regfHbinsLengthClean=%d"},
    {RepairCounter::HbinBrokenClean, "HbinBrokenClean=%d"},
    {RepairCounter::HbinCellsClean, "HbinCellsClean=%d"},
    {RepairCounter::nkRootFlagClean, "nkRootFlagClean=%d"},
    {RepairCounter::SublistDetachClean, "SublistDetachClean=%d"},
    {RepairCounter::nkSubkeySequenceClean, "nkSubkeySequenceClean=%d"},
    {RepairCounter::nkSubkeyDuplicateClean, "nkSubkeyDuplicateClean=%d"},
    {RepairCounter::vklistDetachClean, "vklistDetachClean=%d"},
    {RepairCounter::vkDetachClean, "vkDetachClean=%d"},
    {RepairCounter::dataDetachClean, "dataDetachClean=%d"},
    {RepairCounter::classDetachClean, "classDetachClean=%d"},
    {RepairCounter::skDetachClean, "skDetachClean=%d"},
    {RepairCounter::nkMaxSubkeyClean, "nkMaxSubkeyClean=%d"},
    {RepairCounter::nkMaxClassClean, "nkMaxClassClean=%d"},
    {RepairCounter::nkSubkeyCountClean, "nkSubkeyCountClean=%d"},
    {RepairCounter::nkSubkeyCount1Clean, "nkSubkeyCount1Clean=%d"},
    {RepairCounter::nkvklistCountClean, "nkvklistCountClean=%d"},
    {RepairCounter::nkClassCountClean, "nkClassCountClean=%d"},
    {RepairCounter::nkskOffsetClean, "nkskOffsetClean=%d"},
    {RepairCounter::nkUnknownClean, "nkUnknownClean=%d"},
    {RepairCounter::nkKeyLengthClean, "nkKeyLengthClean=%d"},
    {RepairCounter::lfHashClean, "lfHashClean=%d"},
    {RepairCounter::lhHashClean, "lhHashClean=%d"},
    {RepairCounter::vkDataLengthClean, "vkDataLengthClean=%d"},
    {RepairCounter::vkKeyLengthClean, "vkKeyLengthClean=%d"},
    {RepairCounter::vkUnknownClean, "vkUnknownClean=%d"},
    {RepairCounter::skCellsChaneClean, "skCellsChaneClean=%d"},
    {RepairCounter::skUnknownClean, "skUnknownClean=%d"},
    {RepairCounter::skDescriptorClean, "skDescriptorClean=%d"},
    {RepairCounter::skRefCountClean, "skRefCountClean=%d"},
    {RepairCounter::skCellsRingClean, "skCellsRingClean=%d"},
    {RepairCounter::nkPaddingClean, "nkPaddingClean=%d"},
    {RepairCounter::classPaddingClean, "classPaddingClean=%d"},
    {RepairCounter::skPaddingClean, "skPaddingClean=%d"},
    {RepairCounter::vklistPaddingClean, "vklistPaddingClean=%d"},
    {RepairCounter::vkPaddingClean, "vkPaddingClean=%d"},
    {RepairCounter::dataPaddingClean, "dataPaddingClean=%d"},
    {RepairCounter::dbPaddingClean, "dbPaddingClean=%d"},
    {RepairCounter::ddlistPaddingClean, "ddlistPaddingClean=%d"},
    {RepairCounter::dbdataPaddingClean, "dbdataPaddingClean=%d"},
    {RepairCounter::dbdataOverClean, "dbdataOverClean=%d"},
    {RepairCounter::dbNumberClean, "dbNumberClean=%d"},
    {RepairCounter::lfPaddingClean, "lfPaddingClean=%d"},
    {RepairCounter::lhPaddingClean, "lhPaddingClean=%d"},
    {RepairCounter::riPaddingClean, "riPaddingClean=%d"},
    {RepairCounter::liPaddingClean, "liPaddingClean=%d"},
    {RepairCounter::ContinueCellsClean, "ContinueCellsClean=%d"},
    {RepairCounter::UnpackedCellsClean, "UnpackedCellsClean=%d"},
    {RepairCounter::moveCellsClean, "moveCellsClean=%d"},
    {RepairCounter::UnaccessCellsClean, "UnaccessCellsClean=%d"},
    {RepairCounter::UnallocCellsClean, "UnallocCellsClean=%d"},
    {RepairCounter::DescriptorControlDaclClean, "DescriptorControlDaclClean=%d"},
    {RepairCounter::DescriptorControlSaclClean, "DescriptorControlSaclClean=%d"},
    {RepairCounter::DescriptorDaclSidClean, "DescriptorDaclSidClean=%d"},
    {RepairCounter::DescriptorDaclLengthClean, "DescriptorDaclLengthClean=%d"},
    {RepairCounter::DescriptorDaclClean, "DescriptorDaclClean=%d"},
    {RepairCounter::DescriptorDaclSequenceClean, "DescriptorDaclSequenceClean=%d"},
    {RepairCounter::DescriptorDaclAceTypeClean, "DescriptorDaclAceTypeClean=%d"},
    {RepairCounter::DescriptorDaclAceMaskClean, "DescriptorDaclAceMaskClean=%d"},
    {RepairCounter::DescriptorDaclAdminClean, "DescriptorDaclAdminClean=%d"},
    {RepairCounter::DescriptorDaclLocalClean, "DescriptorDaclLocalClean=%d"},
    {RepairCounter::regfExpandCount, "regfExpandCount=%d"},
    {RepairCounter::RegCreateKeyExCount, "RegCreateKeyExCount=%d"},
    {RepairCounter::RegSetValueExCount, "RegSetValueExCount=%d"},
};
static_assert(sizeof kCounterLines / sizeof kCounterLines[0] == 77);

}  // namespace

void PrintRepairCounters(PassState& ctx) {
  if (ctx.Image == nullptr) return;
  ScanTotals totals(ctx);
  for (const CounterLine& line : kCounterLines) {
    int32_t value = totals.Counter(line.slot);
    if (value == 0) continue;
    char text[kLineBuffer];
    FormatText(text, sizeof text, line.format, value);
    LogLine(ctx, text, kBlack);
  }
}

void ForEachRepairCounter(PassState& ctx, const std::function<void(std::string_view name, int32_t value)>& visit) {
  if (ctx.Image == nullptr) return;
  ScanTotals totals(ctx);
  for (const CounterLine& line : kCounterLines) {
    std::string_view name(line.format);
    visit(name.substr(0, name.find('=')), totals.Counter(line.slot));
  }
}

}  // namespace quelbrix
