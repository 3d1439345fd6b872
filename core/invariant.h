// Invariants of our own code, as against damage in the input: a broken one
// is a bug here, never a property of a hive, so it stops a debug or
// sanitizer build at once and costs nothing in a release build.  Damaged
// input keeps its report lines and clean paths; it must never reach one.
#pragma once

#include <cstdio>
#include <cstdlib>

#if !defined(NDEBUG) || defined(QUELBRIX_CHECK_INVARIANTS)
#define QUELBRIX_INVARIANT(condition)                                                                \
  ((condition) ? static_cast<void>(0)                                                                \
               : (std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #condition), \
                  std::abort()))
#else
#define QUELBRIX_INVARIANT(condition) static_cast<void>(0)
#endif
