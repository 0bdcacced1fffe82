// How long zunEncode holds its encoder for the largest frame, 8192x8192 32-bit, raw and JPEG, on
// each transport with a decoder listening: the call's own time, and how long a zunSetDestFormat
// made meanwhile from a second thread waits for it.

#include "benches.h"
#include "picture.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace bench {

namespace {

constexpr uint16_t kPort = 25100;
constexpr int kFrames = 6;

// Milliseconds the call takes.
template <class Call>
double msOf(Call &&call)
{
    const auto start = std::chrono::steady_clock::now();
    call();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::nth_element(values.begin(), values.begin() + long(values.size() / 2), values.end());
    return values[values.size() / 2];
}

struct Held {
    bool ok = false;
    double encodeMedianMs = 0;
    double encodeMaxMs = 0;
    double waitMedianMs = 0; // of a zunSetDestFormat made while an encode runs
    double waitMaxMs = 0;
};

Held measure(uint32_t protocol, bool compressed, const StreamFormat &format, const std::vector<uint8_t> &picture)
{
    Held held;
    // A decoder listens, so that a TCP encoder is connected and copies its frames.
    const uint32_t decoder = zunGetDecoder(protocol, &format);
    const uint32_t encoder = zunGetEncoder(protocol, &format);
    if (!decoder || !encoder || !zunSetSourceAddress(decoder, kPort)
        || !zunSetDestFormat(encoder, &format, compressed, 15) || !zunSetDestAddress(encoder, "127.0.0.1", kPort)) {
        zunDeleteEncoder(encoder);
        zunDeleteDecoder(decoder);
        return held;
    }
    ZunStatus status{};
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (zunGetStatus(encoder, &status) && status.state != ZUN_STATE_SENDING
           && std::chrono::steady_clock::now() < giveUp)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::vector<double> encodes;
    std::vector<double> waits;
    std::atomic<bool> encoding{false};
    std::atomic<bool> done{false};
    // The second caller changes the format (to the same one) now and then while frames go in.
    std::jthread changer([&] {
        while (!done) {
            if (!encoding) {
                std::this_thread::yield();
                continue;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            waits.push_back(msOf([&] { zunSetDestFormat(encoder, &format, compressed, 15); }));
            while (encoding && !done)
                std::this_thread::yield();
        }
    });
    for (int i = 0; i < kFrames; ++i) {
        encoding = true;
        encodes.push_back(msOf([&] { held.ok = zunEncode(encoder, picture.data()) == 1; }));
        encoding = false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (!held.ok)
            break;
    }
    done = true;
    changer.join();
    zunDeleteEncoder(encoder);
    zunDeleteDecoder(decoder);
    held.encodeMedianMs = median(encodes);
    held.encodeMaxMs = *std::max_element(encodes.begin(), encodes.end());
    held.waitMedianMs = median(waits);
    held.waitMaxMs = waits.empty() ? 0 : *std::max_element(waits.begin(), waits.end());
    return held;
}

} // namespace

void runEncodeLockBench(const Options &)
{
    const StreamFormat format{8192, 8192, 2, 1};
    const auto picture = linePicture(format, 400);
    std::printf("\nzunEncode of 8192x8192 32-bit (256 MiB), %d frames each: the call, and a zunSetDestFormat "
                "made 1 ms into it\n",
                kFrames);
    std::printf("%-9s %-8s %12s %12s %12s %12s\n", "protocol", "payload", "encode med", "encode max",
                "wait med", "wait max");
    const struct {
        uint32_t protocol;
        const char *name;
    } transports[] = {{ZUN_PROTOCOL_MEMORY, "memory"}, {ZUN_PROTOCOL_UDP, "udp"}, {ZUN_PROTOCOL_TCP, "tcp"}};
    for (const auto &t : transports) {
        for (const bool compressed : {false, true}) {
            const Held h = measure(t.protocol, compressed, format, picture);
            if (!h.ok) {
                std::printf("%-9s %-8s FAILED\n", t.name, compressed ? "JPEG l15" : "raw");
                continue;
            }
            std::printf("%-9s %-8s %9.1f ms %9.1f ms %9.1f ms %9.1f ms\n", t.name, compressed ? "JPEG l15" : "raw",
                        h.encodeMedianMs, h.encodeMaxMs, h.waitMedianMs, h.waitMaxMs);
            std::fflush(stdout);
        }
    }
}

} // namespace bench
