// The value step of the key walk: the value list of a key, every vk cell, its
// data (inline, data cell or big data), one dump line per value in the report,
// the repairs of the repair modes and the registry writes of Hive rebuild.
#pragma once

#include <cstdint>
#include <string>

#include "core/pass_state.h"
#include "hive/cells.h"
#include "scan/rebuild_hooks.h"

namespace quelbrix {

// Called by the key walk when the key's vklistCount > 0.  pathLine is the
// key's report line (ANSI); depth 0 is the root key.
void ValueListStep(PassState& ctx, const NkCell& nk, const std::string& pathLine, int depth, RegHandle handle);

}  // namespace quelbrix
