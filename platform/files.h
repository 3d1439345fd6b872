// Files and paths: size queries, the program's own folder, whole-file reads
// and atomic replacement of a file.
#pragma once

#include <cstddef>
#include <cstdint>
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

// Writes `size` bytes to a temporary file beside `path`, flushes it to disk
// and renames it over `path`.  On failure the old file is untouched and the
// temporary file is removed.
bool WriteFileAtomic(const std::string& path, const void* data, size_t size);

}  // namespace quelbrix::platform
