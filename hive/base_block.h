// The base block ("regf") of a hive: its fields, the checksum, the first
// phase of every scan ("[regf Infomation]"), the base-block repair of Repair
// in diagnostic mode, and the closing fix-up of FileSize and checksum.
#pragma once

#include <cstdint>
#include <string>

#include "core/pass_state.h"
#include "hive/bins.h"
#include "hive/regf.h"

namespace quelbrix {

class BaseBlock {
 public:
  explicit BaseBlock(const HiveImage& image) : image_(image) {}

  bool HasSignature() const { return image_.Contains(0, 4) && image_.U32(0) == kRegfSignature; }
  uint32_t PrimarySequence() const { return image_.U32(regf::kPrimarySequence); }
  uint32_t SecondarySequence() const { return image_.U32(regf::kSecondarySequence); }
  void SetSecondarySequence(uint32_t v) const { image_.SetU32(regf::kSecondarySequence, v); }
  uint64_t TimeStamp() const { return image_.U64(regf::kTimeStamp); }
  void SetTimeStamp(uint64_t v) const { image_.SetU64(regf::kTimeStamp, v); }
  uint32_t MajorVersion() const { return image_.U32(regf::kMajorVersion); }
  uint32_t MinorVersion() const { return image_.U32(regf::kMinorVersion); }
  uint32_t Type() const { return image_.U32(regf::kType); }
  uint32_t Format() const { return image_.U32(regf::kFormat); }
  uint32_t RootCellOffset() const { return image_.U32(regf::kRootCellOffset); }
  uint32_t HbinsDataSize() const { return image_.U32(regf::kHbinsDataSize); }
  void SetHbinsDataSize(uint32_t v) const { image_.SetU32(regf::kHbinsDataSize, v); }
  uint32_t ClusteringFactor() const { return image_.U32(regf::kClusteringFactor); }
  uint32_t Unknown4() const { return image_.U32(0x90); }
  void SetUnknown4(uint32_t v) const { image_.SetU32(0x90, v); }
  uint32_t Unknown5() const { return image_.U32(0xA4); }
  void SetUnknown5(uint32_t v) const { image_.SetU32(0xA4, v); }
  uint32_t Checksum() const { return image_.U32(regf::kChecksum); }
  void SetChecksum(uint32_t v) const { image_.SetU32(regf::kChecksum, v); }
  uint32_t BootType() const { return image_.U32(0xFF8); }
  uint32_t BootRecover() const { return image_.U32(0xFFC); }

  static constexpr uint32_t kFileName = regf::kFileName;
  static constexpr uint32_t kFileNameLength = 64;
  static constexpr uint32_t kGuidAreas[6] = {0x070, 0x080, 0x094, 0xFC8, 0xFD8, 0xFE8};
  static constexpr uint32_t kReserved1 = 0xA8, kReserved1Dwords = 85;
  static constexpr uint32_t kReserved2 = 0x200, kReserved2Dwords = 882;

 private:
  HiveImage image_;
};

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" of 16 GUID bytes.
std::string GuidText(const uint8_t* guid);

// Phase 1 of a scan.  False when the scan must stop (no "regf", or a file
// shorter than the declared hive bins data size + 4096 unless keepShortFile:
// the caller then salvages what the file holds).
bool BaseBlockPhase(PassState& ctx, bool keepShortFile = false);

// Base-block repair at the end of Repair in diagnostic mode.
void RepairBaseBlock(PassState& ctx);

// Closing fix-up of Repair and Defrag: FileSize from the declared size, then
// the checksum.
void ClosingFixup(PassState& ctx);

}  // namespace quelbrix
