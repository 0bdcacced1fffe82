// "Local (Memory)" inside one process.

#include "benches.h"
#include "picture.h"

#include <algorithm>

namespace bench {

namespace {

constexpr uint32_t kPort = 20900;
constexpr uint32_t kLevel = 15;

std::string ratio(double value, double limit, const char *what, double target)
{
    char text[128];
    const double r = limit > 0 ? value / limit : 0;
    std::snprintf(text, sizeof text, "%5.1f%% of %s (target %.0f%%)%s", 100 * r, what, 100 * target,
                  r >= target ? "" : "  MISSED");
    return text;
}

} // namespace

void runMemoryBench(const Options &options)
{
    std::printf("\nLocal (Memory), encoder and decoder in one process; every frame copied out of the "
                "locked buffer\n");
    printStreamHeader();
    for (StreamFormat format : {StreamFormat{640, 480, 1, 1}, StreamFormat{1920, 1080, 1, 1}}) {
        const auto picture = linePicture(format, 400);
        FormatLimits limits;
        StreamResult results[2][4];
        for (int round = 0; round < options.rounds; ++round) {
            keepBest(limits, measureLimits(format, 0.5));
            for (uint32_t compressed : {0u, 1u}) {
                StreamConfig config;
                config.port = kPort;
                config.format = format;
                config.compressed = compressed;
                config.level = kLevel;
                config.seconds = options.seconds;
                keepBest(results[compressed][0], runLockstep(config, picture));
                keepBest(results[compressed][1], runPipelined(config, picture, 0));
                keepBest(results[compressed][2], runPipelined(config, picture, 2));
                keepBest(results[compressed][3], runPaced(config, picture, 60));
            }
        }
        printLimits(limits);
        const double slower = std::min(limits.jpeg.encodeFps, limits.jpeg.decodeFps);
        const double inTurn = 1 / (1 / limits.jpeg.encodeFps + 1 / limits.jpeg.decodeFps);
        for (uint32_t compressed : {0u, 1u}) {
            StreamConfig config;
            config.format = format;
            config.compressed = compressed;
            config.level = kLevel;
            const StreamResult *r = results[compressed];
            if (!compressed) {
                printStreamRow("lockstep", config, r[0], ratio(r[0].fps, limits.twoCopyFps, "two memcpy", 0.6));
                printStreamRow("flat out", config, r[1], ratio(r[1].fps, limits.twoCopyFps, "two memcpy", 0.6));
                printStreamRow("window 2", config, r[2], ratio(r[2].fps, limits.twoCopyFps, "two memcpy", 0.6));
            } else {
                printStreamRow("lockstep", config, r[0], ratio(r[0].fps, inTurn, "TJ enc+dec in turn", 0.8));
                printStreamRow("flat out", config, r[1], ratio(r[1].fps, slower, "TJ slower of enc/dec", 0.8));
                printStreamRow("window 2", config, r[2], ratio(r[2].fps, slower, "TJ slower of enc/dec", 0.8));
                std::printf("%*s CPU per frame: window 2 %.2f ms, TurboJPEG encode + decode alone %.2f ms "
                            "(%.0f%% of the library's)\n", 10, "", r[2].cpuMsPerFrame,
                            limits.jpeg.encodeCpuMs + limits.jpeg.decodeCpuMs,
                            100 * (limits.jpeg.encodeCpuMs + limits.jpeg.decodeCpuMs) / r[2].cpuMsPerFrame);
            }
            printStreamRow("paced 60", config, r[3], "");
        }
    }
}

} // namespace bench
