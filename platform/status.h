// Status: the one way a step says how it ended.  Ok, or what it tried
// ("write", "rename", "read"), on which file, where in it when that is
// known, the errno-style code and, when errno's text would not say it, a
// reason of its own.  Returned by value; nothing is kept per thread.
#pragma once

#include <cerrno>
#include <cstdint>
#include <string>
#include <utility>

namespace quelbrix::platform {

constexpr uint64_t kNoPosition = ~uint64_t{0};

class [[nodiscard]] Status {
 public:
  Status() = default;
  static Status Failed(std::string action, std::string path, int code, std::string reason = {},
                       uint64_t offset = kNoPosition) {
    Status s;
    s.Action = std::move(action);
    s.Path = std::move(path);
    s.Code = code != 0 ? code : EIO;  // a failure the system gave no reason for
    s.Reason = std::move(reason);
    s.Offset = offset;
    return s;
  }

  bool Ok() const { return Code == 0; }
  explicit operator bool() const { return Ok(); }
  // "<action> failed: <path>: <reason>" ("… at offset 0x…" when there is
  // one); "" when ok.
  std::string Text() const;

  std::string Action;
  std::string Path;
  int Code = 0;
  std::string Reason;
  uint64_t Offset = kNoPosition;
};

}  // namespace quelbrix::platform
