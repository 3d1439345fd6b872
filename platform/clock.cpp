#include "platform/clock.h"

#include <ctime>

namespace quelbrix::platform {
namespace {

CalendarTime FromTm(const std::tm& t) {
  return CalendarTime{t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec};
}

}  // namespace

CalendarTime LocalNow() {
  std::time_t now = std::time(nullptr);
  std::tm t{};
  if (localtime_r(&now, &t) == nullptr) return CalendarTime{};
  return FromTm(t);
}

bool FileTimeToLocal(uint64_t fileTime, CalendarTime* out) {
  *out = CalendarTime{};
  // Windows refuses FILETIMEs with the top bit set; so do we.
  if (fileTime >= 0x8000000000000000ULL) return false;
  constexpr int64_t kUnixEpochAsFileTime = 116444736000000000LL;
  int64_t ticks = static_cast<int64_t>(fileTime) - kUnixEpochAsFileTime;
  // Floor division so that times before 1970 round towards the past.
  int64_t seconds = ticks / 10000000;
  if (ticks % 10000000 < 0) --seconds;
  std::time_t when = static_cast<std::time_t>(seconds);
  std::tm t{};
  if (localtime_r(&when, &t) == nullptr) return false;
  *out = FromTm(t);
  return true;
}

}  // namespace quelbrix::platform
