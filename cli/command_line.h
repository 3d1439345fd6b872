// Pieces of the `quelbrix` command line kept out of main: the version text,
// the common options in each command's help, usage errors, and the check that
// `regsave` has a hive to save.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

namespace quelbrix {

std::string VersionText();

// Each command's --help ends with the common options and where output goes.
void AddCommonHelp(CLI::App& app);

// Prints what is wrong with the command line and returns its exit status:
// 0 for --help and --version, 2 otherwise.
int UsageExit(CLI::App& app, const CLI::ParseError& error);

// The path of hive NAME in the machine registry folder when the folder does not
// hold it (any case of the name counts); "" when it is there.
std::string MissingMachineHive(const std::string& registryRoot, const std::string& name);

}  // namespace quelbrix
