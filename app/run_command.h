// RunCommand: runs the command in ctx.CommandId on the worker: Read and Write
// of the hive file, the scan commands (through ScanHive, with the report file
// opened and closed here) and the live-registry commands.  Sets the status
// texts and the done flags, and clears Busy and AbortRequested at its end.
#pragma once

#include <cstdint>
#include <string>

#include "app/context.h"

namespace quelbrix {
namespace platform {
class WorkerThread;
}

// How a command ended.  The command line maps it to its exit status; the
// window shows the status texts and ignores it.
enum class CommandOutcome {
  kCompleted,
  kFailed,           // the work was attempted and did not happen (I/O, a live call)
  kRefused,          // a precondition was not met: nothing was attempted
  kAborted,          // AbortRequested ended it
  kStoppedAtDamage,  // the scan ended at damage it cannot pass: nothing changed
};

CommandOutcome RunCommand(HiveContext& ctx);

// Sets CommandId and Busy and starts RunCommand on `worker`.  False (and
// nothing started) while a command still runs or when no thread can be made.
// The outcome, when asked for, is stored before the worker ends (read it
// after joining).
bool StartCommand(HiveContext& ctx, int32_t id, platform::WorkerThread& worker, CommandOutcome* outcome = nullptr);

// Reserve pages behind the file bytes: a fifth of the file's pages, at least 128.
uint32_t ReservePagesFor(uint64_t fileSize);

// "%s_%d_%d%s": file name of CurrentFile, both sequence numbers, and the
// command's word before ".txt" (".search.txt", ".search-nodates.txt",
// ".repair.txt", ".defrag.txt", ".rebuild.txt"; "-nologs" added to the word
// under NoLogs), so that no command replaces another's report.  Another
// command id has no word: ".txt".
std::string ReportFileName(const HiveContext& ctx, int32_t commandId);
std::string ReportFileName(const HiveContext& ctx);  // of ctx.CommandId
// The report's path in OutputFolder, with one slash between them whatever
// the folder ends with.
std::string ReportPathOf(const HiveContext& ctx, int32_t commandId);

// The zero-filled allocation of Read for a file of fileSize bytes: the image
// with its reserve pages, and the AccessMap's store for that size.  Sets
// FileSize, ReservePages, ImageSize, Image and Shadow; false (and no image)
// when it cannot be made.
bool AllocateImage(HiveContext& ctx, uint64_t fileSize);
// HiveMajorVersion and HiveMinorVersion from the base block in the image.
void TakeHiveVersion(HiveContext& ctx);

// Status part 0 "%sに失敗しました" and NoteFileFailure: the one way a command
// ends in failure.
void FailCommand(HiveContext& ctx, const std::string& caption);
// When ctx.Failure says why a step failed: that line in red in the report (a
// Write's into the report of the image's last scan) and the pane.
void NoteFileFailure(HiveContext& ctx);

// Frees the HiveImage and its AccessMap.
void FreeImage(HiveContext& ctx);

}  // namespace quelbrix
