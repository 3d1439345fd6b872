#include "hive/base_block.h"

#include "core/report_log.h"
#include "hive/report_finding.h"
#include "hive/access_map.h"

namespace quelbrix {

std::string GuidText(const uint8_t* g) {
  char text[64];
  FormatText(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", LoadU32(g), LoadU16(g + 4),
             LoadU16(g + 6), g[8], g[9], g[10], g[11], g[12], g[13], g[14], g[15]);
  return text;
}

bool BaseBlockPhase(PassState& ctx, bool keepShortFile) {
  HiveImage image(ctx);
  BaseBlock bb(image);
  uint32_t fileSize = static_cast<uint32_t>(ctx.FileSize);
  char text[kLineBuffer];

  // The path is the file system's bytes, whatever the code page: the pane
  // shows them as they are.
  const std::string fileLine = "FileName=" + ctx.CurrentFile;
  LogLineShown(ctx, fileLine, fileLine, kBlack);
  LogLineF(ctx, kBlack, "FileSize(Byte)=%d 0x%08x", static_cast<int>(fileSize), fileSize);
  if (ctx.FileSize % kPageSize != 0) Report<FindingKind::kFileSizeNotPages>(ctx, kNoOffset);
  LogLineF(ctx, kGreen, "[regf Infomation] %s", NowText().c_str());
  if (!bb.HasSignature() || image.Size() < kBaseBlockSize) {
    Report<FindingKind::kRegfSignature>(ctx, kNoOffset);
    return false;
  }

  uint32_t sum = ComputeChecksum(image.Data());
  if (sum == bb.Checksum())
    LogLineF(ctx, kBlack, "regfChecksum calculate=0x%08x actual=0x%08x", sum, bb.Checksum());
  else
    Report<FindingKind::kRegfChecksum>(ctx, kNoOffset, sum, bb.Checksum());

  Utf16ToAnsi(text, BaseBlock::kFileNameLength, sizeof text, image.Data() + BaseBlock::kFileName);
  LogLineF(ctx, kBlack, "regfFileName=%s", text);
  LogLineF(ctx, kBlack, "regfTimeStamp=%s", FormatFileTime(text, sizeof text, bb.TimeStamp()));

  ctx.HiveMajorVersion = bb.MajorVersion();
  ctx.HiveMinorVersion = bb.MinorVersion();
  LogLineF(ctx, kBlack, "regfVersion=%d.%d", static_cast<int>(bb.MajorVersion()), static_cast<int>(bb.MinorVersion()));

  int primary = static_cast<int>(bb.PrimarySequence());
  int secondary = static_cast<int>(bb.SecondarySequence());
  if (primary == secondary) {
    LogLineF(ctx, kBlack, "regfSequence=%d.%d", primary, secondary);
  } else {
    Report<FindingKind::kRegfSequence>(ctx, kNoOffset, primary, secondary);
    if (ctx.Rules.Repair) {
      bb.SetSecondarySequence(bb.PrimarySequence());
      ScanTotals(ctx).SetCounter(RepairCounter::regfSequenceClean, 1);
    }
  }
  LogLineF(ctx, kBlack, "regfType=%d", static_cast<int>(bb.Type()));
  LogLineF(ctx, kBlack, "regfFormat=%d", static_cast<int>(bb.Format()));
  LogLineF(ctx, kBlack, "regfCluster=%d", static_cast<int>(bb.ClusteringFactor()));
  LogLineF(ctx, kBlack, "regfBootType=%d", static_cast<int>(bb.BootType()));
  LogLineF(ctx, kBlack, "regfBootRecover=%d", static_cast<int>(bb.BootRecover()));

  if (ctx.Rules.ExtendedRepair) {
    LogLineF(ctx, kBlack, "regfUnknown4=0x%08x", bb.Unknown4());
    LogLineF(ctx, kBlack, "regfUnknown5=0x%08x", bb.Unknown5());
    for (int i = 0; i < 6; ++i) {
      std::string guid = GuidText(image.Data() + BaseBlock::kGuidAreas[i]);
      LogLineF(ctx, kBlack, "regfGUID%d=%s", i + 1, guid.c_str());
    }
  }

  uint64_t expected = uint64_t{bb.HbinsDataSize()} + kBaseBlockSize;
  if (ctx.FileSize != expected) {
    const int calculated = static_cast<int>(static_cast<uint32_t>(expected));
    // Space after the last bin is slack the system leaves, not damage.
    if (ctx.FileSize < expected) {
      Report<FindingKind::kFileSizeShort>(ctx, kNoOffset, calculated, static_cast<int>(fileSize));
      if (!keepShortFile) return false;
    } else {
      Report<FindingKind::kFileSizeSlack>(ctx, kNoOffset, calculated, static_cast<int>(fileSize));
    }
  }
  return true;
}

void RepairBaseBlock(PassState& ctx) {
  HiveImage image(ctx);
  if (image.Size() < kBaseBlockSize + kBinHeaderSize) return;
  BaseBlock bb(image);
  ScanTotals totals(ctx);
  uint8_t* d = image.Data();

  if (bb.Unknown4() != 0 || bb.Unknown5() != 0) {
    bb.SetUnknown4(0);
    bb.SetUnknown5(0);
    totals.Count(RepairCounter::regfUnknownClean);
  }
  for (uint32_t area : BaseBlock::kGuidAreas) {
    bool dirty = false;
    for (uint32_t i = 0; i < 16; ++i) dirty |= d[area + i] != 0;
    if (!dirty) continue;
    for (uint32_t i = 0; i < 16; ++i) d[area + i] = 0;
    totals.Count(RepairCounter::regfGuidClean);
  }
  for (uint32_t i = 0; i < BaseBlock::kReserved1Dwords; ++i) {
    uint32_t pos = BaseBlock::kReserved1 + 4 * i;
    if (image.U32(pos) == 0) continue;
    image.SetU32(pos, 0);
    totals.Count(RepairCounter::regfReserve1Clean);
  }
  for (uint32_t i = 0; i < BaseBlock::kReserved2Dwords; ++i) {
    uint32_t pos = BaseBlock::kReserved2 + 4 * i;
    if (image.U32(pos) == 0) continue;
    image.SetU32(pos, 0);
    totals.Count(RepairCounter::regfReserve2Clean);
  }
  bool nameDirty = false;
  for (uint32_t i = 0; i < BaseBlock::kFileNameLength; ++i) nameDirty |= d[BaseBlock::kFileName + i] != 0;
  if (nameDirty) {
    for (uint32_t i = 0; i < BaseBlock::kFileNameLength; ++i) d[BaseBlock::kFileName + i] = 0;
    totals.Count(RepairCounter::regfFileNameClean);
  }
  if (bb.TimeStamp() != 0) {
    bb.SetTimeStamp(0);
    totals.Count(RepairCounter::regfTimeStampClean);
  }
  BinHeader firstBin(image, kBaseBlockSize);
  if (firstBin.TimeStamp() != bb.TimeStamp()) {
    firstBin.SetTimeStamp(bb.TimeStamp());
    totals.Count(RepairCounter::HbinTimeStampClean);
  }
}

void ClosingFixup(PassState& ctx) {
  HiveImage image(ctx);
  if (image.Size() < kBaseBlockSize) return;
  BaseBlock bb(image);
  ScanTotals totals(ctx);
  uint64_t expected = uint64_t{bb.HbinsDataSize()} + kBaseBlockSize;
  // Write writes FileSize bytes of the image: never let it reach past it.
  if (expected > image.Size()) expected = image.Size();
  if (ctx.FileSize != expected) {
    ctx.FileSize = expected;
    totals.Count(RepairCounter::FileSizeClean);
  }
  uint32_t sum = ComputeChecksum(image.Data());
  if (sum != bb.Checksum()) {
    bb.SetChecksum(sum);
    totals.Count(RepairCounter::regfCheckSumClean);
  }
}

}  // namespace quelbrix
