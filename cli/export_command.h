// `quelbrix export`: the keys and values under one key of a hive as a
// registry editor file or as JSON, on stdout or written atomically to a file.
// Reads with the tolerant hive reader (after log recovery unless --no-logs);
// what it could not read is counted on stderr.
#pragma once

#include <string>

namespace quelbrix {

struct ExportRequest {
  std::string hive;
  std::string key;     // backslash-separated from the root, any letter case; "" for the root
  std::string format;  // "reg" or "json"
  std::string output;  // "" or "-" for stdout
  std::string prefix;  // what the file calls the root key
  bool prefixGiven = false;  // else the root key's own name
};

// Exit status: 0 exported whole, 3 exported with unreadable parts left out,
// 1 when the hive cannot be read, KEY is not in it or the output fails,
// 2 for the .reg format bound for a terminal, 130 after Ctrl-C (nothing
// written).
int RunExport(const ExportRequest& request);

}  // namespace quelbrix
