#include "queueddestination.h"

namespace zun {

QueuedDestination::QueuedDestination(std::unique_ptr<NetworkSender> sender) : mSender(std::move(sender)) {}

bool QueuedDestination::setDestination(const std::string &address, uint16_t port)
{
    if (!mSender->setDestination(address, port))
        return false;
    if (!mThread.joinable())
        mThread = std::jthread([this](std::stop_token stop) { run(stop); });
    return true;
}

uint8_t *QueuedDestination::reserve(size_t size)
{
    mNext = mQueue.takeSpare();
    mNext.payload.resize(size);
    return mNext.payload.data();
}

void QueuedDestination::commit(const FrameMeta &meta)
{
    mNext.meta = meta;
    if (!mQueue.push(std::move(mNext)))
        ++mDropped;
}

bool QueuedDestination::setRedundancy(uint32_t percent)
{
    return percent <= 100 && mSender->setRedundancy(percent);
}

DestinationCounters QueuedDestination::counters() const
{
    return {mSent.load(), mDropped.load(), mBytes.load()};
}

void QueuedDestination::run(std::stop_token stop)
{
    mSender->setWatch({stop, [this] { return mQueue.waiting(); }});
    while (auto frame = mQueue.pop(stop)) {
        if (mSender->send(frame->meta, frame->payload)) {
            ++mSent;
            mBytes += frame->payload.size();
        } else {
            ++mDropped;
        }
        mQueue.recycle(std::move(*frame));
    }
}

} // namespace zun
