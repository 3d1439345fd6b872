// The real hives of ../shared/hives for conformance tests.  The folder comes
// from the environment variable QUELBRIX_SHARED_HIVES, else from the build's
// QUELBRIX_SHARED_HIVES; each *.xz is decompressed once into the build tree
// (QUELBRIX_TEST_DATA) on first use.  Hive files are never kept in the repository.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace quelbrix::testing {

struct SharedHive {
  std::string name;        // file name without ".xz"
  std::string compressed;  // the .xz file
  bool corrupted = false;  // "corrupted_system_hive", damaged on purpose
};

// Test parameters print as their name.
inline void PrintTo(const SharedHive& hive, std::ostream* os) { *os << hive.name; }

// The folder that holds the *.xz files; "" when it does not exist.
std::string SharedHivesFolder();

// Why a test that needs the shared hives skips: the folder it looked in and the
// variable that names another.
std::string NoSharedHivesNote();

// The folder of inputs that once made a command fail (../shared/repro, or
// $QUELBRIX_SHARED_REPRO), beside the hives; "" when it does not exist.
std::string SharedReproFolder();

// The hives in name order, transaction logs (*.LOG1, *.LOG2) left out.
// Only lists; nothing is decompressed.
std::vector<SharedHive> ListSharedHives();
// The transaction logs that lie beside the hives.
std::vector<SharedHive> ListSharedLogs();

// Path of the decompressed file in the build tree, decompressing it when it is
// missing or older than its .xz.  "" (with *error set) when xz fails.
std::string DecompressedPath(const SharedHive& hive, std::string* error = nullptr);

// A file name usable as a test name: letters, digits and '_' only.
std::string TestNameOf(const std::string& name);

}  // namespace quelbrix::testing
