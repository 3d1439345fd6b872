// Many hives in one command: `search`, `repair`, `defrag`, `recover` and
// `export` over several HIVE arguments, a folder (--recursive DIR) or a list
// (--from FILE).  Each hive runs as a child process of its own (one hive's
// damage or memory never touches another's), N at once (-j), and ends as one
// JSON line on stdout (--jsonl) as soon as it is done.
#pragma once

#include <CLI/CLI.hpp>

namespace quelbrix {

// The batch's options in the command's --help (the batch reads them itself).
void AddBatchHelp(CLI::App* command);

// Whether the command line asks for more than one hive, or for a batch
// option (--recursive, --from, --jsonl, -j, --resume).
bool IsBatchRun(int argc, char** argv);

// Runs the batch; returns 1 if any hive failed, else 3 if any had damage,
// else 0 (2 for a usage error, 130 after Ctrl-C).
int RunBatch(int argc, char** argv);

}  // namespace quelbrix
