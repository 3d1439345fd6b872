#include "platform/status.h"

#include <cstdio>
#include <cstring>

namespace quelbrix::platform {

std::string Status::Text() const {
  if (Ok()) return std::string();
  char buffer[256];
  // The GNU strerror_r returns its text, which need not be in `buffer`.
  std::string text = Action + " failed: " + Path;
  if (Offset != kNoPosition) {
    char at[32];
    std::snprintf(at, sizeof at, " at offset 0x%llx", static_cast<unsigned long long>(Offset));
    text += at;
  }
  return text + ": " + (Reason.empty() ? strerror_r(Code, buffer, sizeof buffer) : Reason.c_str());
}

}  // namespace quelbrix::platform
