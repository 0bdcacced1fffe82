#include "sendqueue.h"

namespace zun {

EncodedFrame SendQueue::takeSpare()
{
    std::lock_guard lock(mMutex);
    if (mSpares.empty())
        return {};
    EncodedFrame frame = std::move(mSpares.back());
    mSpares.pop_back();
    return frame;
}

bool SendQueue::push(EncodedFrame frame)
{
    bool dropped = false;
    {
        std::lock_guard lock(mMutex);
        while (mFrames.size() >= kDepth) {
            if (mSpares.size() < kDepth)
                mSpares.push_back(std::move(mFrames.front()));
            mFrames.pop_front();
            dropped = true;
        }
        mFrames.push_back(std::move(frame));
    }
    mReady.notify_one();
    return !dropped;
}

std::optional<EncodedFrame> SendQueue::pop(std::stop_token stop)
{
    std::unique_lock lock(mMutex);
    if (!mReady.wait(lock, stop, [this] { return !mFrames.empty(); }))
        return std::nullopt;
    EncodedFrame frame = std::move(mFrames.front());
    mFrames.pop_front();
    return frame;
}

bool SendQueue::waiting()
{
    std::lock_guard lock(mMutex);
    return !mFrames.empty();
}

void SendQueue::recycle(EncodedFrame frame)
{
    std::lock_guard lock(mMutex);
    if (mSpares.size() < kDepth)
        mSpares.push_back(std::move(frame));
}

} // namespace zun
