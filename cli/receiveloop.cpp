#include "receiveloop.h"

#include "console.h"
#include "framereceiver.h"

#include <chrono>
#include <memory>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// The longest a loop leaves its hooks' tick waiting.
constexpr auto kTickEvery = std::chrono::milliseconds(20);

std::chrono::steady_clock::duration durationOf(double seconds)
{
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

} // namespace

RunSummary ReceiveLoop::run(const LoopHooks &hooks, const std::function<void(const SecondFigures &)> &onInterval,
                            int lateMs)
{
    const Options &o = mOptions;
    auto start = Clock::now();
    bool omitting = hooks.omitSeconds > 0;
    DecoderCounters base{};
    auto meter = std::make_unique<LinkMeter>(o.verify, monotonicNowNs());
    auto receiver = std::make_unique<FrameReceiver>(mDecoder, *meter, o.verify);
    const auto interval = durationOf(hooks.intervalSeconds);
    auto nextReport = start + (omitting ? durationOf(hooks.omitSeconds) : interval);
    auto lastTick = start;
    auto elapsed = [&start] { return std::chrono::duration<double>(Clock::now() - start).count(); };
    auto counters = [&] { return DecoderCounters::of(mDecoder).since(base); };
    uint64_t frames = 0;
    while (hooks.keepGoing()) {
        if (!omitting && o.seconds > 0 && elapsed() >= o.seconds)
            break;
        if (!omitting && o.frames > 0 && frames >= o.frames)
            break;
        const auto now = Clock::now();
        if (hooks.tick && now - lastTick >= kTickEvery) {
            hooks.tick();
            lastTick = now;
        }
        if (now >= nextReport) {
            if (omitting) {
                // A fresh meter from here on: nothing before counts.
                omitting = false;
                start = now;
                base = DecoderCounters::of(mDecoder);
                meter = std::make_unique<LinkMeter>(o.verify, monotonicNowNs());
                receiver = std::make_unique<FrameReceiver>(mDecoder, *meter, o.verify);
                frames = 0;
            } else {
                onInterval(meter->closeSecond(counters(), elapsed()));
            }
            nextReport += interval;
        }
        if (receiver->takeOne())
            ++frames;
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const double ran = elapsed();
    const auto lateEnd = Clock::now() + std::chrono::milliseconds(lateMs);
    while (Clock::now() < lateEnd) {
        if (!receiver->takeOne())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const DecoderCounters last = counters();
    // The part of an interval since the last line, so the lines add up to the summary.
    const double lastLine = std::chrono::duration<double>(nextReport - start).count() - hooks.intervalSeconds;
    if (!omitting && ran - lastLine > 0.05)
        onInterval(meter->closeSecond(last, ran));
    return meter->summary(last, ran);
}
