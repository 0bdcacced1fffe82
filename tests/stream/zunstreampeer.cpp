// Sends or receives test frames through the library's C API, for tests that need a second
// process. Works with every protocol.
//
//   zunstreampeer send --protocol P --port N [--address A] [--width W --height H --depth D]
//                      [--compressed 0|1 --level L] [--frames N (0: until killed)] [--interval-ms T]
//   zunstreampeer recv --protocol P --port N [--compressed 0|1] [--frames N] [--timeout-ms T] [--adaptive]
//   zunstreampeer hold --protocol P --port N [--from F]
//                      (locks one frame numbered F or later and keeps it until killed)
//
// Prints "ready" once set up. send prints "refused" and exits 2 when the encoder cannot be
// made; recv prints "received G bad B" and exits 0 only if G >= N and B == 0.

#include "framepattern.h"
#include "zunVidStreamLib2.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    std::string mode;
    std::map<std::string, std::string> values;
    long get(const std::string &key, long fallback) const
    {
        auto it = values.find(key);
        return it == values.end() ? fallback : std::strtol(it->second.c_str(), nullptr, 10);
    }
    bool has(const std::string &key) const { return values.contains(key); }
};

int send(const Options &o)
{
    const StreamFormat format{uint16_t(o.get("width", 64)), uint16_t(o.get("height", 48)),
                              uint16_t(o.get("depth", 1)), 1};
    const uint32_t encoder = zunGetEncoder(uint32_t(o.get("protocol", 3)), &format);
    const std::string address = o.values.contains("address") ? o.values.at("address") : "127.0.0.1";
    if (!encoder
        || !zunSetDestFormat(encoder, &format, uint32_t(o.get("compressed", 0)), uint32_t(o.get("level", 15)))
        || !zunSetDestAddress(encoder, address.c_str(), uint32_t(o.get("port", 0)))) {
        std::puts("refused");
        std::fflush(stdout);
        return 2;
    }
    std::puts("ready");
    std::fflush(stdout);
    const long frames = o.get("frames", 0);
    const auto interval = std::chrono::milliseconds(o.get("interval-ms", 5));
    std::vector<std::vector<uint8_t>> pictures(64);
    for (long i = 0; frames == 0 || i < frames; ++i) {
        auto &picture = pictures[size_t(i % 64)];
        if (picture.empty())
            picture = zuntest::makeFrame(format, uint32_t(i));
        zunEncode(encoder, picture.data());
        std::this_thread::sleep_for(interval);
    }
    // Give receivers time to take the last frames before the encoder goes.
    std::this_thread::sleep_for(std::chrono::milliseconds(o.get("linger-ms", 300)));
    zunDeleteEncoder(encoder);
    std::printf("sent %ld\n", frames);
    return 0;
}

int receive(const Options &o, bool hold)
{
    const StreamFormat requested{64, 48, 1, 1};
    const uint32_t decoder = zunGetDecoder(uint32_t(o.get("protocol", 3)), &requested);
    if (!decoder || !zunSetSourceAddress(decoder, uint32_t(o.get("port", 0)))) {
        std::puts("refused");
        std::fflush(stdout);
        return 2;
    }
    if (o.has("adaptive"))
        zunSetAdaptiveBuffer(decoder, 1);
    std::puts("ready");
    std::fflush(stdout);
    const long frames = o.get("frames", 1);
    const bool compressed = o.get("compressed", 0) != 0;
    const auto end = Clock::now() + std::chrono::milliseconds(o.get("timeout-ms", 10000));
    long good = 0, bad = 0;
    while (good < frames && Clock::now() < end) {
        const auto *pixels = static_cast<const uint8_t *>(zunLockReadBuffer(decoder, 0));
        if (!pixels) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        if (hold && zunGetRecvFrameNumber(decoder) < uint32_t(o.get("from", 0))) {
            zunUnlockReadBuffer(decoder);
            continue;
        }
        if (hold) {
            std::printf("locked %u\n", zunGetRecvFrameNumber(decoder));
            std::fflush(stdout);
            for (;;)
                std::this_thread::sleep_for(std::chrono::seconds(1));
        }
        const StreamFormat got{uint16_t(zunGetRecvWidth(decoder)), uint16_t(zunGetRecvHeight(decoder)),
                               uint16_t(zunGetRecvDepth(decoder)), 1};
        if (zuntest::frameMatches(got, compressed, zunGetRecvFrameNumber(decoder), pixels))
            ++good;
        else
            ++bad;
        zunUnlockReadBuffer(decoder);
    }
    zunDeleteDecoder(decoder);
    std::printf("received %ld bad %ld\n", good, bad);
    return good >= frames && bad == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    Options o;
    if (argc < 2)
        return 64;
    o.mode = argv[1];
    for (int i = 2; i < argc; ++i) {
        std::string key = argv[i];
        if (key.rfind("--", 0) != 0)
            return 64;
        key.erase(0, 2);
        if (key == "adaptive")
            o.values[key] = "1";
        else if (i + 1 < argc)
            o.values[key] = argv[++i];
    }
    if (o.mode == "send")
        return send(o);
    if (o.mode == "recv" || o.mode == "hold")
        return receive(o, o.mode == "hold");
    return 64;
}
