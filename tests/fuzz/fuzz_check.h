#pragma once
// What every fuzz target uses: a check that aborts (libFuzzer then saves the input) with the reason on stderr.

#include <cstdio>
#include <cstdlib>

#define PL_FUZZ_CHECK(condition)                                                               \
  do {                                                                                         \
    if (!(condition)) {                                                                        \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);      \
      std::abort();                                                                            \
    }                                                                                          \
  } while (false)
