#pragma once

// What this process holds, to show that a long run leaks nothing.

#include <cstddef>

namespace bench {

struct ProcessGauge {
    size_t residentBytes = 0;
    int openFds = 0;
    int threads = 0;
};

ProcessGauge measureProcess();

} // namespace bench
