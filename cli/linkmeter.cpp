#include "linkmeter.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr int64_t kLargestSameHostLatencyNs = 10'000'000'000;

std::optional<Latency> latencyOf(std::vector<float> samples)
{
    if (samples.empty())
        return std::nullopt;
    std::sort(samples.begin(), samples.end());
    auto at = [&samples](double share) {
        return double(samples[std::min(samples.size() - 1, size_t(std::ceil(share * double(samples.size()))) - 1)]);
    };
    return Latency{at(0.5), at(0.99), double(samples.back())};
}

Counters countersBetween(const ZunStreamStats &from, const ZunStreamStats &to)
{
    return {to.framesDelivered - from.framesDelivered, to.framesDropped - from.framesDropped,
            to.framesIncomplete - from.framesIncomplete, to.packetsRejected - from.packetsRejected,
            to.bytesTransferred - from.bytesTransferred};
}

bool sameFormat(const StreamFormat &a, const StreamFormat &b)
{
    return a.width == b.width && a.height == b.height && a.depth == b.depth;
}

double mbps(uint64_t bytes, double seconds)
{
    return seconds > 0 ? double(bytes) * 8 / seconds / 1e6 : 0;
}

} // namespace

void LinkMeter::addFrame(const FrameArrival &frame)
{
    if (mFrames == 0)
        mFirstArrivalNs = frame.arrivalNs;
    mLastArrivalNs = frame.arrivalNs;
    ++mFrames;
    ++mSecondFrames;
    const uint64_t pictureBytes = zunGetByteSize(&frame.format);
    mPictureBytes += pictureBytes;
    mSecondPictureBytes += pictureBytes;
    mCompressed = frame.compressed;
    if (std::none_of(mFormats.begin(), mFormats.end(),
                     [&frame](const StreamFormat &f) { return sameFormat(f, frame.format); }))
        mFormats.push_back(frame.format);
    mLastFormat = frame.format;

    // A step back (a sender restarted, or a second one) starts counting afresh.
    if (mLastNumber) {
        const uint32_t step = frame.number - *mLastNumber;
        if (step > 1 && step < 0x80000000u) {
            mGaps += step - 1;
            mSecondGaps += step - 1;
        }
    }
    mLastNumber = frame.number;

    const int64_t transit = int64_t(frame.arrivalNs - frame.sendTimeNs);
    if (mLastTransitNs)
        mJitterNs += (std::fabs(double(transit - *mLastTransitNs)) - mJitterNs) / 16;
    mLastTransitNs = transit;
    if (transit < 0 || transit > kLargestSameHostLatencyNs) {
        mClockShared = false;
        mLatencyMs.clear();
        mSecondLatencyMs.clear();
    }
    if (mClockShared) {
        mLatencyMs.push_back(float(double(transit) / 1e6));
        mSecondLatencyMs.push_back(mLatencyMs.back());
    }
}

void LinkMeter::addVerdict(bool damaged, std::optional<double> psnr)
{
    ++mChecked;
    if (damaged) {
        ++mDamaged;
        ++mSecondDamaged;
    }
    if (psnr) {
        mWorstPsnr = std::min(mWorstPsnr.value_or(*psnr), *psnr);
        mSecondWorstPsnr = std::min(mSecondWorstPsnr.value_or(*psnr), *psnr);
    }
}

SecondFigures LinkMeter::closeSecond(const ZunStreamStats &stats, double elapsed)
{
    SecondFigures s;
    const double span = elapsed - mSecondStart;
    s.elapsed = elapsed;
    s.format = mLastFormat;
    s.compressed = mCompressed;
    s.frames = mSecondFrames;
    s.framesTotal = mFrames;
    s.fps = span > 0 ? double(mSecondFrames) / span : 0;
    s.counters = countersBetween(mSecondStartStats, stats);
    s.countersTotal = countersBetween(ZunStreamStats{}, stats);
    s.wireMbps = mbps(s.counters.bytes, span);
    s.pictureMbps = mbps(mSecondPictureBytes, span);
    s.gaps = mSecondGaps;
    s.gapsTotal = mGaps;
    s.clockShared = mClockShared;
    s.latency = latencyOf(mSecondLatencyMs);
    s.jitterMs = mJitterNs / 1e6;
    s.damaged = mSecondDamaged;
    s.damagedTotal = mDamaged;
    s.worstPsnr = mSecondWorstPsnr;

    mSecondFrames = mSecondPictureBytes = mSecondGaps = mSecondDamaged = 0;
    mSecondLatencyMs.clear();
    mSecondWorstPsnr.reset();
    mSecondStartStats = stats;
    mSecondStart = elapsed;
    return s;
}

RunSummary LinkMeter::summary(const ZunStreamStats &stats, double elapsed) const
{
    RunSummary r;
    r.seconds = elapsed;
    r.activeSeconds = double(mLastArrivalNs - mFirstArrivalNs) / 1e9;
    r.frames = mFrames;
    // Frames over the span they arrived in: n frames bound n - 1 intervals.
    r.fps = mFrames > 1 && r.activeSeconds > 0 ? double(mFrames - 1) / r.activeSeconds : 0;
    r.counters = countersBetween(ZunStreamStats{}, stats);
    const double span = r.activeSeconds > 0 ? r.activeSeconds * double(mFrames) / double(mFrames - 1) : elapsed;
    r.wireMbps = mbps(r.counters.bytes, span);
    r.pictureMbps = mbps(mPictureBytes, span);
    r.lost = mGaps;
    r.lossPercent = mFrames + mGaps > 0 ? 100.0 * double(mGaps) / double(mFrames + mGaps) : 0;
    r.clockShared = mClockShared;
    r.latency = mClockShared ? latencyOf(mLatencyMs) : std::nullopt;
    r.jitterMs = mJitterNs / 1e6;
    r.verified = mVerified;
    r.checked = mChecked;
    r.damaged = mDamaged;
    r.worstPsnr = mWorstPsnr;
    r.formats = mFormats;
    r.lastFormat = mLastFormat;
    r.compressed = mCompressed;
    return r;
}
