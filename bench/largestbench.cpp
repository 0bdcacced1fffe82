// The largest frames from a cold start: raw 8192x8192 32-bit at 1 fps over loopback into a
// decoder made just before, read by locking and unlocking each frame, several runs in a row.

#include "benches.h"
#include "picture.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr uint16_t kPort = 24550;
constexpr int kRuns = 10;
constexpr int kFrames = 4;

// Frame numbers as the decoder saw them, in arrival order: "1 2 3 4".
struct Run {
    int delivered = 0;
    std::string numbers;
    double firstLatencyMs = 0;
};

Run coldRun(const StreamFormat &format, const std::vector<uint8_t> &picture)
{
    Run run;
    const uint32_t decoder = zunGetDecoder(ZUN_PROTOCOL_UDP, &format);
    const uint32_t encoder = zunGetEncoder(ZUN_PROTOCOL_UDP, &format);
    if (!decoder || !encoder || !zunSetSourceAddress(decoder, kPort) || !zunSetDestFormat(encoder, &format, 0, 0)
        || !zunSetDestAddress(encoder, "127.0.0.1", kPort)) {
        zunDeleteEncoder(encoder);
        zunDeleteDecoder(decoder);
        run.numbers = "set-up failed";
        return run;
    }
    std::atomic<bool> sending{true};
    std::jthread producer([&] {
        const auto start = Clock::now();
        for (int n = 0; n < kFrames; ++n) {
            std::this_thread::sleep_until(start + n * 1s);
            zunEncode(encoder, picture.data());
        }
        sending = false;
    });
    std::vector<uint8_t> out(picture.size());
    auto giveUp = Clock::now() + (kFrames + 2) * 1s;
    while (run.delivered < kFrames && Clock::now() < giveUp) {
        const void *pixels = zunLockReadBuffer(decoder, 0);
        if (!pixels) {
            std::this_thread::sleep_for(1ms);
            continue;
        }
        std::memcpy(out.data(), pixels, out.size());
        if (run.delivered == 0) {
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            run.firstLatencyMs = (double(now.tv_sec) * 1e9 + double(now.tv_nsec) - double(zunGetRecvSendTime(decoder))) / 1e6;
        }
        run.numbers += (run.numbers.empty() ? "" : " ") + std::to_string(zunGetRecvFrameNumber(decoder));
        zunUnlockReadBuffer(decoder);
        ++run.delivered;
    }
    producer.join();
    zunDeleteEncoder(encoder);
    zunDeleteDecoder(decoder);
    return run;
}

} // namespace

void runLargestBench(const Options &)
{
    const StreamFormat format{8192, 8192, 2, 1};
    const auto picture = linePicture(format, 400);
    std::printf("\nraw 8192x8192 32-bit at 1 fps over loopback, %d frames into a cold decoder, %d runs in a row\n",
                kFrames, kRuns);
    int whole = 0;
    for (int i = 0; i < kRuns; ++i) {
        const Run run = coldRun(format, picture);
        whole += run.delivered == kFrames;
        std::printf("run %2d: %d of %d (frames %s), first frame %.0f ms after zunEncode, load %.2f\n", i + 1,
                    run.delivered, kFrames, run.numbers.c_str(), run.firstLatencyMs, loadAverage());
        std::fflush(stdout);
    }
    std::printf("%d of %d runs had every frame\n", whole, kRuns);
}

} // namespace bench
