#pragma once

#include "framesource.h"
#include "transport/networktransport.h"

#include <memory>
#include <thread>

namespace zun {

// Receives from a network transport on its own thread and hands each frame to the sink.
class NetworkSource : public FrameSource {
public:
    // receiver is already listening.
    NetworkSource(std::unique_ptr<NetworkReceiver> receiver, SourceContext context);
    SourceCounters counters() const override;

private:
    void run(std::stop_token stop);

    std::unique_ptr<NetworkReceiver> mReceiver;
    SourceContext mContext;
    std::atomic<uint64_t> mRejected{0};
    std::atomic<uint64_t> mIncomplete{0};
    std::atomic<uint64_t> mSkipped{0};
    std::atomic<uint64_t> mRepaired{0};
    std::atomic<uint64_t> mRebuilt{0};
    std::atomic<uint64_t> mBytesReceived{0};
    std::atomic<uint64_t> mOverflowed{0};
    std::jthread mThread; // last: stops before what it uses goes
};

} // namespace zun
