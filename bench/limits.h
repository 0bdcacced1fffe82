#pragma once

#include "zunVidStreamLib2.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace bench {

// memcpy bandwidth in GB/s (1e9 bytes) for blocks of `bytes`, over about `seconds`.
double memcpyGBps(size_t bytes, double seconds);

struct JpegRates {
    double encodeFps = 0;
    double decodeFps = 0;
    size_t jpegBytes = 0;
    double encodeCpuMs = 0; // CPU time per frame, which load on a shared machine hardly changes
    double decodeCpuMs = 0;
};

double threadCpuSeconds();
double processCpuSeconds();

// TurboJPEG on its own, with the pixel layout and subsampling the library uses for `format`.
JpegRates turboJpegRates(const StreamFormat &format, const std::vector<uint8_t> &pixels, int quality,
                         double seconds);

} // namespace bench
