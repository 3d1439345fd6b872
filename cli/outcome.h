// What one run of the `quelbrix` command did, for its verdict: exit status 3
// when a completed command found damage, and the --json summary.
#pragma once

#include <string>

#include "app/context.h"
#include "app/run_command.h"
#include "report/findings.h"

namespace quelbrix {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitDamage = 3;
constexpr int kExitAborted = 130;

struct CliSession {
  HiveContext context;         // outlives the command for the summary
  HiveContext* ctx = nullptr;  // set once a command runs
  std::string command;         // the subcommand's name
  std::string hive;            // absolute path of the hive read, if any
  std::string output;          // the file written, if any
  std::string reportPath;      // the report written, if any
  std::string statusShown;     // the final status text as shown, UTF-8
  int32_t scanCommand = 0;     // search, repair or defrag: ends with the summary line
  bool json = false;
  FindingList findings;        // heard with --json
};

// The exit status of a command's outcome.  A scan that stopped at damage has
// still reported on the hive; the commands that would change or write it
// refuse that case themselves, and VerdictOf turns its 0 into 3.  Only
// Ctrl-C aborts a command here.
int ExitStatusOf(CommandOutcome outcome);

// 0 turns into 3 when the run found a fault, or its scan stopped at damage
// it cannot pass; every other status stays.
int VerdictOf(int status, const HiveContext& ctx);

// Applies VerdictOf; with --json, prints the summary object on stdout; after
// search, repair and defrag, the summary line on stderr (with -q too).
int FinishRun(int status, CliSession& session);

}  // namespace quelbrix
