// Files and paths: size queries, the program's own folder, whole-file reads
// and atomic replacement and copying of a file.  A step that can fail returns
// a Status: what it tried, on which path, and why.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "platform/status.h"

namespace quelbrix::platform {

class StreamedWriter;

// Size of a regular file; 0 when it cannot be queried or is a directory.
uint64_t FileSizeOf(const std::string& path);
bool IsDirectory(const std::string& path);
bool FileExists(const std::string& path);

// Folder of the running executable, without a trailing slash.
std::string ExecutableFolder();
std::string ExecutablePath();

// Path less its last component ("/a/b/c" -> "/a/b"); "" for a bare name.
std::string FolderOf(const std::string& path);
// Last component of the path.
std::string FileNameOf(const std::string& path);
std::string AbsolutePath(const std::string& path);
bool MakeDirectories(const std::string& path);

// The file a write to a path the user named lands in.  Every symbolic link
// on the path is followed, unless it lies in a folder that anyone may write
// and belongs to neither this user nor root: someone else may have planted
// it, so the write is refused (the link and its owner in the reason).  The
// rule of the kernel's protected_symlinks, whatever that setting says.
Status FollowNamedPath(const std::string& path, std::string* target);

// The one way the program makes a file: a new, empty file beside `path`
// under a name nobody can guess, made with O_CREAT|O_EXCL|O_NOFOLLOW, mode
// 0644 (0600 when privateFile) less the umask.  Returns its descriptor and
// its name in *tempPath; -1 with the failure for `path` in *failure.
int CreateBeside(const std::string& path, bool privateFile, std::string* tempPath, Status* failure);
// Its last step: renames tempPath over path (a link standing there is
// replaced, never written through; with mustBeNew nothing at all may stand
// there) and flushes the folder.  On failure tempPath is removed.
Status RenameIntoPlace(const std::string& tempPath, const std::string& path, bool mustBeNew = false);

// Whether the file's mode lets others (not owner, not group) read it; true
// when it cannot be told.  What is made from a file they may not read is
// made private.
bool OthersMayRead(const std::string& path);

// Appends the bytes to a file that exists; a link at `path` is not followed.
Status AppendToFile(const std::string& path, const std::string& bytes);

struct WriteOptions {
  // A name the program chose itself (the mount table, a saved hive): a link
  // there is replaced by the new file.  Otherwise the path is the user's and
  // its links are followed as FollowNamedPath allows.
  bool replaceLink = false;
  // A new file is 0600 rather than 0644 (both less the umask).
  bool privateFile = false;
  // Asked once the bytes are on disk, just before the rename: false abandons
  // the write (ECANCELED) as a failure would.
  std::function<bool()> proceed;
};

// Writes `size` bytes to a new file beside `path` (CreateBeside), flushes it
// to disk and renames it over `path` (the target of a followed link is
// replaced, the link kept).  A file that exists keeps its permission bits
// and, where the process may, its owner and group; one that the user may not
// write (as a plain write would find it; for root: no write bit at all) is
// refused with EACCES.  On failure the old file is untouched and the
// temporary file is removed.
Status WriteFileAtomic(const std::string& path, const void* data, size_t size, const WriteOptions& options = {});

// Whether WriteFileAtomic could replace `path`: its links may be followed,
// the file may be written (as above) and its folder takes new files.
Status MayReplaceFile(const std::string& path);

// Copies `from` to the new file `to` (refused with EEXIST when anything,
// even a link, stands there), with the permission bits less group and world
// write and the umask and, where the process may, the owner and group of
// `from`; written and flushed under a temporary name, then renamed.
Status CopyFileAtomic(const std::string& from, const std::string& to);

// Flushes and closes a stream that was written (fclose's result and any
// earlier write error of the stream count), the failure said for `path`.
Status CloseWrittenFile(FILE* f, const std::string& path);
// The same for a report's writer: its first write error, or that of the close.
Status CloseWrittenFile(StreamedWriter& writer, const std::string& path);

// Test seam: "OP:N[,OP:N...]" makes the Nth call (from 1, counted per
// process from this call on) of OP fail with EIO, OP one of open, write,
// fsync, rename, close.  Read from QUELBRIX_FAIL_FILE at the first file
// operation unless set here; "" clears it.
void SetFileFailuresForTest(const std::string& plan);

}  // namespace quelbrix::platform
