// EnablePrivilege: the process-token step of start-up.  The machine registry
// folder's file permissions are the real access control, so enabling a
// privilege is a no-op that reports success.
#pragma once

namespace quelbrix {

bool EnablePrivilege(const char* name);

}  // namespace quelbrix
