// The capacity search against links whose capacity is known: it finds it within 2% in at most
// 12 trials on each axis, records every trial, judges loss, latency and damage, and says when
// no setting passed.

#include "capacitysearch.h"
#include "sweepreport.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

// A link that carries `capacity` of a point's demand and loses what is above it.
CapacitySearch::RunTrial linkOf(double capacity, int *calls = nullptr)
{
    return [capacity, calls](const SweepPoint &point) {
        if (calls)
            ++*calls;
        TrialFigures f;
        f.fps = point.fps;
        f.lossPercent = point.demand > capacity ? 100 * (point.demand - capacity) / point.demand : 0;
        f.p99LatencyMs = 5;
        return f;
    };
}

TEST(CapacitySearch, FindsAFrameRateWithinTwoPercentInTwelveTrials)
{
    for (double capacity : {281.3, 1.7, 999.0, 47.0, 1.0}) {
        int calls = 0;
        CapacitySearch search(sweepAxis(SweepKind::Fps), {}, linkOf(capacity, &calls));
        const std::optional<Trial> best = search.run();
        ASSERT_TRUE(best) << capacity;
        EXPECT_TRUE(best->passed);
        EXPECT_LE(best->point.fps, capacity);
        EXPECT_GE(best->point.fps, capacity * (1 - CapacitySearch::kPrecision)) << capacity;
        EXPECT_LE(search.trials().size(), size_t(CapacitySearch::kMaxTrials));
        EXPECT_EQ(search.trials().size(), size_t(calls)) << "every trial is kept";
        EXPECT_EQ(search.trials().front().point.fps, 1000) << "the top first, as RFC 2544 starts";
        for (const Trial &t : search.trials())
            EXPECT_EQ(t.passed, t.point.fps <= capacity) << t.point.label.toStdString();
    }
    CapacitySearch fast(sweepAxis(SweepKind::Fps), {}, linkOf(5000));
    ASSERT_TRUE(fast.run());
    EXPECT_EQ(fast.trials().size(), 1u) << "a link that carries the top needs no search";
}

TEST(CapacitySearch, NonePassedOnALinkThatCarriesNothing)
{
    for (SweepKind kind : {SweepKind::Fps, SweepKind::Size, SweepKind::Jpeg}) {
        CapacitySearch search(sweepAxis(kind), {}, linkOf(0));
        EXPECT_FALSE(search.run());
        EXPECT_LE(search.trials().size(), size_t(CapacitySearch::kMaxTrials));
        EXPECT_GE(search.trials().size(), 4u);
        for (const Trial &t : search.trials())
            EXPECT_FALSE(t.passed);
        EXPECT_EQ(sweepreport::result(std::nullopt, int(search.trials().size())),
                  QStringLiteral("no setting passed in %1 trials").arg(search.trials().size()));
    }
    // A trial that could not run fails with its reason.
    CapacitySearch refused(sweepAxis(SweepKind::Size), {}, [](const SweepPoint &) {
        TrialFigures f;
        f.failure = QStringLiteral("refused: over --max-mbps 100");
        return f;
    });
    EXPECT_FALSE(refused.run());
    EXPECT_EQ(refused.trials().front().why, QStringList{QStringLiteral("refused: over --max-mbps 100")});
}

// Sizes and JPEG levels are ladders: the answer is the exact rung.
TEST(CapacitySearch, SizeLadderAndJpegLevelsFindTheirRung)
{
    // 1 Gbit/s of raw 24-bit frames at 30 fps: up to 1,388,888 pixels.
    CapacitySearch sizes(sweepAxis(SweepKind::Size), {}, linkOf(1e9 / 24 / 30));
    const std::optional<Trial> size = sizes.run();
    ASSERT_TRUE(size);
    EXPECT_EQ(size->point.width, 1280);
    EXPECT_EQ(size->point.height, 1024);
    const std::vector<SweepPoint> ladder = sweepAxis(SweepKind::Size);
    EXPECT_EQ(ladder.front().label, QStringLiteral("640x480"));
    EXPECT_EQ(ladder.back().label, QStringLiteral("7680x4320"));

    // A link that carries frames up to quality 70: level 30 is the best picture it takes.
    CapacitySearch levels(sweepAxis(SweepKind::Jpeg), {}, linkOf(101 - 30));
    const std::optional<Trial> level = levels.run();
    ASSERT_TRUE(level);
    EXPECT_EQ(level->point.jpegLevel, 30u);
    EXPECT_EQ(sweepreport::trialJson(1, *level).value(QLatin1String("setting_jpeg_level")).toInt(), 30);
    EXPECT_LE(levels.trials().size(), size_t(CapacitySearch::kMaxTrials));
}

TEST(CapacitySearch, LossLatencyAndDamageJudgeATrial)
{
    // Latency climbs past 20 ms above 400 fps; loss within 1% is allowed up to 600.
    auto link = [](const SweepPoint &point) {
        TrialFigures f;
        f.fps = point.fps;
        f.lossPercent = point.fps > 600 ? 5 : 0.5;
        f.p99LatencyMs = point.fps > 400 ? 30 : 10;
        f.damaged = point.fps > 900 ? 1 : 0;
        return f;
    };
    TrialCriteria lossOnly{1, std::nullopt};
    const std::optional<Trial> byLoss = CapacitySearch(sweepAxis(SweepKind::Fps), lossOnly, link).run();
    ASSERT_TRUE(byLoss);
    EXPECT_NEAR(byLoss->point.fps, 600, 600 * CapacitySearch::kPrecision);

    CapacitySearch byLatency(sweepAxis(SweepKind::Fps), TrialCriteria{1, 20}, link);
    const std::optional<Trial> fastest = byLatency.run();
    ASSERT_TRUE(fastest);
    EXPECT_NEAR(fastest->point.fps, 400, 400 * CapacitySearch::kPrecision);
    const Trial &top = byLatency.trials().front();
    EXPECT_EQ(top.why.size(), 3) << top.why.join(QLatin1Char(';')).toStdString();
    EXPECT_TRUE(sweepreport::trialLine(1, top).contains(QLatin1String("fail: 5.00 % lost, more than 1")))
        << sweepreport::trialLine(1, top).toStdString();

    // A latency that cannot be measured cannot pass a limit on it.
    auto noClock = [](const SweepPoint &) { return TrialFigures{}; };
    EXPECT_FALSE(CapacitySearch(sweepAxis(SweepKind::Size), TrialCriteria{0, 50}, noClock).run());
    EXPECT_TRUE(CapacitySearch(sweepAxis(SweepKind::Size), TrialCriteria{}, noClock).run());
}

} // namespace
