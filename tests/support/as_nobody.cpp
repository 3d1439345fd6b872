#include "support/as_nobody.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "support/run_process.h"

namespace quelbrix::testing {
namespace {

namespace fs = std::filesystem;

NobodyRunner Make() {
  NobodyRunner runner;
  std::string folder = FolderNobodyCanEnter("quelbrix-nobody");
  if (folder.empty()) {
    runner.skip = "cannot make a folder under /tmp for nobody";
    return runner;
  }
  static std::string toRemove = folder;
  std::atexit([] {
    std::error_code ec;
    fs::remove_all(toRemove, ec);
  });
  runner.cli = folder + "/quelbrix";
  std::error_code ec;
  fs::copy_file(QUELBRIX_CLI, runner.cli, ec);
  if (ec || chmod(runner.cli.c_str(), 0755) != 0) {
    runner.skip = "cannot copy " QUELBRIX_CLI " to " + folder + ": " + ec.message();
    return runner;
  }
  runner.prefix = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"};
  std::vector<std::string> probe = runner.prefix;
  probe.insert(probe.end(), {runner.cli, "--version"});
  ProcessResult r = RunProcess(probe);
  if (r.status != 0)
    runner.skip = "nobody cannot run " + runner.cli + " (exit " + std::to_string(r.status) + "): " + r.err;
  return runner;
}

}  // namespace

const NobodyRunner& AsNobodyRunner() {
  static const NobodyRunner runner = Make();
  return runner;
}

std::string FolderNobodyCanEnter(const std::string& name) {
  std::string pattern = "/tmp/" + name + "-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr || chmod(pattern.c_str(), 0755) != 0) return std::string();
  return pattern;
}

}  // namespace quelbrix::testing
