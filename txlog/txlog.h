// Transaction logs of a dirty hive: finds HIVE.LOG, HIVE.LOG1 and HIVE.LOG2
// beside the primary file, validates them (old "DIRT" format and new "HvLE"
// format) and applies them to the primary file's bytes as Windows does when it
// loads the hive.  Needs only the bytes; says what it did in Notes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quelbrix::txlog {

// The seed that the log entries' two hashes are made with.
constexpr uint64_t kLogHashSeed = 0x82EF4D887A4E55C5ull;
uint64_t Marvin32(const uint8_t* data, size_t length, uint64_t seed = kLogHashSeed);

// Log entry layout (new format), from the entry's start.
namespace entry {
constexpr uint32_t kSignature = 0x454C7648;  // "HvLE"
constexpr uint32_t kSize = 0x04, kFlags = 0x08, kSequence = 0x0C, kHbinsDataSize = 0x10, kPageCount = 0x14;
constexpr uint32_t kHash1 = 0x18, kHash2 = 0x20, kPageRefs = 0x28;
}  // namespace entry
constexpr uint32_t kDirtSignature = 0x54524944;  // "DIRT"
constexpr uint32_t kLogSector = 512;
constexpr uint32_t kFileTypePrimary = 0, kFileTypeOldLog = 1, kFileTypeNewLog = 6;

struct LogInput {
  std::string Name;  // file name, for the report
  std::vector<uint8_t> Bytes;
};

struct Note {
  bool Error = false;  // why a log or an entry was not applied
  std::string Text;
  // Not applied because every entry is older than the hive: Windows wrote
  // them into it already, so the log is spent rather than bad.
  bool Spent = false;
};

struct Outcome {
  bool Dirty = false;
  bool Applied = false;  // the bytes changed
  uint32_t ReadPrimary = 0, ReadSecondary = 0;
  std::vector<Note> Notes;
  std::vector<std::string> AppliedLogs;  // file names
  std::vector<std::string> RefusedLogs;  // file names
};

// Primary file bytes whose base block has a wrong checksum or unequal sequence numbers.
bool IsDirty(const uint8_t* hive, size_t size);

// The log files beside `hivePath` (HIVE.LOG, HIVE.LOG1, HIVE.LOG2 in any letter
// case), in that order.
std::vector<std::string> FindLogs(const std::string& hivePath);

// Reads the logs of FindLogs; a file that cannot be read or is larger than a
// hive can be comes back empty (and is refused as cut short).
std::vector<LogInput> ReadLogs(const std::vector<std::string>& paths);

// Applies `logs` to `hive` (the primary file's bytes) when it is dirty.  On
// success `hive` holds the recovered hive: grown or cut to the hive bins data
// size that the last applied entry declares, sequence numbers equal, checksum
// correct.  Untouched when nothing applies.
Outcome Recover(std::vector<uint8_t>& hive, const std::vector<LogInput>& logs);

}  // namespace quelbrix::txlog
