// Running the built `quelbrix` as nobody (uid 65534) from a test run by root,
// where folder permissions would not stop the test itself.  The program is
// copied into a fresh mode-755 folder under /tmp, since the build folder may
// sit below one nobody cannot enter (root's home, mode 700).
#pragma once

#include <string>
#include <vector>

namespace quelbrix::testing {

struct NobodyRunner {
  std::vector<std::string> prefix;  // the command that switches to nobody, ending in "--"
  std::string cli;                  // the copy of the program nobody can run
  std::string skip;                 // why it cannot be done; "" when it can
};

// Made once per process; the copy is removed at exit.
const NobodyRunner& AsNobodyRunner();

// A fresh folder under /tmp that nobody can enter (mode 755), for the files
// the step reads; "" when it cannot be made.
std::string FolderNobodyCanEnter(const std::string& name);

}  // namespace quelbrix::testing
