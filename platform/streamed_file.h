// A FILE* for a long text written front to back, such as a report: what
// stdio hands on goes to the file on a thread of its own, so the kernel's
// copy into the page cache runs beside the caller's work instead of after it.
#pragma once

#include <cstdio>
#include <string>

namespace quelbrix::platform {

// Opens path for writing as fopen(path, "wb") does (nullptr and errno when
// it cannot).  Every write error comes back as fopen's would: the next
// write, fflush or fclose fails with errno set to the write's own error.
// fclose returns only after the last byte has been handed to the kernel.
FILE* OpenStreamedFile(const std::string& path);
// The same over a file already open for writing (from CreateBeside); the
// stream owns `fd` from here on, also when it cannot be made.
FILE* OpenStreamedFile(int fd);

}  // namespace quelbrix::platform
