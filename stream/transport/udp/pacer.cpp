#include "transport/udp/pacer.h"

#include <algorithm>

namespace zun {

void Pacer::startFrame(size_t bytes, uint64_t sendTimeNs, uint64_t nowNs)
{
    const uint64_t fixed = mFixedRate.load();
    // A fixed rate holds across frames: a frame starts no earlier than the bytes before it
    // were due, or each frame's burst would come on top of the rate.
    const uint64_t previousDueNs = fixed && mFixedBefore ? mStartNs + uint64_t(double(mSentBytes) * mNsPerByte) : 0;
    mFixedBefore = fixed != 0;
    mStartNs = std::max(nowNs, previousDueNs);
    mFrameBytes = bytes;
    mSentBytes = 0;
    const uint64_t interval = mHavePrevious && sendTimeNs > mPreviousSendTimeNs
        ? std::min(sendTimeNs - mPreviousSendTimeNs, kLongestIntervalNs)
        : 0;
    const uint64_t burst = mBurst.load();
    if (burst)
        mBurstBytes = double(burst);
    else if (fixed)
        mBurstBytes = std::max(double(kDefaultBurstBytes), double(fixed) * double(kFixedBurstNs) / 1e9);
    else
        mBurstBytes = double(kDefaultBurstBytes);
    if (fixed)
        mNsPerByte = 1e9 / double(fixed);
    else if (interval)
        mNsPerByte = std::min(kShareOfInterval * double(interval) / double(std::max<size_t>(bytes, 1)),
                              1e9 / double(kLeastRate));
    else
        mNsPerByte = 1e9 / double(kFirstFrameRate);
    mHavePrevious = true;
    mPreviousSendTimeNs = sendTimeNs;
}

size_t Pacer::due(std::span<const Datagram> next, uint64_t nowNs, uint64_t &waitNs) const
{
    waitNs = 0;
    if (next.empty())
        return 0;
    if (mNsPerByte <= 0)
        return next.size();
    // Negative before a fixed-rate frame's start.
    const double elapsed = double(int64_t(nowNs - mStartNs));
    const double allowed = elapsed / mNsPerByte + mBurstBytes - double(mSentBytes);
    const double left = double(mFrameBytes > mSentBytes ? mFrameBytes - mSentBytes : 0);
    const double batch = std::max(double(next[0].size()),
                                  std::min({mBurstBytes, double(kBatchNs) / mNsPerByte, left}));
    if (allowed < batch) {
        waitNs = uint64_t((batch - allowed) * mNsPerByte) + 1;
        return 0;
    }
    // A sender that woke late catches up in bursts, never in one larger than the burst.
    const double take = std::min(allowed, std::max(mBurstBytes, double(next[0].size())));
    double taken = 0;
    size_t count = 0;
    while (count < next.size() && taken + double(next[count].size()) <= take)
        taken += double(next[count++].size());
    return count;
}

} // namespace zun
