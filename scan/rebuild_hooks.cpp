#include "scan/rebuild_hooks.h"

#include "registry/registry.h"

namespace quelbrix {

namespace reg = registry;

RegHandle RebuildOpenRoot(HiveContext& ctx) {
  if (!reg::SelectMachineRegistry(ctx.RegistryRoot)) return 0;
  reg::HKEY root = 0;
  if (reg::RegOpenKeyExA(reg::HKEY_LOCAL_MACHINE, "Rebuild", 0, reg::KEY_ALL_ACCESS, &root) != reg::ERROR_SUCCESS)
    return 0;
  return root;
}

RegHandle RebuildCreateKey(HiveContext&, RegHandle parent, const char* name, const char* className,
                           const uint8_t* descriptor, uint32_t descriptorLength) {
  if (parent == 0) return 0;
  reg::SECURITY_ATTRIBUTES attributes;
  attributes.lpSecurityDescriptor = descriptor;
  attributes.DescriptorLength = descriptor ? descriptorLength : 0;
  reg::HKEY key = 0;
  if (reg::RegCreateKeyExA(static_cast<reg::HKEY>(parent), name, 0, className, reg::REG_OPTION_NON_VOLATILE,
                           reg::KEY_ALL_ACCESS, &attributes, &key, nullptr) != reg::ERROR_SUCCESS)
    return 0;
  return key;
}

void RebuildCloseKey(HiveContext&, RegHandle key) {
  if (key != 0) reg::RegCloseKey(static_cast<reg::HKEY>(key));
}

void RebuildSetValueA(HiveContext&, RegHandle key, const char* name, uint32_t type, const char* data,
                      uint32_t length) {
  if (key == 0) return;
  reg::RegSetValueExA(static_cast<reg::HKEY>(key), name, 0, type, reinterpret_cast<const uint8_t*>(data), length);
}

void RebuildSetValueW(HiveContext&, RegHandle key, const char16_t* name, uint32_t type, const uint8_t* data,
                      uint32_t length) {
  if (key == 0) return;
  reg::RegSetValueExW(static_cast<reg::HKEY>(key), name, 0, type, data, length);
}

}  // namespace quelbrix
