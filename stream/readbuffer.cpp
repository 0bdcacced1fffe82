#include "readbuffer.h"

namespace zun {

namespace {
// Every frame the buffer may hold, the one locked and the one being decoded: a reader that
// falls behind and catches up again leaves nothing to free and make again.
constexpr size_t kMaxSpares = ReadBuffer::kFifoDepth + 2;
}

void ReadBuffer::setAdaptive(bool adaptive)
{
    std::lock_guard lock(mMutex);
    mAdaptive = adaptive;
}

std::unique_ptr<DecodedFrame> ReadBuffer::takeSpare()
{
    std::lock_guard lock(mMutex);
    if (mSpares.empty())
        return std::make_unique<DecodedFrame>();
    auto frame = std::move(mSpares.back());
    mSpares.pop_back();
    return frame;
}

void ReadBuffer::push(std::unique_ptr<DecodedFrame> frame)
{
    std::lock_guard lock(mMutex);
    const size_t keep = mAdaptive ? 0 : kFifoDepth - 1;
    while (mFrames.size() > keep) {
        if (mSpares.size() < kMaxSpares)
            mSpares.push_back(std::move(mFrames.front()));
        mFrames.pop_front();
        ++mDropped;
    }
    mFrames.push_back(std::move(frame));
}

std::unique_ptr<DecodedFrame> ReadBuffer::pop()
{
    std::lock_guard lock(mMutex);
    if (mFrames.empty())
        return nullptr;
    auto frame = std::move(mFrames.front());
    mFrames.pop_front();
    return frame;
}

void ReadBuffer::recycle(std::unique_ptr<DecodedFrame> frame)
{
    std::lock_guard lock(mMutex);
    if (frame && mSpares.size() < kMaxSpares)
        mSpares.push_back(std::move(frame));
}

uint64_t ReadBuffer::dropped() const
{
    std::lock_guard lock(mMutex);
    return mDropped;
}

} // namespace zun
