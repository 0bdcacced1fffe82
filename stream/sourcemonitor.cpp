#include "sourcemonitor.h"

#include "format.h"
#include "frame.h"

#include <cerrno>

namespace zun {
namespace {

constexpr uint64_t kCountCheckNs = 1'000'000'000;

bool sameFormat(const StreamFormat &a, const StreamFormat &b)
{
    return a.width == b.width && a.height == b.height && a.depth == b.depth;
}

// In bits per pixel, as people name depths; grey is 8 bits of one byte.
std::string formatText(const StreamFormat &format)
{
    return std::to_string(format.width) + "x" + std::to_string(format.height) + " at "
        + std::to_string(8 * bytesPerPixel(format.depth)) + " bits";
}

} // namespace

void SourceMonitor::start(const std::string &name, const char *unitNoun)
{
    std::lock_guard lock(mMutex);
    mName = name;
    mUnitNoun = unitNoun;
    mLoggedState = ZUN_STATE_WAITING;
    mNextCountCheckNs = 0;
    mRejectedSeen = 0;
    mIncompleteSeen = 0;
    mLastFormat = {};
    mLastFrameNs = 0;
    mStatus.restart(ZUN_STATE_WAITING);
    mStatus.note(ZUN_LOG_INFO, name + ": waiting for frames");
}

void SourceMonitor::fail(int error, const std::string &why)
{
    std::lock_guard lock(mMutex);
    mStatus.fail(error, mName + ": " + why);
}

void SourceMonitor::frameArrived()
{
    mLastFrameNs = monotonicNowNs();
}

void SourceMonitor::formatSeen(const StreamFormat &format)
{
    std::lock_guard lock(mMutex);
    if (sameFormat(format, mLastFormat))
        return;
    mLastFormat = format;
    // The request is a hint only, but a different format often means the wrong sender.
    if (mRequested.width != 0 && !sameFormat(format, mRequested))
        mStatus.problem(ZUN_LOG_INFO, 0, mName + ": frames are " + formatText(format) + ", not the "
                                             + formatText(mRequested) + " asked for");
}

void SourceMonitor::check(uint64_t rejected, uint64_t incomplete,
                          const std::function<std::string()> &rejectionDetail,
                          const std::function<std::string()> &lossDetail)
{
    const uint64_t now = monotonicNowNs();
    std::lock_guard lock(mMutex);
    const uint32_t state = stateAt(now);
    if (state != mLoggedState && mLoggedState != ZUN_STATE_FAILED) {
        if (state == ZUN_STATE_STALLED)
            mStatus.note(ZUN_LOG_WARNING, mName + ": no frame for 1 s");
        else if (state == ZUN_STATE_RECEIVING)
            mStatus.note(ZUN_LOG_INFO, mName + ": receiving");
        mLoggedState = state;
    }
    if (now < mNextCountCheckNs)
        return;
    mNextCountCheckNs = now + kCountCheckNs;
    if (rejected > mRejectedSeen) {
        mStatus.problem(ZUN_LOG_WARNING, EBADMSG, mName + ": " + std::to_string(rejected - mRejectedSeen)
                                                      + " " + mUnitNoun + " rejected" + rejectionDetail());
        mRejectedSeen = rejected;
    }
    if (incomplete > mIncompleteSeen) {
        mStatus.problem(ZUN_LOG_WARNING, ENODATA, mName + ": " + std::to_string(incomplete - mIncompleteSeen)
                                                      + " frames incomplete, pieces missing"
                                                      + (lossDetail ? lossDetail() : std::string()));
        mIncompleteSeen = incomplete;
    }
}

uint32_t SourceMonitor::stateAt(uint64_t nowNs) const
{
    const uint32_t base = mStatus.state();
    if (base != ZUN_STATE_WAITING)
        return base;
    const uint64_t last = mLastFrameNs.load();
    if (last == 0)
        return ZUN_STATE_WAITING;
    return nowNs - last >= kStallNs ? ZUN_STATE_STALLED : ZUN_STATE_RECEIVING;
}

ZunStatus SourceMonitor::snapshot() const
{
    ZunStatus status = mStatus.snapshot();
    status.state = stateAt(monotonicNowNs());
    return status;
}

} // namespace zun
