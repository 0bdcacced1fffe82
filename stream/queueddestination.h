#pragma once

#include "framedestination.h"
#include "sendqueue.h"
#include "transport/networktransport.h"

#include <atomic>
#include <memory>
#include <thread>

namespace zun {

// Hands frames through a queue of two to a thread of its own that sends them one by one with
// a network sender; on a link slower than the frames, the oldest waiting frame gives way.
class QueuedDestination : public FrameDestination {
public:
    explicit QueuedDestination(std::unique_ptr<NetworkSender> sender);

    // The thread starts at the first destination.
    bool setDestination(const std::string &address, uint16_t port) override;
    uint8_t *reserve(size_t size) override;
    void commit(const FrameMeta &meta) override;
    ZunStatus status() const override { return mSender->status(); }
    DestinationCounters counters() const override;
    bool setPacingRate(uint64_t bytesPerSecond) override { return mSender->setPacingRate(bytesPerSecond); }
    bool setPacingBurst(uint64_t bytes) override { return mSender->setPacingBurst(bytes); }
    bool setRedundancy(uint32_t percent) override;

private:
    void run(std::stop_token stop);

    std::unique_ptr<NetworkSender> mSender;
    SendQueue mQueue;
    EncodedFrame mNext; // being filled between reserve and commit
    std::atomic<uint64_t> mSent{0};
    std::atomic<uint64_t> mDropped{0};
    std::atomic<uint64_t> mBytes{0};
    std::jthread mThread; // last: stops before what it uses goes
};

} // namespace zun
