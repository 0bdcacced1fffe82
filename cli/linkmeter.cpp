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

Counters countersBetween(const DecoderCounters &from, const DecoderCounters &to)
{
    Counters c;
    c.delivered = to.stream.framesDelivered - from.stream.framesDelivered;
    c.dropped = to.stream.framesDropped - from.stream.framesDropped;
    c.incomplete = to.stream.framesIncomplete - from.stream.framesIncomplete;
    c.rejected = to.stream.packetsRejected - from.stream.packetsRejected;
    c.repairedDatagrams = to.repair.piecesRebuilt - from.repair.piecesRebuilt;
    c.repairedFrames = to.repair.framesRepaired - from.repair.framesRepaired;
    c.overflowed = to.receive.datagramsOverflowed - from.receive.datagramsOverflowed;
    c.arrivedBytes = to.receive.bytesReceived - from.receive.bytesReceived;
    return c;
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

DecoderCounters DecoderCounters::of(uint32_t decoder)
{
    DecoderCounters c;
    zunGetStreamStats(decoder, &c.stream);
    zunGetRepairStats(decoder, &c.repair);
    zunGetReceiveStats(decoder, &c.receive);
    return c;
}

DecoderCounters DecoderCounters::since(const DecoderCounters &base) const
{
    DecoderCounters c = *this;
    c.stream.framesSent -= base.stream.framesSent;
    c.stream.framesDelivered -= base.stream.framesDelivered;
    c.stream.framesDropped -= base.stream.framesDropped;
    c.stream.framesIncomplete -= base.stream.framesIncomplete;
    c.stream.packetsRejected -= base.stream.packetsRejected;
    c.stream.bytesTransferred -= base.stream.bytesTransferred;
    c.repair.framesRepaired -= base.repair.framesRepaired;
    c.repair.piecesRebuilt -= base.repair.piecesRebuilt;
    c.receive.bytesReceived -= base.receive.bytesReceived;
    c.receive.datagramsOverflowed -= base.receive.datagramsOverflowed;
    return c;
}

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

SecondFigures LinkMeter::closeSecond(const DecoderCounters &now, double elapsed)
{
    SecondFigures s;
    const double span = elapsed - mSecondStart;
    s.elapsed = elapsed;
    s.format = mLastFormat;
    s.compressed = mCompressed;
    s.frames = mSecondFrames;
    s.framesTotal = mFrames;
    s.fps = span > 0 ? double(mSecondFrames) / span : 0;
    s.counters = countersBetween(mSecondStartCounters, now);
    s.countersTotal = countersBetween(DecoderCounters{}, now);
    s.wireMbps = mbps(s.counters.arrivedBytes, span);
    s.pictureMbps = mbps(mSecondPictureBytes, span);
    s.gaps = mSecondGaps;
    s.gapsTotal = mGaps;
    s.lost = std::max(mSecondGaps, s.counters.incomplete);
    s.clockShared = mClockShared;
    s.latency = latencyOf(mSecondLatencyMs);
    s.jitterMs = mJitterNs / 1e6;
    s.damaged = mSecondDamaged;
    s.damagedTotal = mDamaged;
    s.worstPsnr = mSecondWorstPsnr;

    mSecondFrames = mSecondPictureBytes = mSecondGaps = mSecondDamaged = 0;
    mSecondLatencyMs.clear();
    mSecondWorstPsnr.reset();
    mSecondStartCounters = now;
    mSecondStart = elapsed;
    return s;
}

RunSummary LinkMeter::summary(const DecoderCounters &now, double elapsed) const
{
    RunSummary r;
    r.seconds = elapsed;
    r.frames = mFrames;
    if (mFrames > 0) {
        r.activeSeconds = double(mLastArrivalNs - mFirstArrivalNs) / 1e9;
        r.firstFrameAt = std::max(0.0, double(int64_t(mFirstArrivalNs - mStartNs)) / 1e9);
        r.quietAtEnd = std::max(0.0, elapsed - double(int64_t(mLastArrivalNs - mStartNs)) / 1e9);
    } else {
        r.quietAtEnd = elapsed;
    }
    // The wait for a sender started after the receiver is no fault of the link; what follows is.
    const double span = elapsed - r.firstFrameAt;
    r.fps = span > 0 ? double(mFrames) / span : 0;
    r.counters = countersBetween(DecoderCounters{}, now);
    r.wireMbps = mbps(r.counters.arrivedBytes, span);
    r.pictureMbps = mbps(mPictureBytes, span);
    r.lost = std::max(mGaps, r.counters.incomplete);
    r.lossPercent = mFrames + r.lost > 0 ? 100.0 * double(r.lost) / double(mFrames + r.lost) : 0;
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
