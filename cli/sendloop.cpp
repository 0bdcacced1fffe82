#include "sendloop.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// The longest a loop leaves its hooks' tick waiting.
constexpr auto kTickEvery = std::chrono::milliseconds(20);

// Keeps a sender's counters and turns them into figures an interval at a time; `restart`
// leaves everything before it out.
class SendTally
{
public:
    explicit SendTally(uint32_t encoder) : mEncoder(encoder) { restart(); }

    void restart()
    {
        zunGetStreamStats(mEncoder, &mBase);
        mLast = mBase;
        mMade = mLastMade = 0;
        mLastElapsed = 0;
    }
    void madeOne() { ++mMade; }
    uint64_t made() const { return mMade; }

    SendFigures interval(double elapsed)
    {
        const ZunStreamStats now = stats();
        const double span = elapsed - mLastElapsed;
        SendFigures f;
        f.elapsed = elapsed;
        f.made = mMade - mLastMade;
        f.madeTotal = mMade;
        f.sent = now.framesSent - mLast.framesSent;
        f.sentTotal = now.framesSent - mBase.framesSent;
        f.dropped = now.framesDropped - mLast.framesDropped;
        f.droppedTotal = now.framesDropped - mBase.framesDropped;
        f.fps = span > 0 ? double(f.sent) / span : 0;
        f.wireMbps = span > 0 ? double(now.bytesTransferred - mLast.bytesTransferred) * 8 / span / 1e6 : 0;
        f.status = sendStatus(mEncoder);
        mLast = now;
        mLastMade = mMade;
        mLastElapsed = elapsed;
        return f;
    }

    SendFigures total(double elapsed) const
    {
        const ZunStreamStats now = stats();
        SendFigures f;
        f.elapsed = elapsed;
        f.madeTotal = mMade;
        f.sentTotal = now.framesSent - mBase.framesSent;
        f.droppedTotal = now.framesDropped - mBase.framesDropped;
        f.fps = elapsed > 0 ? double(f.sentTotal) / elapsed : 0;
        f.wireMbps = elapsed > 0 ? double(now.bytesTransferred - mBase.bytesTransferred) * 8 / elapsed / 1e6 : 0;
        f.status = sendStatus(mEncoder);
        return f;
    }

private:
    ZunStreamStats stats() const
    {
        ZunStreamStats now{};
        zunGetStreamStats(mEncoder, &now);
        return now;
    }

    uint32_t mEncoder;
    uint64_t mMade = 0, mLastMade = 0;
    ZunStreamStats mBase{}, mLast{};
    double mLastElapsed = 0;
};

std::chrono::duration<double> secondsOf(double s)
{
    return std::chrono::duration<double>(s);
}

} // namespace

SendFigures SendLoop::run(const LoopHooks &hooks, const std::function<void(const SendFigures &)> &onInterval,
                          const std::function<void()> &done)
{
    const Options &o = mOptions;
    SendTally tally(mEncoder);
    const auto period = std::chrono::duration_cast<Clock::duration>(secondsOf(1.0 / o.fps));
    const auto interval = std::chrono::duration_cast<Clock::duration>(secondsOf(hooks.intervalSeconds));
    auto start = Clock::now();
    bool omitting = hooks.omitSeconds > 0;
    auto nextFrame = start;
    auto nextReport = start + (omitting ? std::chrono::duration_cast<Clock::duration>(secondsOf(hooks.omitSeconds)) : interval);
    auto elapsed = [&start] { return std::chrono::duration<double>(Clock::now() - start).count(); };
    uint32_t number = 0;
    while (hooks.keepGoing()) {
        const auto now = Clock::now();
        if (hooks.tick)
            hooks.tick();
        // An interval ending with the run is told before it ends.
        if (now >= nextReport) {
            if (omitting) {
                omitting = false;
                start = now;
                tally.restart();
            } else {
                onInterval(tally.interval(elapsed()));
            }
            nextReport += interval;
        }
        if (!omitting && o.seconds > 0 && elapsed() >= o.seconds)
            break;
        if (!omitting && o.frames > 0 && tally.made() >= o.frames)
            break;
        if (now < nextFrame) {
            std::this_thread::sleep_until(std::min({nextFrame, nextReport, now + kTickEvery}));
            continue;
        }
        // The library numbers every frame handed to it from 0, as the picture is numbered here.
        zunEncode(mEncoder, mPicture.frame(number++));
        tally.madeOne();
        // A sender that fell behind by more than a frame starts afresh instead of bursting.
        nextFrame = std::max(nextFrame + period, Clock::now() - period);
    }
    const double ran = elapsed();
    if (done)
        done();
    // Time for the frames still queued to leave before the figures are read.
    const auto drained = Clock::now() + std::chrono::milliseconds(200);
    while (Clock::now() < drained) {
        if (hooks.tick)
            hooks.tick();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return tally.total(ran);
}
