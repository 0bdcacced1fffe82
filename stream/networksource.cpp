#include "networksource.h"

#include "sourcemonitor.h"

namespace zun {
namespace {
constexpr auto kFrameWait = std::chrono::milliseconds(20);
}

NetworkSource::NetworkSource(std::unique_ptr<NetworkReceiver> receiver, SourceContext context)
    : mReceiver(std::move(receiver)), mContext(std::move(context))
{
    mThread = std::jthread([this](std::stop_token stop) { run(stop); });
}

SourceCounters NetworkSource::counters() const
{
    return {mSkipped.load(), mIncomplete.load(), mRejected.load(), mRepaired.load(), mRebuilt.load(),
            mBytesReceived.load(), mOverflowed.load()};
}

void NetworkSource::run(std::stop_token stop)
{
    EncodedFrame frame;
    while (!stop.stop_requested()) {
        const bool got = mReceiver->receive(frame, kFrameWait);
        const ReceiveCounters counters = mReceiver->counters();
        mRejected = counters.packetsRejected;
        mIncomplete = counters.framesIncomplete;
        mSkipped = counters.framesSkipped;
        mRepaired = counters.framesRepaired;
        mRebuilt = counters.piecesRebuilt;
        mBytesReceived = counters.bytesReceived;
        mOverflowed = counters.overflowed;
        if (got)
            mContext.sink(frame.meta, frame.payload, &frame.payload);
        mContext.monitor.check(counters.packetsRejected, counters.framesIncomplete,
                               [this] { return mReceiver->lastRejection(); },
                               [this] { return mReceiver->lossDetail(); });
    }
}

} // namespace zun
