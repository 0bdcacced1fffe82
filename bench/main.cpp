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

int main(int argc, char **argv)
{
    bench::Options options;
    std::string only;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc)
            options.seconds = std::atof(argv[++i]);
        else if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc)
            options.rounds = std::max(1, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc)
            only = argv[++i];
        else if (std::strcmp(argv[i], "--minutes") == 0 && i + 1 < argc)
            options.minutes = std::atof(argv[++i]);
        else if (std::strcmp(argv[i], "--burst") == 0 && i + 1 < argc)
            options.burst = std::strtoull(argv[++i], nullptr, 10);
        else if (std::strcmp(argv[i], "--buffer") == 0 && i + 1 < argc)
            options.buffer = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--memory-reader") == 0 && i + 1 < argc)
            return bench::runMemoryReader(uint16_t(std::atoi(argv[++i])));
    }
    std::printf("load average at start %.2f\n", bench::loadAverage());
    if (only.empty() || only == "memory")
        bench::runMemoryBench(options);
    if (only.empty() || only == "network")
        bench::runNetworkBench(options);
    if (only == "tcp")
        bench::runTcpBench(options);
    if (only.empty() || only == "jpeg")
        bench::runJpegBench(options);
    if (only == "jpegdecode")
        bench::runJpegDecodeBench(options);
    if (only == "veth")
        bench::runVethBench(options);
    if (only == "largest")
        bench::runLargestBench(options);
    if (only == "encodelock")
        bench::runEncodeLockBench(options);
    if (only == "fanout")
        bench::runFanOutBench(options);
    if (only == "soak")
        bench::runSoakBench(options);
    if (only == "rcvbuf")
        bench::runReceiveBufferBench(options);
    if (only.empty() || only == "parity")
        bench::runParityBench(options);
    std::printf("load average at end %.2f\n", bench::loadAverage());
    return 0;
}
