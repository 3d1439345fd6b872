#include "cli/command_line.h"

#include <strings.h>

#include <cstdio>
#include <filesystem>

namespace quelbrix {
namespace {

constexpr const char* kCommonHelp =
    "Common options (before or after the command): --output-dir DIR, --registry-root DIR, --codepage N,\n"
    "--lang ja|en (default: the locale), --diagnostic, --no-diagnostic, -q/--quiet, --no-color, --json,\n"
    "--version, --help.\n"
    "A scan command writes its report HIVENAME_PRIMARY_SECONDARY.COMMAND.txt (COMMAND: search, search-nodates,\n"
    "repair, defrag or rebuild; -nologs added under --no-logs) into the output folder and names it on stderr\n"
    "(\"report: PATH\"); search, repair and defrag end with one summary line on stderr (with -q too).\n"
    "Exit status: 0 completed and no damage found, 3 completed and damage found,\n"
    "1 failed or refused, 2 usage error, 130 aborted.  See quelbrix --help.";

}  // namespace

std::string VersionText() { return std::string("quelbrix ") + QUELBRIX_VERSION; }

void AddCommonHelp(CLI::App& app) {
  for (CLI::App* sub : app.get_subcommands([](CLI::App*) { return true; })) sub->footer(kCommonHelp);
}

int UsageExit(CLI::App& app, const CLI::ParseError& error) {
  if (const auto* extras = dynamic_cast<const CLI::ExtrasError*>(&error)) {
    (void)extras;
    std::vector<std::string> left = app.remaining();
    if (app.get_subcommands().empty() && !left.empty() && !left.front().empty() && left.front()[0] != '-') {
      std::fprintf(stderr, "quelbrix: unknown command '%s'; see quelbrix --help\n", left.front().c_str());
      return 2;
    }
  }
  return app.exit(error) == 0 ? 0 : 2;
}

std::string MissingMachineHive(const std::string& registryRoot, const std::string& name) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(registryRoot, ec)) {
    if (strcasecmp(entry.path().filename().c_str(), name.c_str()) == 0 && entry.is_regular_file(ec)) return "";
  }
  return registryRoot + "/" + name;
}

}  // namespace quelbrix
