// UndeleteKey: puts a key that FindDeleted recovered back into the hive in
// the image, with every recovered subkey and complete value below it: under
// its live parent, or under a key "Recovered" at the root when the parent is
// not in the live tree.  Every cell comes from GetNewCells; the parent's
// subkey list is laid out afresh in sibling order (the old cells freed) and
// its counts follow.  Needs the image as Read left it and the scan of that
// image; the caller runs Repair after it, which makes the rest true.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/pass_state.h"
#include "deleted/deleted.h"

namespace quelbrix::undelete {

struct Renamed {
  std::u16string Path;     // where the key would have gone, from the root
  std::u16string NewName;  // what it is called now
};

struct UndeleteResult {
  bool Done = false;
  std::string Problem;      // why nothing usable was written (the image is then unfit)
  uint32_t KeyOffset = 0;   // CellOffset of the restored key's nk cell
  std::u16string Path;      // where it is now, from the root
  bool UnderRecovered = false;
  std::vector<Renamed> Renames;  // names a sibling had taken
  size_t Keys = 0, Values = 0;
  size_t LeftOut = 0;  // values whose data the free space no longer held whole
};

UndeleteResult UndeleteKey(PassState& ctx, const deleted::DeletedScan& scan, int key);

}  // namespace quelbrix::undelete
