// The program's terminal language follows the locale, and the tests read its
// Japanese texts: every test process, and each program it starts, runs
// under a Japanese message locale whatever locale the machine has.
#include <cstdlib>

namespace {

const bool kPinned = [] {
  unsetenv("LC_ALL");
  setenv("LC_MESSAGES", "ja_JP.UTF-8", 1);
  return true;
}();

}  // namespace
