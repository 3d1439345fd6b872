// `quelbrix recover`: the deleted and superseded keys and values that the
// free space of a hive still holds, as a tree of text or as JSON on stdout.
// Reads the file as export does (after log recovery unless --no-logs); never
// writes anything.  Also the path forms that undelete takes.
#pragma once

#include <cstdint>
#include <string>

#include "deleted/deleted.h"

namespace quelbrix {

struct RecoverRequest {
  std::string hive;
  std::string key;     // "" for everything; else what lies under that path
  std::string format;  // "text" or "json"
  bool noLogs = false;  // the file as stored, whatever logs lie beside it
};

// Exit status: 0 listed, 1 when the hive cannot be read, 130 after Ctrl-C.
int RunRecover(const RecoverRequest& request);

// The key that undelete's PATH names: a path as recover prints it, or
// @OFFSET (hex with 0x, else decimal) of the nk cell; -1 when none.
int FindUndeleteTarget(const deleted::DeletedScan& scan, const std::string& target);

}  // namespace quelbrix
