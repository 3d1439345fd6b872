// What Repair and Defrag do beyond the fixed repairs of the scan, so that the
// hive they write loads with everything that was readable in it: the chain of
// bins is made whole before the bin walk (SalvageBins), the key tree is made
// sound before the key walk (SoundKeyTree), and the security cells are made
// true after the sk update (SoundSecurityCells).  Each does nothing, and
// writes nothing, on a hive that needs none of it.
#pragma once

#include "core/pass_state.h"

namespace quelbrix {

// The commands that leave a sound hive: Repair and Defrag.
bool MakesHiveSound(const PassState& ctx);

// The command that lets a key share its parent's security cell when their
// descriptors are byte-identical: Repair.
bool SharesDescriptors(const PassState& ctx);

// Before the bin walk.  Bins that go on validly past the declared size are
// kept; a file cut short ends at its last whole bin; a run of broken bins
// that the chain can be found again after becomes empty bins; a bin whose
// cells stop short keeps them up to the break and the rest becomes free.
// The declared size follows.
void SalvageBins(PassState& ctx);

// Before the key walk: every reference the walk would refuse is detached,
// subkey lists are put in order (duplicate names renamed), counts follow the
// lists and the root-key flag sits on the root alone.
void SoundKeyTree(PassState& ctx);

// After the sk update: every sk cell's RefCount is the number of keys that
// use it, unused sk cells are freed, and the ring links the used ones.
void SoundSecurityCells(PassState& ctx);

}  // namespace quelbrix
