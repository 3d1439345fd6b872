// Ctrl-C of the command line.  The handler is installed before anything is
// read, so no interrupt is lost: the first one marks the whole run as aborted
// (no later step may start, whatever the running step does with it) and asks
// the running command to stop; the second ends the process at once.
#pragma once

#include "app/context.h"

namespace quelbrix {

// Installs the SIGINT handler and unblocks SIGINT, so that one already
// pending when the program started arrives here too.
void InstallInterruptHandler();

// The context whose AbortRequested a Ctrl-C sets; set before its first
// command.  An interrupt that came earlier is passed on at once.
void InterruptContext(HiveContext* ctx);

// Whether a Ctrl-C has arrived since the program started.
bool Interrupted();

}  // namespace quelbrix
