#include "streambench.h"

#include "limits.h"
#include "netns.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <thread>

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

uint64_t nowNs()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return uint64_t(t.tv_sec) * 1000000000u + uint64_t(t.tv_nsec);
}

// An encoder and a decoder connected to each other, warmed up by delivered frames.
class Link {
public:
    Link(const StreamConfig &c, const std::vector<uint8_t> &picture) : mConfig(c)
    {
        {
            // Its socket stays in the namespace it was opened in.
            netkit::InNetns in(c.sourceNetns);
            mDecoder = zunGetDecoder(c.protocol, &c.format);
            if (!mDecoder || !zunSetSourceAddress(mDecoder, c.port))
                return;
        }
        mEncoder = zunGetEncoder(c.protocol, &c.format);
        if (!mEncoder || !zunSetDestFormat(mEncoder, &c.format, c.compressed, c.level)
            || !zunSetDestAddress(mEncoder, c.address.c_str(), c.port)
            || (c.redundancy >= 0 && !zunSetRedundancy(mEncoder, uint32_t(c.redundancy)))
            || (c.pacingBurst && !zunSetPacingBurst(mEncoder, c.pacingBurst)))
            return;
        mOut.resize(zunGetByteSize(&c.format));
        std::memset(mOut.data(), 0, mOut.size());
        // Two frames through fault in the buffers a stream keeps reusing: the one being read
        // and the one the next frame lands in.
        constexpr int kWarmUpFrames = 2;
        int warmedUp = 0;
        const auto end = Clock::now() + std::max<Clock::duration>(3s, (kWarmUpFrames + 2) * c.warmUpPeriod);
        while (Clock::now() < end) {
            zunEncode(mEncoder, picture.data());
            std::this_thread::sleep_for(c.warmUpPeriod);
            if (readOne() && ++warmedUp == kWarmUpFrames) {
                // A frame still being decoded would leave a lockstep run one frame behind,
                // timing each frame from the send of the one before.
                auto quietSince = Clock::now();
                while (Clock::now() - quietSince < 200ms) {
                    if (readOne())
                        quietSince = Clock::now();
                    std::this_thread::sleep_for(1ms);
                }
                mOk = true;
                break;
            }
        }
        zunGetStreamStats(mEncoder, &mEncoderStart);
        zunGetStreamStats(mDecoder, &mDecoderStart);
        zunGetReceiveStats(mDecoder, &mReceiveStart);
    }
    ~Link()
    {
        if (mEncoder)
            zunDeleteEncoder(mEncoder);
        if (mDecoder)
            zunDeleteDecoder(mDecoder);
    }
    bool ok() const { return mOk; }
    uint32_t encoder() const { return mEncoder; }

    // Locks, copies out and unlocks one frame; false when none is ready.
    bool readOne(uint64_t *latencyNs = nullptr)
    {
        const void *pixels = zunLockReadBuffer(mDecoder, 0);
        if (!pixels)
            return false;
        const uint64_t now = nowNs();
        std::memcpy(mOut.data(), pixels, mOut.size());
        if (latencyNs)
            *latencyNs = now - zunGetRecvSendTime(mDecoder);
        mCarried += zunGetCompressedFrameSize(mDecoder);
        zunUnlockReadBuffer(mDecoder);
        return true;
    }

    void startClocks() { mCarried = 0; mCpuStart = processCpuSeconds(); }
    uint64_t framesSent() const
    {
        ZunStreamStats e{};
        zunGetStreamStats(mEncoder, &e);
        return e.framesSent - mEncoderStart.framesSent;
    }

    StreamResult result(uint64_t delivered, double seconds, std::vector<uint64_t> latencies) const
    {
        StreamResult r;
        r.cpuMsPerFrame = delivered ? (processCpuSeconds() - mCpuStart) * 1e3 / double(delivered) : 0;
        r.ok = mOk;
        r.delivered = delivered;
        r.fps = delivered / seconds;
        r.imageMBps = r.fps * double(mOut.size()) / 1e6;
        r.carriedMBps = double(mCarried) / seconds / 1e6;
        ZunStreamStats e{}, d{};
        zunGetStreamStats(mEncoder, &e);
        zunGetStreamStats(mDecoder, &d);
        r.sent = framesSent();
        r.dropped = e.framesDropped - mEncoderStart.framesDropped + d.framesDropped
            - mDecoderStart.framesDropped;
        ZunReceiveStats received{};
        zunGetReceiveStats(mDecoder, &received);
        r.overflowed = received.datagramsOverflowed - mReceiveStart.datagramsOverflowed;
        if (!latencies.empty()) {
            std::sort(latencies.begin(), latencies.end());
            r.latencyMedianUs = latencies[latencies.size() / 2] / 1e3;
            r.latencyP99Us = latencies[std::min(latencies.size() - 1, latencies.size() * 99 / 100)] / 1e3;
        }
        return r;
    }

private:
    StreamConfig mConfig;
    uint32_t mEncoder = 0;
    uint32_t mDecoder = 0;
    bool mOk = false;
    std::vector<uint8_t> mOut;
    uint64_t mCarried = 0;
    double mCpuStart = 0;
    ZunStreamStats mEncoderStart{}, mDecoderStart{};
    ZunReceiveStats mReceiveStart{};
};

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

} // namespace

StreamResult runLockstep(const StreamConfig &config, const std::vector<uint8_t> &picture)
{
    Link link(config, picture);
    if (!link.ok())
        return {};
    link.startClocks();
    std::vector<uint64_t> latencies;
    uint64_t delivered = 0;
    const auto start = Clock::now();
    while (secondsSince(start) < config.seconds) {
        zunEncode(link.encoder(), picture.data());
        const auto giveUp = Clock::now() + 1s;
        uint64_t latency = 0;
        while (!link.readOne(&latency)) {
            if (Clock::now() > giveUp)
                return {};
            std::this_thread::sleep_for(20us); // leave the core to the decoding thread
        }
        latencies.push_back(latency);
        ++delivered;
    }
    return link.result(delivered, secondsSince(start), std::move(latencies));
}

StreamResult runPipelined(const StreamConfig &config, const std::vector<uint8_t> &picture,
                          int window)
{
    Link link(config, picture);
    if (!link.ok())
        return {};
    link.startClocks();
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> delivered{0};
    const auto start = Clock::now();
    std::jthread producer([&] {
        uint64_t sent = 0;
        while (!stop) {
            if (window > 0 && sent >= delivered + uint64_t(window)) {
                std::this_thread::sleep_for(20us);
                // A frame lost on the way must not stall the window for good.
                if (sent > delivered + uint64_t(window))
                    sent = delivered + uint64_t(window);
                continue;
            }
            zunEncode(link.encoder(), picture.data());
            ++sent;
        }
    });
    while (secondsSince(start) < config.seconds) {
        if (link.readOne())
            ++delivered;
        else // a reader that spins would take the decoding thread's core
            std::this_thread::sleep_for(config.compressed ? 300us : 50us);
    }
    const double seconds = secondsSince(start);
    stop = true;
    producer.join();
    return link.result(delivered, seconds, {});
}

StreamResult runPaced(const StreamConfig &config, const std::vector<uint8_t> &picture, double fps)
{
    Link link(config, picture);
    if (!link.ok())
        return {};
    link.startClocks();
    std::atomic<bool> stop{false};
    std::jthread producer([&] {
        const auto period = std::chrono::duration<double>(1.0 / fps);
        auto next = Clock::now();
        while (!stop) {
            zunEncode(link.encoder(), picture.data());
            next += std::chrono::duration_cast<Clock::duration>(period);
            std::this_thread::sleep_until(next);
        }
    });
    std::vector<uint64_t> latencies;
    const auto start = Clock::now();
    while (secondsSince(start) < config.seconds) {
        uint64_t latency = 0;
        if (link.readOne(&latency))
            latencies.push_back(latency);
        else
            std::this_thread::sleep_for(20us);
    }
    const double seconds = secondsSince(start);
    stop = true;
    producer.join();
    // A frame still on its way is not lost: a large one takes most of a period to arrive.
    const auto drainStart = Clock::now();
    while (secondsSince(drainStart) < std::max(0.5, 2 / fps)
           && (secondsSince(drainStart) < 1 / fps || latencies.size() < link.framesSent())) {
        uint64_t latency = 0;
        if (link.readOne(&latency))
            latencies.push_back(latency);
        else
            std::this_thread::sleep_for(20us);
    }
    const uint64_t delivered = latencies.size();
    return link.result(delivered, seconds, std::move(latencies));
}

} // namespace bench
