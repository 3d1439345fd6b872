#include "support/shared_hives.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>

#include "support/run_process.h"

namespace quelbrix::testing {
namespace {

namespace fs = std::filesystem;

bool EndsWithNoCase(const std::string& text, const std::string& suffix) {
  if (text.size() < suffix.size()) return false;
  return std::equal(suffix.begin(), suffix.end(), text.end() - static_cast<std::ptrdiff_t>(suffix.size()),
                    [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b)); });
}

bool IsTransactionLog(const std::string& name) {
  return EndsWithNoCase(name, ".LOG1") || EndsWithNoCase(name, ".LOG2") || EndsWithNoCase(name, ".LOG");
}

std::vector<SharedHive> ListAll(bool logs) {
  std::vector<SharedHive> found;
  std::string folder = SharedHivesFolder();
  if (folder.empty()) return found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    std::string file = entry.path().filename().string();
    if (!entry.is_regular_file(ec) || !EndsWithNoCase(file, ".xz")) continue;
    SharedHive hive;
    hive.name = file.substr(0, file.size() - 3);
    if (IsTransactionLog(hive.name) != logs) continue;
    hive.compressed = entry.path().string();
    hive.corrupted = hive.name == "corrupted_system_hive";
    found.push_back(hive);
  }
  std::sort(found.begin(), found.end(), [](const SharedHive& a, const SharedHive& b) { return a.name < b.name; });
  return found;
}

std::string TestDataFolder() {
  const char* env = std::getenv("QUELBRIX_TEST_DATA");
  if (env != nullptr && *env != '\0') return env;
  return QUELBRIX_TEST_DATA;
}

}  // namespace

std::string SharedHivesFolder() {
  const char* env = std::getenv("QUELBRIX_SHARED_HIVES");
  std::string folder = env != nullptr && *env != '\0' ? env : QUELBRIX_SHARED_HIVES;
  std::error_code ec;
  return fs::is_directory(folder, ec) ? fs::weakly_canonical(folder, ec).string() : std::string();
}

std::string NoSharedHivesNote() {
  const char* env = std::getenv("QUELBRIX_SHARED_HIVES");
  std::string folder = env != nullptr && *env != '\0' ? env : QUELBRIX_SHARED_HIVES;
  return "no shared hives in " + folder + " (set QUELBRIX_SHARED_HIVES to the folder of the *.xz hives)";
}

std::string SharedReproFolder() {
  const char* env = std::getenv("QUELBRIX_SHARED_REPRO");
  std::string folder = env != nullptr && *env != '\0' ? env : QUELBRIX_SHARED_HIVES "/../repro";
  std::error_code ec;
  return fs::is_directory(folder, ec) ? fs::weakly_canonical(folder, ec).string() : std::string();
}

std::vector<SharedHive> ListSharedHives() { return ListAll(false); }
std::vector<SharedHive> ListSharedLogs() { return ListAll(true); }

std::string DecompressedPath(const SharedHive& hive, std::string* error) {
  // Logs stay out of the hives' folder: a hive with its logs beside it is
  // recovered on Read, and tests of the stored file must not see them.
  fs::path folder = fs::path(TestDataFolder()) / (IsTransactionLog(hive.name) ? "shared_logs" : "shared_hives");
  fs::path target = folder / hive.name;
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (fs::exists(target, ec) && fs::last_write_time(target, ec) >= fs::last_write_time(hive.compressed, ec))
    return target.string();

  // Tests run in parallel processes: each writes its own temporary name and the
  // rename makes the finished file appear at once, so no reader sees half of it.
  fs::path temp = folder / (hive.name + ".tmp" + std::to_string(getpid()));
  ProcessResult xz = RunProcess({"xz", "-dc", hive.compressed}, temp.string());
  if (xz.status != 0 || !fs::is_regular_file(temp, ec)) {
    if (error != nullptr) *error = "xz -dc " + hive.compressed + " failed (status " + std::to_string(xz.status) + "): " + xz.err;
    fs::remove(temp, ec);
    return std::string();
  }
  fs::rename(temp, target, ec);
  if (ec) {
    if (error != nullptr) *error = "cannot rename " + temp.string() + ": " + ec.message();
    fs::remove(temp, ec);
    return std::string();
  }
  return target.string();
}

std::string TestNameOf(const std::string& name) {
  std::string out;
  for (char c : name) out += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return out;
}

}  // namespace quelbrix::testing
