// Runs a program as a child process and waits for it: for tests that drive the
// `quelbrix` command or an independent reader (xz, python3, hivexsh).  The
// child inherits the environment; its stdin is /dev/null.
#pragma once

#include <string>
#include <vector>

namespace quelbrix::testing {

struct ProcessResult {
  // The exit status; 128 + the signal number when a signal ended the child
  // (as a shell reports it); -1 when it could not be started.
  int status = -1;
  int signal = 0;   // the signal that ended the child; 0 when it exited
  std::string out;  // stdout, unless it went to a file
  std::string err;
};

// argv[0] is looked up in PATH.  With stdoutFile, stdout goes to that file.
ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& stdoutFile = std::string());

// Runs the program and sends it `signal` once its stderr holds `cue`; the
// result says whether the cue was seen at all (else no signal was sent).
ProcessResult RunProcessAndSignal(const std::vector<std::string>& argv, const std::string& cue, int signal,
                                  bool* cueSeen);

}  // namespace quelbrix::testing
