// The receive figures: gaps in the frame numbers (across the 32-bit wrap, a restarted sender),
// loss, rates over the run, latency only where the clocks are shared, percentiles, and the
// thresholds on them.

#include "linkmeter.h"
#include "thresholds.h"

#include <gtest/gtest.h>

namespace {

constexpr StreamFormat kFormat{64, 48, 1, 1};
constexpr uint64_t kMs = 1'000'000;

FrameArrival arrival(uint32_t number, uint64_t sentMs, uint64_t arrivedMs)
{
    FrameArrival f;
    f.format = kFormat;
    f.number = number;
    f.sendTimeNs = sentMs * kMs;
    f.arrivalNs = arrivedMs * kMs;
    f.payloadBytes = zunGetByteSize(&kFormat);
    return f;
}

TEST(LinkMeter, CountsGapsAcrossTheWrapButNotARestart)
{
    LinkMeter meter(false, 0);
    uint64_t t = 1000;
    for (uint32_t number : {0xfffffffdu, 0xfffffffeu, 1u, 2u, 5u}) // 0xffffffff, 0, 3 and 4 missing
        meter.addFrame(arrival(number, t, t + 1)), t += 10;
    EXPECT_EQ(meter.closeSecond({}, 1).gaps, 4u);
    // A sender started afresh numbers from 0 again: a step back, not 4 billion frames lost.
    meter.addFrame(arrival(0, t, t + 1));
    meter.addFrame(arrival(1, t + 10, t + 11));
    const SecondFigures second = meter.closeSecond({}, 2);
    EXPECT_EQ(second.gaps, 0u);
    EXPECT_EQ(second.gapsTotal, 4u);
    const RunSummary run = meter.summary({}, 2);
    EXPECT_EQ(run.lost, 4u);
    EXPECT_DOUBLE_EQ(run.lossPercent, 100.0 * 4 / 11);
}

TEST(LinkMeter, LatencyPercentilesAndFpsFromTheFirstFrameOn)
{
    LinkMeter meter(false, 0);
    // 100 frames 10 ms apart, latencies 1..100 ms.
    for (uint32_t i = 0; i < 100; ++i)
        meter.addFrame(arrival(i, 1000 + 10 * i, 1000 + 10 * i + i + 1));
    const RunSummary run = meter.summary({}, 2.2);
    ASSERT_TRUE(run.latency);
    EXPECT_NEAR(run.latency->medianMs, 50, 1e-3);
    EXPECT_NEAR(run.latency->p99Ms, 99, 1e-3);
    EXPECT_NEAR(run.latency->maxMs, 100, 1e-3);
    // The first came 1.001 s into the run, which ended 2.2 s in: the wait before is left out.
    EXPECT_NEAR(run.fps, 100 / (2.2 - 1.001), 1e-6);
    EXPECT_NEAR(run.firstFrameAt, 1.001, 1e-9);
    EXPECT_NEAR(run.quietAtEnd, 2.2 - 2.09, 1e-9);
    // Each frame takes 1 ms longer than the one before: the jitter estimate approaches 1 ms.
    EXPECT_NEAR(run.jitterMs, 1, 0.01);
}

TEST(LinkMeter, SendTimesFromAnotherClockShowNoLatencyButJitter)
{
    LinkMeter meter(false, 0);
    const uint64_t otherBoot = 3'600'000 * 5; // the sender booted five hours later
    for (uint32_t i = 0; i < 10; ++i)
        meter.addFrame(arrival(i, otherBoot + 20 * i, 1000 + 20 * i + (i % 2) * 4));
    const RunSummary run = meter.summary({}, 1);
    EXPECT_FALSE(run.clockShared);
    EXPECT_FALSE(run.latency);
    EXPECT_GT(run.jitterMs, 1);
    Thresholds latency;
    latency.maxLatencyMs = 1000;
    EXPECT_EQ(failedThresholds(latency, run).size(), 1) << "an unmeasurable latency cannot pass";
}

// A stream that stops half way through a run is not a clean one at half the rate.
TEST(LinkMeter, FramesThatStopBeforeTheEndFailTheRunAndShowInTheRate)
{
    LinkMeter meter(false, 0);
    for (uint32_t i = 0; i < 150; ++i) // 30 fps for 5 s
        meter.addFrame(arrival(i, 100 + 33 * i, 101 + 33 * i));
    const RunSummary run = meter.summary({}, 11);
    EXPECT_NEAR(run.fps, 150 / (11 - 0.101), 1e-6);
    EXPECT_EQ(run.lost, 0u);
    Thresholds t;
    t.minFps = 25;
    const QStringList why = failedThresholds(t, run);
    ASSERT_EQ(why.size(), 2) << why.join(QLatin1Char(';')).toStdString();
    EXPECT_EQ(why[0], QStringLiteral("no frame for the last 6.0 s"));
    EXPECT_TRUE(why[1].contains(QLatin1String("--min-fps 25")));
    // The same frames in a run that ends with them pass; so does a slow stream between its frames.
    EXPECT_TRUE(failedThresholds(t, meter.summary({}, 5.2)).isEmpty());
    LinkMeter slow(false, 0);
    for (uint32_t i = 0; i < 5; ++i)
        slow.addFrame(arrival(i, 2000 * i, 2000 * i + 1));
    EXPECT_TRUE(failedThresholds({}, slow.summary({}, 9.5)).isEmpty()) << "frames every 2 s, the last 1.5 s ago";
}

// Frames the library gave up as incomplete are lost whether or not any frame came whole, and
// the wire rate is what arrived, not only what was delivered.
TEST(LinkMeter, IncompleteFramesAreLostAndTheirBytesArrived)
{
    DecoderCounters library;
    library.stream.framesIncomplete = 30;
    library.receive.bytesReceived = 2'000'000;
    const RunSummary none = LinkMeter(false, 0).summary(library, 1);
    EXPECT_EQ(none.lost, 30u);
    EXPECT_DOUBLE_EQ(none.lossPercent, 100);
    EXPECT_DOUBLE_EQ(none.wireMbps, 16);

    // Incomplete frames before the first whole one leave no gap in the numbers seen.
    LinkMeter meter(false, 0);
    for (uint32_t i = 25; i < 30; ++i)
        meter.addFrame(arrival(i, 100 + 33 * i, 101 + 33 * i));
    library.stream.framesIncomplete = 25;
    const SecondFigures second = meter.closeSecond(library, 1);
    EXPECT_EQ(second.lost, 25u);
    const RunSummary run = meter.summary(library, 1);
    EXPECT_EQ(run.lost, 25u);
    EXPECT_DOUBLE_EQ(run.lossPercent, 100.0 * 25 / 30);
}

// Repairs and the datagrams our own socket buffer dropped, by the second and in total.
TEST(LinkMeter, RepairsAndOverflowEachSecondAndInTotal)
{
    LinkMeter meter(false, 0);
    DecoderCounters library;
    library.repair = {4, 9};
    library.receive.datagramsOverflowed = 3;
    meter.closeSecond(library, 1);
    library.repair = {6, 12};
    library.receive.datagramsOverflowed = 10;
    const SecondFigures second = meter.closeSecond(library, 2);
    EXPECT_EQ(second.counters.repairedFrames, 2u);
    EXPECT_EQ(second.counters.repairedDatagrams, 3u);
    EXPECT_EQ(second.counters.overflowed, 7u);
    EXPECT_EQ(second.countersTotal.repairedDatagrams, 12u);
    EXPECT_EQ(meter.summary(library, 2).counters.overflowed, 10u);
}

TEST(Thresholds, EachFailsOnItsOwnAndNamesWhy)
{
    LinkMeter meter(true, 0);
    for (uint32_t i = 0; i < 30; i += (i == 10 ? 2 : 1)) { // frame 11 lost
        meter.addFrame(arrival(i, 1000 + 40 * i, 1003 + 40 * i));
        meter.addVerdict(i == 20, 35.0 - (i == 25 ? 10 : 0));
    }
    const RunSummary run = meter.summary({}, 2);
    EXPECT_TRUE(failedThresholds({}, run).join(QLatin1Char(' ')).contains(QLatin1String("1 of 29 frames damaged")));

    LinkMeter clean(false, 1000 * kMs);
    for (uint32_t i = 0; i < 30; ++i)
        clean.addFrame(arrival(i, 1000 + 40 * i, 1003 + 40 * i));
    const RunSummary good = clean.summary({}, 1.2);
    EXPECT_TRUE(failedThresholds({}, good).isEmpty());
    Thresholds t;
    t.minFps = 24;
    t.maxLossPercent = 0;
    t.maxLatencyMs = 3;
    t.expect = kFormat;
    EXPECT_TRUE(failedThresholds(t, good).isEmpty());
    auto fails = [&good](Thresholds one) { return failedThresholds(one, good); };
    Thresholds fps;
    fps.minFps = 26;
    EXPECT_TRUE(fails(fps).value(0).contains(QLatin1String("--min-fps")));
    Thresholds latency;
    latency.maxLatencyMs = 2.5;
    EXPECT_TRUE(fails(latency).value(0).contains(QLatin1String("--max-latency-ms")));
    Thresholds expect;
    expect.expect = StreamFormat{64, 48, 2, 1};
    EXPECT_TRUE(fails(expect).value(0).contains(QLatin1String("64x48x24 arrived, --expect 64x48x32")));
    Thresholds psnr;
    psnr.minPsnr = 30;
    EXPECT_TRUE(fails(psnr).value(0).contains(QLatin1String("no JPEG frame")));
    EXPECT_TRUE(failedThresholds(psnr, run).join(QLatin1Char(' ')).contains(QLatin1String("worst PSNR 25.0 dB")));

    Thresholds loss;
    loss.maxLossPercent = 3;
    EXPECT_TRUE(failedThresholds(loss, run).join(QLatin1Char(' ')).contains(QLatin1String("--max-loss")));
    loss.maxLossPercent = 4;
    EXPECT_FALSE(failedThresholds(loss, run).join(QLatin1Char(' ')).contains(QLatin1String("--max-loss")));

    EXPECT_EQ(failedThresholds({}, LinkMeter(false, 0).summary({}, 1)), QStringList{QStringLiteral("no frame arrived")});
}

} // namespace
