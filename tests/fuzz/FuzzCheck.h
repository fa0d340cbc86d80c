// What the fuzz targets share: a property that does not hold ends the run as a crash would, with
// the property named, so libFuzzer keeps the input that broke it.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                                   \
  do {                                                                                          \
    if (!(condition)) {                                                                         \
      std::fprintf(stderr, "property failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__);    \
      std::abort();                                                                             \
    }                                                                                           \
  } while (false)
