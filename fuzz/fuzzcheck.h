#pragma once

// A failed check in a fuzz target: stop with a report libFuzzer keeps as a crash.
#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                             \
    do {                                                                                  \
        if (!(condition)) {                                                               \
            std::fprintf(stderr, "check failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)
