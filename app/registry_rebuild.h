// Hive rebuild's registry calls over the machine registry folder of the run
// (ctx.RegistryRoot): a mount that cannot be opened or written back sets
// ctx.RegistryFailed and the reason in ctx.Failure.
#pragma once

#include "app/context.h"

namespace quelbrix {

class RegistryRebuild final : public RebuildTarget {
 public:
  explicit RegistryRebuild(HiveContext& ctx) : ctx_(ctx) {}
  RegHandle OpenRoot() override;
  RegHandle CreateKey(RegHandle parent, const char16_t* name, const char16_t* className, const uint8_t* descriptor,
                      uint32_t descriptorLength) override;
  void CloseKey(RegHandle key, uint64_t lastWrite, bool root) override;
  void SetValueW(RegHandle key, const char16_t* name, uint32_t type, const uint8_t* data, uint32_t length) override;

 private:
  HiveContext& ctx_;
};

}  // namespace quelbrix
