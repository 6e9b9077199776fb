#pragma once

#include <cstdio>
#include <cstdlib>

// A property that must hold for every input; a violation aborts, which the fuzzer reports as a
// crash with the input that caused it.
#define TAMSENOR_FUZZ_CHECK(condition)                                                        \
  do {                                                                                        \
    if (!(condition)) {                                                                       \
      std::fprintf(stderr, "%s:%d: property violated: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                           \
    }                                                                                         \
  } while (false)
