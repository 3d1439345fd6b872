// The transaction-log step of Read: recovers the HiveImage that Read filled
// from the logs beside the file, unless the run asked for the file as stored,
// and the report phase that says what was applied or refused.
#pragma once

#include <string>

#include "app/context.h"

namespace quelbrix::txlog {

// After Read filled the image from ctx.InputPath.  Replaces the image (and its
// AccessMap) by the recovered hive when logs apply; sets ctx.LogOutcome.
// `status` gets a text for the status line ("" when no log was found).  False
// when the recovered hive does not fit in memory (the image is then gone).
bool RecoverAfterRead(HiveContext& ctx, std::string* status);

// The report phase of the last Read's logs; nothing when none was found.
void LogRecoveryPhase(HiveContext& ctx);

// " (transaction logs applied)" when the image holds a recovered hive, else "".
std::string AppliedSuffix(const HiveContext& ctx);

}  // namespace quelbrix::txlog
