#pragma once

#include "transport/udp/datagram.h"

#include <atomic>
#include <cstdint>
#include <span>

namespace zun {

// When a frame's datagrams may go, so that they are spread over time instead of leaving in
// one burst that overflows a receiver's socket buffer or a slower link on the way. By
// default a frame is spread over most of the interval since the frame before, so pacing is
// never slower than the frames come; a fixed rate replaces that.
class Pacer {
public:
    static constexpr double kShareOfInterval = 0.8;
    // A pause longer than this between frames does not slow the next one further.
    static constexpr uint64_t kLongestIntervalNs = 1'000'000'000;
    // The first frame has no interval to go by.
    static constexpr uint64_t kFirstFrameRate = 256'000'000;
    // A small frame (JPEG) is not spread over its interval but goes at least this fast, below
    // gigabit Ethernet's rate: it is whole before the receiver spends time decoding it, which
    // an untuned receiver's socket buffer could not cover while the next frame comes.
    static constexpr uint64_t kLeastRate = 100'000'000;
    // What may leave at once by default, from the first datagram of a frame on: what the
    // socket buffer of an untuned receiver (416 KiB, of which datagrams fill about two
    // thirds) holds, however large the frame. Smaller bursts fared no better there and cost
    // latency and wake-ups (table in the README).
    static constexpr uint64_t kDefaultBurstBytes = 256 << 10;
    // At a fixed rate, what leaves in this time may go at once, but never less than the
    // default burst.
    static constexpr uint64_t kFixedBurstNs = 2'000'000;
    // Once the burst is spent, datagrams wait until what the rate allows in kBatchNs may go
    // together, at most the burst (or what is left of the frame): each wake-up then fills
    // a few offload sends, not one datagram, and a slow link still gets them one by one.
    static constexpr uint64_t kBatchNs = 500'000;

    // Bytes per second, 0 for the default; any thread, takes effect from the next frame.
    void setFixedRate(uint64_t bytesPerSecond) { mFixedRate.store(bytesPerSecond); }
    bool fixedRate() const { return mFixedRate.load() != 0; }
    // Bytes that may leave at once, 0 for the default; any thread, from the next frame on.
    void setBurst(uint64_t bytes) { mBurst.store(bytes); }

    // sendTimeNs: when the frame was handed to the encoder.
    void startFrame(size_t bytes, uint64_t sendTimeNs, uint64_t nowNs);
    // The rest of the frame goes as fast as it can: a newer one is waiting.
    void hurry() { mNsPerByte = 0; }
    // How many of the next datagrams may go at nowNs (at least one once its turn has come),
    // or 0 and how long to wait in waitNs.
    size_t due(std::span<const Datagram> next, uint64_t nowNs, uint64_t &waitNs) const;
    void sent(size_t bytes) { mSentBytes += bytes; }

private:
    std::atomic<uint64_t> mFixedRate{0};
    std::atomic<uint64_t> mBurst{0};
    bool mHavePrevious = false;
    bool mFixedBefore = false;
    uint64_t mPreviousSendTimeNs = 0;
    double mNsPerByte = 0;
    double mBurstBytes = 0;
    uint64_t mStartNs = 0;
    uint64_t mFrameBytes = 0;
    uint64_t mSentBytes = 0;
};

} // namespace zun
