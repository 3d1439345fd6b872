// The key tree walk: every key reachable from the root, depth first, with its
// name, index hash, parent link, sibling order, counts, class and security
// cell checked (and repaired in the repair modes), its values handed to the
// value step and its subkey index walked.  Runs on an explicit stack, so any
// nesting depth scans to the end.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/pass_state.h"
#include "core/report_log.h"
#include "hive/cells.h"
#include "scan/rebuild_hooks.h"

namespace quelbrix {

// Phase 6: walks the tree from the root key at `rootOffset`.  `keyCells`
// (0: unknown) is what the front end's share of work done counts against.
void WalkKeyTree(PassState& ctx, uint32_t rootOffset, uint32_t keyCells = 0);

namespace walk {

constexpr size_t kNameUnits = 256;
constexpr size_t kPathBytes = 4096;

// One key on the walk's stack.
struct KeyFrame {
  uint32_t Pos = 0;             // nk image position
  uint32_t IndexPos = 0;        // the lf/lh/li that led here, 0 for the root
  uint16_t IndexKind = 0;       // its signature, 0 for the root
  uint64_t HashSlot = 0;        // image position of the entry's Hash (lf, lh)
  int32_t Depth = 0;
  int32_t Parent = -1;          // stack index of the parent key frame
  size_t ParentPathLength = 0;  // where this key's name starts in the path
  RegHandle Handle = 0;
  bool Descending = false;      // the subkey index has been entered
  bool SubkeysAborted = false;
  // What the children report while the subkey index is walked.
  uint32_t ComputedSubkeyCount = 0;
  uint32_t ComputedMaxSubkey = 0;
  uint32_t ComputedMaxClass = 0;
  // The previous child in sibling order (its nk position, 0 before the
  // first), shared by all index cells of this key.  Its order key is derived
  // from the image again when needed, which keeps a frame small for hives
  // nested a hundred thousand keys deep.
  uint32_t PrevSibling = 0;
};

// One subkey index cell on the stack.
struct IndexFrame {
  uint32_t Pos = 0;      // image position of the index cell
  uint32_t OwnerPos = 0; // nk or ri that points here
  uint16_t OwnerKind = 0;
  uint16_t Kind = 0;     // signature once checked
  int32_t Key = -1;      // stack index of the owning key frame
  uint32_t Count = 0;
  uint32_t Next = 0;     // next entry to visit
  bool Entered = false;
};

struct Frame {
  bool IsKey = true;
  KeyFrame KeyPart;
  IndexFrame IndexPart;
};

struct WalkState {
  PassState* Ctx = nullptr;
  std::vector<Frame> Stack;
  std::string Path;  // the current key's path; each frame remembers where its name starts
  std::string Caption;
  // Reused for every key, so the walk does not allocate per key.
  std::string Status;
  std::string ShownHead;  // the caption in the run's language and a space
  std::string PathLine;
  FileTimeTexts Times;
  uint64_t KeysNamed = 0;
  uint64_t KeyCells = 0;
};

// Subkey index steps (scan/subkey_index.cpp).  EnterIndex runs the checks of
// the index cell and returns false when its entries are not to be walked;
// NextIndexEntry pushes the frame of the next entry or returns false when the
// cell is done; FinishIndex trims the cell and cleans its padding.
bool EnterIndex(WalkState& state, IndexFrame& frame, const KeyFrame& owner);
bool NextIndexEntry(WalkState& state, size_t frameIndex);
void FinishIndex(WalkState& state, const IndexFrame& frame);

}  // namespace walk
}  // namespace quelbrix
