#include "frame.h"

#include <ctime>

namespace zun {

uint64_t monotonicNowNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return uint64_t(now.tv_sec) * 1000000000u + uint64_t(now.tv_nsec);
}

} // namespace zun
