// The JPEG codec on every core: strips coded at once on the worker pool, against
// TurboJPEG's own single-thread rates on the same picture.

#include "benches.h"
#include "picture.h"

#include "format.h"
#include "jpegcodec.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kPort = 20950;
constexpr double kGoal = 1.7; // of TurboJPEG's single-thread rate, on two cores

struct CodecRates {
    double encodeFps = 0;
    double decodeFps = 0;
    size_t payloadBytes = 0;
    double meanError = 0; // mean absolute error per channel, 0..255
};

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double meanAbsError(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b)
{
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i)
        sum += std::abs(int(a[i]) - int(b[i]));
    return sum / double(a.size());
}

CodecRates codecRates(const StreamFormat &format, const std::vector<uint8_t> &picture, int quality,
                      uint32_t strips, double seconds)
{
    zun::JpegCodec codec;
    CodecRates rates;
    std::vector<uint8_t> payload;
    int frames = 0;
    auto start = Clock::now();
    while (secondsSince(start) < seconds || frames == 0) {
        const auto out = codec.encode(format, picture.data(), quality, strips);
        if (frames++ == 0)
            payload.assign(out.begin(), out.end());
    }
    rates.encodeFps = frames / secondsSince(start);
    rates.payloadBytes = payload.size();
    std::vector<uint8_t> decoded(zun::byteSize(format));
    frames = 0;
    start = Clock::now();
    while (secondsSince(start) < seconds || frames == 0) {
        codec.decode(payload, format, zun::JpegLayout::kStrips, decoded.data());
        ++frames;
    }
    rates.decodeFps = frames / secondsSince(start);
    rates.meanError = meanAbsError(picture, decoded);
    return rates;
}

void keepBest(CodecRates &best, const CodecRates &next)
{
    best.encodeFps = std::max(best.encodeFps, next.encodeFps);
    best.decodeFps = std::max(best.decodeFps, next.decodeFps);
    best.payloadBytes = next.payloadBytes;
    best.meanError = next.meanError;
}

struct Case {
    StreamFormat format;
    uint32_t level;
    std::vector<uint8_t> picture;
    JpegRates turbo;        // TurboJPEG alone, one thread
    CodecRates strips;      // the library's codec, its own strip count
    CodecRates whole;       // the same codec with one strip: today's picture error and size
    StreamResult endToEnd;  // Local (Memory), two frames in flight
    StreamResult lockstep;  // one frame at a time: a frame's latency
};

const char *verdict(double ratio) { return ratio >= kGoal ? "" : "  BELOW GOAL"; }

} // namespace

void runJpegBench(const Options &options)
{
    std::printf("\nJPEG in strips on the worker pool (%u cores), RGB888; best of %d interleaved rounds\n",
                std::max(1u, std::thread::hardware_concurrency()), options.rounds);
    std::vector<Case> cases;
    for (StreamFormat format : {StreamFormat{1920, 1080, 1, 1}, StreamFormat{3840, 2160, 1, 1}})
        for (uint32_t level : {15u, 50u})
            cases.push_back({format, level, linePicture(format, 400), {}, {}, {}, {}, {}});
    const double seconds = std::min(options.seconds, 1.0);
    for (int round = 0; round < options.rounds; ++round) {
        for (Case &c : cases) {
            const int quality = zun::JpegCodec::qualityForLevel(c.level);
            JpegRates turbo = turboJpegRates(c.format, c.picture, quality, seconds);
            c.turbo.encodeFps = std::max(c.turbo.encodeFps, turbo.encodeFps);
            c.turbo.decodeFps = std::max(c.turbo.decodeFps, turbo.decodeFps);
            c.turbo.jpegBytes = turbo.jpegBytes;
            keepBest(c.strips, codecRates(c.format, c.picture, quality, 0, seconds));
            if (round == 0)
                c.whole = codecRates(c.format, c.picture, quality, 1, 0.1);
            StreamConfig config;
            config.port = kPort;
            config.format = c.format;
            config.compressed = 1;
            config.level = c.level;
            config.seconds = seconds;
            keepBest(c.endToEnd, runPipelined(config, c.picture, 2));
            keepBest(c.lockstep, runLockstep(config, c.picture));
        }
    }
    std::printf("%-10s %-5s %6s | %9s %9s %6s | %9s %9s %6s | %8s %9s | %8s %8s %8s | %7s %7s\n",
                "size", "level", "strips", "enc fps", "TJ enc", "x TJ", "dec fps", "TJ dec", "x TJ",
                "e2e fps", "lat ms", "KB", "TJ KB", "size", "err", "err 1");
    double worstEncode = 1e9, worstDecode = 1e9;
    for (const Case &c : cases) {
        const double encodeRatio = c.strips.encodeFps / c.turbo.encodeFps;
        const double decodeRatio = c.strips.decodeFps / c.turbo.decodeFps;
        worstEncode = std::min(worstEncode, encodeRatio);
        worstDecode = std::min(worstDecode, decodeRatio);
        char size[16];
        std::snprintf(size, sizeof size, "%ux%u", c.format.width, c.format.height);
        std::printf("%-10s %-5u %6u | %9.1f %9.1f %5.2fx | %9.1f %9.1f %5.2fx | %8.1f %9.2f | %8.0f "
                    "%8.0f %+7.1f%% | %7.2f %7.2f%s%s\n",
                    size, c.level, zun::JpegCodec::stripCountFor(c.format), c.strips.encodeFps,
                    c.turbo.encodeFps, encodeRatio, c.strips.decodeFps, c.turbo.decodeFps, decodeRatio,
                    c.endToEnd.fps, c.lockstep.latencyMedianUs / 1e3, c.strips.payloadBytes / 1e3,
                    c.turbo.jpegBytes / 1e3,
                    100.0 * (double(c.strips.payloadBytes) / double(c.turbo.jpegBytes) - 1),
                    c.strips.meanError, c.whole.meanError, verdict(encodeRatio), verdict(decodeRatio));
        std::printf("%-10s %-5s %6s   a frame's latency: encode %.2f ms (TurboJPEG %.2f), decode %.2f ms "
                    "(%.2f), zunEncode to lock %.2f ms median (TurboJPEG encode + decode %.2f)\n", "", "", "",
                    1e3 / c.strips.encodeFps, 1e3 / c.turbo.encodeFps, 1e3 / c.strips.decodeFps,
                    1e3 / c.turbo.decodeFps, c.lockstep.latencyMedianUs / 1e3,
                    1e3 / c.turbo.encodeFps + 1e3 / c.turbo.decodeFps);
    }
    std::printf("closing note: load average %.2f; worst encode %.2fx and decode %.2fx TurboJPEG's "
                "single-thread rate (goal %.1fx)%s\n",
                loadAverage(), worstEncode, worstDecode, kGoal,
                std::min(worstEncode, worstDecode) >= kGoal ? ": goal met" : ": goal missed");
}

} // namespace bench
