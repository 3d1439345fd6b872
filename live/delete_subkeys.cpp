// Delete subkeys: empties the hive mounted under HKLM\Rebuild, depth first,
// counting the subkeys and values met and the subkeys that stay.
#include <string>
#include <vector>

#include "core/texts.h"
#include "live/live_commands.h"
#include "registry/registry.h"

namespace quelbrix {
namespace {

using registry::DWORD;
using registry::HKEY;

constexpr DWORD kSubkeyNameChars = 256;
constexpr DWORD kValueNameChars = 16384;
// Path and status texts are held in 4096 bytes; a deeper path is shown cut.
constexpr size_t kPathText = 4095;

struct Walk {
  const PassState& run;
  std::string caption;
  DeleteCounts& counts;
  std::string shownHead;  // the caption in the run's language and a space
};

void ShowKey(Walk& w, const std::string& path) {
  PassOutput* out = w.run.StatusOut();
  if (out == nullptr) return;
  std::string text = w.caption + " " + path;
  if (text.size() > kPathText) text.resize(kPathText);
  out->Status(0, text, w.shownHead, path.size() > kPathText ? path.substr(0, kPathText) : path);
}

// Empties parent\name.  Buffers live on the heap: one level per key depth,
// and a hive may nest hundreds of levels.  False when the close of the key
// could not write the hive back (only the mount's own key holds the last
// handle).
bool DeleteSubtree(Walk& w, HKEY parent, const std::string& name, const std::string& path) {
  if (name.empty()) return true;
  ShowKey(w, path);
  HKEY key = 0;
  if (registry::RegOpenKeyExA(parent, name.c_str(), 0, registry::KEY_ALL_ACCESS, &key) != registry::ERROR_SUCCESS)
    return true;
  std::vector<char> subkey(kSubkeyNameChars);
  DWORD index = 0;
  for (;;) {
    DWORD chars = kSubkeyNameChars;
    if (registry::RegEnumKeyExA(key, index, subkey.data(), &chars, nullptr, nullptr, nullptr, nullptr) !=
        registry::ERROR_SUCCESS)
      break;
    ++w.counts.AccessedKeys;
    std::string child(subkey.data(), chars);
    // The path only feeds the status text; it stops growing at what that shows.
    if (!w.run.Aborted()) DeleteSubtree(w, key, child, path.size() < kPathText ? path + "\\" + child : path);
    // A key that stays is passed over, so the next enumeration finds the one after it.
    if (registry::RegDeleteKeyA(key, child.c_str()) != registry::ERROR_SUCCESS) {
      ++w.counts.RemainingKeys;
      ++index;
    }
  }
  std::vector<char> value(kValueNameChars);
  index = 0;
  for (;;) {
    DWORD chars = kValueNameChars;
    if (registry::RegEnumValueA(key, index, value.data(), &chars, nullptr, nullptr, nullptr, nullptr) !=
        registry::ERROR_SUCCESS)
      break;
    ++w.counts.AccessedValues;
    if (registry::RegDeleteValueA(key, value.data()) != registry::ERROR_SUCCESS) ++index;
  }
  return registry::RegCloseKey(key) == registry::ERROR_SUCCESS;
}

}  // namespace

bool DeleteSubkeys(LiveJob& job, const PassState& run, DeleteCounts* counts) {
  *counts = DeleteCounts{};
  if (!registry::SelectMachineRegistry(job.RegistryRoot)) return false;
  Walk w{run, run.CaptionAnsi, *counts, run.CaptionShown + " "};
  return DeleteSubtree(w, registry::HKEY_LOCAL_MACHINE, "Rebuild", "") || RegistryRefused(job);
}

}  // namespace quelbrix
