#include "app/registry_rebuild.h"

#include "registry/registry.h"

namespace quelbrix {

namespace reg = registry;

RegHandle RegistryRebuild::OpenRoot() {
  reg::HKEY root = 0;
  if (!reg::SelectMachineRegistry(ctx_.RegistryRoot) ||
      reg::RegOpenKeyExA(reg::HKEY_LOCAL_MACHINE, "Rebuild", 0, reg::KEY_ALL_ACCESS, &root) != reg::ERROR_SUCCESS) {
    // Nothing can be re-created: the command must not end as a success.
    ctx_.RegistryFailed = true;
    ctx_.Failure = reg::LastFileFailure();
    return 0;
  }
  return root;
}

RegHandle RegistryRebuild::CreateKey(RegHandle parent, const char16_t* name, const char16_t* className,
                                     const uint8_t* descriptor, uint32_t descriptorLength) {
  if (parent == 0) return 0;
  reg::SECURITY_ATTRIBUTES attributes;
  attributes.lpSecurityDescriptor = descriptor;
  attributes.DescriptorLength = descriptor ? descriptorLength : 0;
  reg::HKEY key = 0;
  if (reg::RegCreateKeyExW(static_cast<reg::HKEY>(parent), name, 0, className, reg::REG_OPTION_NON_VOLATILE,
                           reg::KEY_ALL_ACCESS, &attributes, &key, nullptr) != reg::ERROR_SUCCESS)
    return 0;
  return key;
}

void RegistryRebuild::CloseKey(RegHandle key, uint64_t lastWrite, bool root) {
  if (key == 0) return;
  reg::SetKeyLastWriteTime(static_cast<reg::HKEY>(key), lastWrite);
  // The root's handle is the last into the mount: its close is the write-back.
  if (reg::RegCloseKey(static_cast<reg::HKEY>(key)) != reg::ERROR_SUCCESS && root) {
    ctx_.RegistryFailed = true;
    ctx_.Failure = reg::LastFileFailure();
  }
}

void RegistryRebuild::SetValueW(RegHandle key, const char16_t* name, uint32_t type, const uint8_t* data,
                                uint32_t length) {
  if (key == 0) return;
  reg::RegSetValueExW(static_cast<reg::HKEY>(key), name, 0, type, data, length);
}

}  // namespace quelbrix
