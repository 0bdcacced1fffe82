#include "limits.h"

#include <turbojpeg.h>

#include <chrono>
#include <cstring>
#include <ctime>

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double cpuSeconds(clockid_t clock)
{
    timespec t{};
    clock_gettime(clock, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

} // namespace

double threadCpuSeconds()
{
    return cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
}

double processCpuSeconds()
{
    return cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
}

double memcpyGBps(size_t bytes, double seconds)
{
    // Several buffers, so the copies are not served from cache for small frames either.
    std::vector<std::vector<uint8_t>> from(4, std::vector<uint8_t>(bytes, 1)), to(4, std::vector<uint8_t>(bytes, 2));
    uint64_t copied = 0;
    const auto start = Clock::now();
    for (size_t i = 0; secondsSince(start) < seconds; ++i) {
        std::memcpy(to[i % 4].data(), from[(i + 1) % 4].data(), bytes);
        copied += bytes;
    }
    return double(copied) / secondsSince(start) / 1e9;
}

JpegRates turboJpegRates(const StreamFormat &f, const std::vector<uint8_t> &pixels, int quality,
                         double seconds)
{
    // The same choices as the library: RGB, 4:2:0 below quality 90, grey for 8-bit.
    const int pixelFormat = f.depth == 2 ? TJPF_BGRX : f.depth == 3 ? TJPF_GRAY : TJPF_RGB;
    const int subsampling = f.depth == 3 ? TJSAMP_GRAY : quality >= 90 ? TJSAMP_444 : TJSAMP_420;
    const int pitch = int(zunGetByteSize(&f) / f.height);
    JpegRates rates;
    tjhandle compressor = tjInitCompress(), decompressor = tjInitDecompress();
    const unsigned long capacity = tjBufSize(f.width, f.height, subsampling);
    unsigned char *jpeg = tjAlloc(int(capacity));
    unsigned long size = capacity;
    std::vector<uint8_t> out(pixels.size());
    int frames = 0;
    auto start = Clock::now();
    double cpu = threadCpuSeconds();
    while (secondsSince(start) < seconds) {
        size = capacity;
        tjCompress2(compressor, pixels.data(), f.width, pitch, f.height, pixelFormat, &jpeg, &size,
                    subsampling, quality, TJFLAG_NOREALLOC);
        ++frames;
    }
    rates.encodeFps = frames / secondsSince(start);
    rates.encodeCpuMs = (threadCpuSeconds() - cpu) * 1e3 / frames;
    rates.jpegBytes = size;
    frames = 0;
    start = Clock::now();
    cpu = threadCpuSeconds();
    while (secondsSince(start) < seconds) {
        tjDecompress2(decompressor, jpeg, size, out.data(), f.width, pitch, f.height, pixelFormat, 0);
        ++frames;
    }
    rates.decodeFps = frames / secondsSince(start);
    rates.decodeCpuMs = (threadCpuSeconds() - cpu) * 1e3 / frames;
    tjFree(jpeg);
    tjDestroy(compressor);
    tjDestroy(decompressor);
    return rates;
}

} // namespace bench
