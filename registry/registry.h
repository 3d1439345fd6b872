// The registry calls of the live-registry commands and of Hive rebuild, with
// the semantics and error codes of the Windows registry, over a machine
// registry folder that stands for HKEY_LOCAL_MACHINE: its files SYSTEM,
// SOFTWARE, SAM and SECURITY are the machine's hives (created empty when
// first opened), and RegLoadKeyA mounts further hive files under HKLM, noted
// in the folder's mount table so the mount outlives the process.
//
// Call SelectMachineRegistry(ctx.RegistryRoot) before the first call of a
// command.  A hive is read when a call first needs it and stays in memory
// while a handle into it is open; changes are written back as a fresh hive,
// atomically, when its last handle is closed (the end of a command's walk),
// at RegFlushKey and at RegUnLoadKeyA.  A process that dies before that
// leaves the file as it was last written.
//
// Hive rebuild uses, per key: RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Rebuild",
// 0, KEY_ALL_ACCESS, &root) for the root; RegCreateKeyExW(parent, name, 0,
// className, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, &attributes, &key,
// nullptr) for every other key, where attributes.lpSecurityDescriptor and
// attributes.DescriptorLength give the key's own descriptor bytes (or null
// for none: the key then takes its parent's); RegSetValueExW per value, names
// and data as the hive holds them; SetKeyLastWriteTime with the source key's
// time and RegCloseKey when a key's subtree is done.  A call on a null handle
// fails with ERROR_INVALID_HANDLE, so a key that could not be created fails
// its values and subkeys silently.  The close of the last handle into a hive
// writes it back and says whether that worked.
//
// All calls are thread-safe (one lock); nothing here throws.
#pragma once

#include <cstdint>
#include <string>

#include "platform/status.h"

namespace quelbrix::registry {

using LONG = int32_t;
using DWORD = uint32_t;
using REGSAM = uint32_t;
// A registry handle: 0 for none.  Handles are process-wide, like the
// registry's own.
using HKEY = uint32_t;

constexpr HKEY HKEY_LOCAL_MACHINE = 0x80000002u;

constexpr LONG ERROR_SUCCESS = 0;
constexpr LONG ERROR_FILE_NOT_FOUND = 2;
constexpr LONG ERROR_ACCESS_DENIED = 5;
constexpr LONG ERROR_INVALID_HANDLE = 6;
constexpr LONG ERROR_WRITE_FAULT = 29;
constexpr LONG ERROR_SHARING_VIOLATION = 32;
constexpr LONG ERROR_INVALID_PARAMETER = 87;
constexpr LONG ERROR_ALREADY_EXISTS = 183;
constexpr LONG ERROR_FILENAME_EXCED_RANGE = 206;
constexpr LONG ERROR_MORE_DATA = 234;
constexpr LONG ERROR_NO_MORE_ITEMS = 259;
constexpr LONG ERROR_NOACCESS = 998;
constexpr LONG ERROR_BADDB = 1009;
constexpr LONG ERROR_KEY_DELETED = 1018;
constexpr LONG ERROR_CHILD_MUST_BE_VOLATILE = 1021;
constexpr LONG ERROR_INVALID_SECURITY_DESCR = 1338;

constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;
constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
constexpr DWORD REG_OPTION_VOLATILE = 1;
constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

constexpr DWORD REG_NONE = 0, REG_SZ = 1, REG_EXPAND_SZ = 2, REG_BINARY = 3, REG_DWORD = 4,
                REG_DWORD_BIG_ENDIAN = 5, REG_LINK = 6, REG_MULTI_SZ = 7, REG_RESOURCE_LIST = 8,
                REG_FULL_RESOURCE_DESCRIPTOR = 9, REG_RESOURCE_REQUIREMENTS_LIST = 10, REG_QWORD = 11;

// Longest key name and value name, in UTF-16 units.
constexpr size_t kMaxKeyNameUnits = 255;
constexpr size_t kMaxValueNameUnits = 16383;

// The descriptor a new key gets.  A self-relative descriptor carries no
// length of its own, so the record names it; a descriptor that is not a
// well-formed self-relative one fails the create with
// ERROR_INVALID_SECURITY_DESCR, as on Windows.
struct SECURITY_ATTRIBUTES {
  DWORD nLength = sizeof(SECURITY_ATTRIBUTES);
  const void* lpSecurityDescriptor = nullptr;
  int bInheritHandle = 0;
  DWORD DescriptorLength = 0;
};

// Binds the calls to the machine registry folder `folder`.  Hives loaded from
// an earlier folder are written back and dropped.  False while handles into
// the earlier folder are still open.
bool SelectMachineRegistry(const std::string& folder);

// Names are in the ANSI code page; sub keys are paths with backslashes.
LONG RegOpenKeyExA(HKEY key, const char* subKey, DWORD options, REGSAM desired, HKEY* result);
LONG RegCreateKeyExA(HKEY key, const char* subKey, DWORD reserved, const char* className, DWORD options,
                     REGSAM desired, const SECURITY_ATTRIBUTES* attributes, HKEY* result, DWORD* disposition);
// The same with names in UTF-16 (NUL-terminated), so no name depends on the
// ANSI code page.
LONG RegCreateKeyExW(HKEY key, const char16_t* subKey, DWORD reserved, const char16_t* className, DWORD options,
                     REGSAM desired, const SECURITY_ATTRIBUTES* attributes, HKEY* result, DWORD* disposition);
// Sets a key's last-write time (a FILETIME), as the native key-information
// call of the registry does; later changes to the key set it anew.
LONG SetKeyLastWriteTime(HKEY key, uint64_t lastWrite);
// REG_SZ, REG_EXPAND_SZ and REG_MULTI_SZ data is ANSI text, stored as UTF-16;
// other types are stored as given.
LONG RegSetValueExA(HKEY key, const char* valueName, DWORD reserved, DWORD type, const uint8_t* data, DWORD size);
LONG RegSetValueExW(HKEY key, const char16_t* valueName, DWORD reserved, DWORD type, const uint8_t* data,
                    DWORD size);
// *nameChars: capacity in, length without the NUL out.  ERROR_MORE_DATA when
// the name and its NUL do not fit.  `lastWrite` (a FILETIME) may be null.
LONG RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* nameChars, DWORD* reserved, char* className,
                   DWORD* classChars, uint64_t* lastWrite);
// String data comes back in the ANSI code page.  data and dataSize may be null.
LONG RegEnumValueA(HKEY key, DWORD index, char* name, DWORD* nameChars, DWORD* reserved, DWORD* type, uint8_t* data,
                   DWORD* dataSize);
// Fails with ERROR_ACCESS_DENIED on a key that has subkeys, on a hive's root
// and on a key flagged as undeletable.
LONG RegDeleteKeyA(HKEY key, const char* subKey);
LONG RegDeleteValueA(HKEY key, const char* valueName);
LONG RegFlushKey(HKEY key);
// Writes the key's subtree as a fresh hive; fails with ERROR_ALREADY_EXISTS
// when the file exists.
LONG RegSaveKeyA(HKEY key, const char* file, const SECURITY_ATTRIBUTES* attributes);
// Mounts a hive file under HKLM\subKey.  Fails when that key exists, when
// the file is mounted already, or when it is not a sound hive.  The file is
// not changed by the load.
LONG RegLoadKeyA(HKEY key, const char* subKey, const char* file);
LONG RegUnLoadKeyA(HKEY key, const char* subKey);
// Closing the last handle into a changed hive writes the hive back:
// ERROR_WRITE_FAULT when that failed (the hive stays changed in memory, the
// file as it was).
LONG RegCloseKey(HKEY key);

// Why the last call that failed at a file step failed (a hive or the mount
// table that could not be read or written): what its error code cannot
// carry.  Ok when no file step failed since the folder was last selected.
platform::Status LastFileFailure();

// The file mounted as HKLM\subKey, "" when none is.
std::string MountedHivePath(const char* subKey);

}  // namespace quelbrix::registry
