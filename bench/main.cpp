// zunbench: frames per second, MB/s, drops and latency through the library's transports,
// printed next to this machine's limits measured in the same run.
//
//   zunbench [--seconds S] [--rounds N]
//            [--only memory|network|tcp|jpeg|jpegdecode|parity|veth|rcvbuf|largest|encodelock|fanout|soak]
//            [--minutes M] [--burst BYTES] [--buffer BYTES]
//   (each run S seconds, default 2; best of N, default 3; the soak M minutes, default 1;
//   rcvbuf only one pacing burst or one receive buffer when given;
//   memory, network, jpeg and parity by default)

#include "benches.h"
#include "picture.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <map>
#include <tuple>

namespace bench {

namespace {
constexpr int kJpegQuality = 85; // the benchmark's JPEG level 15
}

FormatLimits measureLimits(const StreamFormat &format, double seconds)
{
    FormatLimits limits;
    limits.format = format;
    const size_t bytes = zunGetByteSize(&format);
    limits.memcpyGBps = memcpyGBps(bytes, seconds);
    limits.twoCopyFps = limits.memcpyGBps * 1e9 / (2.0 * double(bytes));
    limits.jpeg = turboJpegRates(format, linePicture(format, 400), kJpegQuality, seconds);
    return limits;
}

void keepBest(FormatLimits &best, const FormatLimits &next)
{
    best.format = next.format;
    best.memcpyGBps = std::max(best.memcpyGBps, next.memcpyGBps);
    best.twoCopyFps = std::max(best.twoCopyFps, next.twoCopyFps);
    best.jpeg.encodeFps = std::max(best.jpeg.encodeFps, next.jpeg.encodeFps);
    best.jpeg.decodeFps = std::max(best.jpeg.decodeFps, next.jpeg.decodeFps);
    best.jpeg.jpegBytes = next.jpeg.jpegBytes;
    const auto lower = [](double a, double b) { return a > 0 && a < b ? a : b; };
    best.jpeg.encodeCpuMs = lower(best.jpeg.encodeCpuMs, next.jpeg.encodeCpuMs);
    best.jpeg.decodeCpuMs = lower(best.jpeg.decodeCpuMs, next.jpeg.decodeCpuMs);
}

void keepBest(StreamResult &best, const StreamResult &next)
{
    if (next.ok && (!best.ok || next.fps > best.fps))
        best = next;
}

void printLimits(const FormatLimits &l)
{
    std::printf("limits %ux%u depth %u: memcpy %.1f GB/s (%.0f frames/s for two copies), "
                "TurboJPEG q%d encode %.0f fps (%.2f ms CPU), decode %.0f fps (%.2f ms CPU), %.0f KB\n",
                l.format.width, l.format.height, l.format.depth, l.memcpyGBps, l.twoCopyFps,
                kJpegQuality, l.jpeg.encodeFps, l.jpeg.encodeCpuMs, l.jpeg.decodeFps,
                l.jpeg.decodeCpuMs, l.jpeg.jpegBytes / 1e3);
}

double loadAverage()
{
    double load = 0;
    if (FILE *f = std::fopen("/proc/loadavg", "r")) {
        if (std::fscanf(f, "%lf", &load) != 1)
            load = 0;
        std::fclose(f);
    }
    return load;
}

void printStreamHeader()
{
    std::printf("%-10s %-5s %-11s %-9s %8s %10s %10s %8s %8s %10s %10s %9s  %s\n", "size", "depth",
                "payload", "mode", "fps", "image MB/s", "wire MB/s", "sent", "dropped", "lat med us",
                "lat p99 us", "CPU ms/fr", "versus limit");
}

void printStreamRow(const char *mode, const StreamConfig &c, const StreamResult &r,
                    const std::string &versusLimit)
{
    char size[16], payload[16];
    std::snprintf(size, sizeof size, "%ux%u", c.format.width, c.format.height);
    if (c.compressed)
        std::snprintf(payload, sizeof payload, "JPEG l%u", c.level);
    else
        std::snprintf(payload, sizeof payload, "raw");
    if (!r.ok) {
        std::printf("%-10s %-5u %-11s %s: FAILED (no frame came through)\n", size, c.format.depth,
                    payload, mode);
        return;
    }
    std::printf("%-10s %-5u %-11s %-9s %8.0f %10.0f %10.1f %8llu %8llu %10.0f %10.0f %9.3f  %s\n", size,
                c.format.depth, payload, mode, r.fps, r.imageMBps, r.carriedMBps,
                static_cast<unsigned long long>(r.sent), static_cast<unsigned long long>(r.dropped),
                r.latencyMedianUs, r.latencyP99Us, r.cpuMsPerFrame, versusLimit.c_str());
    std::fflush(stdout);
}

} // namespace bench

namespace {

struct Bench {
    const char *name;
    void (*run)(const bench::Options &);
    bool byDefault;
};

// In the order they run.
constexpr Bench kBenches[] = {
    {"memory", bench::runMemoryBench, true},
    {"network", bench::runNetworkBench, true},
    {"tcp", bench::runTcpBench, false},
    {"jpeg", bench::runJpegBench, true},
    {"jpegdecode", bench::runJpegDecodeBench, false},
    {"veth", bench::runVethBench, false},
    {"largest", bench::runLargestBench, false},
    {"encodelock", bench::runEncodeLockBench, false},
    {"fanout", bench::runFanOutBench, false},
    {"soak", bench::runSoakBench, false},
    {"rcvbuf", bench::runReceiveBufferBench, false},
    {"parity", bench::runParityBench, true},
};

int usage(std::FILE *to, int code)
{
    std::fputs("usage: zunbench [--seconds S] [--rounds N] [--only NAME] [--minutes M] [--burst BYTES] "
               "[--buffer BYTES]\nNAME is one of:", to);
    for (const Bench &b : kBenches)
        std::fprintf(to, " %s", b.name);
    std::fputs("\n", to);
    return code;
}

} // namespace

int main(int argc, char **argv)
{
    bench::Options options;
    std::string only;
    for (int i = 1; i < argc; ++i) {
        const bool valued = i + 1 < argc;
        if (std::strcmp(argv[i], "--help") == 0)
            return usage(stdout, 0);
        if (std::strcmp(argv[i], "--seconds") == 0 && valued)
            options.seconds = std::atof(argv[++i]);
        else if (std::strcmp(argv[i], "--rounds") == 0 && valued)
            options.rounds = std::max(1, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--only") == 0 && valued)
            only = argv[++i];
        else if (std::strcmp(argv[i], "--minutes") == 0 && valued)
            options.minutes = std::atof(argv[++i]);
        else if (std::strcmp(argv[i], "--burst") == 0 && valued)
            options.burst = std::strtoull(argv[++i], nullptr, 10);
        else if (std::strcmp(argv[i], "--buffer") == 0 && valued)
            options.buffer = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--memory-reader") == 0 && valued)
            return bench::runMemoryReader(uint16_t(std::atoi(argv[++i])));
        else {
            std::fprintf(stderr, "zunbench: %s: unknown option or missing value\n", argv[i]);
            return usage(stderr, 2);
        }
    }
    if (!only.empty() && std::none_of(std::begin(kBenches), std::end(kBenches),
                                      [&](const Bench &b) { return only == b.name; })) {
        std::fprintf(stderr, "zunbench: no benchmark called %s\n", only.c_str());
        return usage(stderr, 2);
    }
    std::printf("load average at start %.2f\n", bench::loadAverage());
    for (const Bench &b : kBenches)
        if (only.empty() ? b.byDefault : only == b.name)
            b.run(options);
    std::printf("load average at end %.2f\n", bench::loadAverage());
    return 0;
}
