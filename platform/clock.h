// Local time and FILETIME (100 ns units since 1601-01-01 UTC) for reports.
#pragma once

#include <cstdint>

namespace quelbrix::platform {

struct CalendarTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

CalendarTime LocalNow();

// The FILETIME in local time.  False (and all fields 0) when the value lies
// outside what the calendar conversion can represent.
bool FileTimeToLocal(uint64_t fileTime, CalendarTime* out);

}  // namespace quelbrix::platform
