// Files and paths: size queries, the program's own folder, whole-file reads
// and atomic replacement and copying of a file.  A write that fails records
// what it tried, on which path, and errno in the calling thread's
// LastFileError, for the command's failure line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

namespace quelbrix::platform {

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

// The last failed file operation of this thread: what was tried ("write",
// "rename", ...), the path and errno.  Errno 0: nothing recorded.
struct FileError {
  std::string Action;
  std::string Path;
  int Errno = 0;
};
FileError LastFileError();
void ClearFileError();
void RecordFileError(const char* action, const std::string& path, int error);
// "<action> failed: <path>: <reason>", "" when nothing is recorded.
std::string FileErrorText(const FileError& e);

// Writes `size` bytes to a temporary file beside `path`, flushes it to disk
// and renames it over `path` (the target of a symbolic link is replaced, the
// link kept).  A file that exists keeps its permission bits and, where the
// process may, its owner and group; one that the user may not write (as a
// plain write would find it; for root: no write bit at all) is refused with
// EACCES.  On failure the old file is untouched and the temporary file is
// removed.  `proceed`, when given, is asked once the bytes are on disk, just
// before the rename: false abandons the write (ECANCELED) the same way.
bool WriteFileAtomic(const std::string& path, const void* data, size_t size,
                     const std::function<bool()>& proceed = nullptr);

// Whether WriteFileAtomic could replace `path`: the file may be written (as
// above) and its folder takes new files.  Records the refusal.
bool MayReplaceFile(const std::string& path);

// Copies `from` to the new file `to` (refused with EEXIST when it exists),
// with the permission bits and, where the process may, the owner and group of
// `from`; written and flushed under a temporary name, then renamed.
bool CopyFileAtomic(const std::string& from, const std::string& to);

// Flushes and closes a stream that was written (fclose's result and any
// earlier write error of the stream count); records the failure for `path`.
bool CloseWrittenFile(FILE* f, const std::string& path);

// Test seam: "OP:N[,OP:N...]" makes the Nth call (from 1, counted per
// process from this call on) of OP fail with EIO, OP one of open, write,
// fsync, rename, close.  Read from QUELBRIX_FAIL_FILE at the first file
// operation unless set here; "" clears it.
void SetFileFailuresForTest(const std::string& plan);

}  // namespace quelbrix::platform
