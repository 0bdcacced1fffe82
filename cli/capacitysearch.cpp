#include "capacitysearch.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace {

struct Size {
    uint16_t width, height;
};

// Common sizes by their count of pixels.
constexpr Size kSizeLadder[] = {{640, 480},   {800, 600},   {1024, 768},  {1280, 720},
                                {1280, 1024}, {1600, 900},  {1920, 1080}, {2560, 1440},
                                {3840, 2160}, {5120, 2880}, {7680, 4320}};

constexpr int kLowestFpsTenths = 10, kHighestFpsTenths = 10000;

QStringList missed(const TrialCriteria &c, const TrialFigures &f)
{
    QStringList why;
    if (!f.failure.isEmpty())
        return {f.failure};
    if (f.lossPercent > c.maxLossPercent)
        why << QStringLiteral("%1 % lost, more than %2").arg(f.lossPercent, 0, 'f', 2).arg(c.maxLossPercent);
    if (c.maxLatencyMs) {
        if (!f.p99LatencyMs)
            why << QStringLiteral("latency not measurable");
        else if (*f.p99LatencyMs > *c.maxLatencyMs)
            why << QStringLiteral("latency p99 %1 ms, more than %2").arg(*f.p99LatencyMs, 0, 'f', 1).arg(*c.maxLatencyMs);
    }
    if (f.damaged > 0)
        why << QStringLiteral("%1 frames damaged").arg(f.damaged);
    return why;
}

} // namespace

std::vector<SweepPoint> sweepAxis(SweepKind kind)
{
    std::vector<SweepPoint> axis;
    switch (kind) {
    case SweepKind::Fps:
        for (int tenths = kLowestFpsTenths; tenths <= kHighestFpsTenths; ++tenths) {
            const double fps = tenths / 10.0;
            SweepPoint point{kind, QStringLiteral("%1 fps").arg(fps, 0, 'f', 1), fps};
            point.fps = fps;
            axis.push_back(point);
        }
        break;
    case SweepKind::Size:
        for (const Size &s : kSizeLadder) {
            SweepPoint point{kind, QStringLiteral("%1x%2").arg(s.width).arg(s.height), double(s.width) * s.height};
            point.width = s.width;
            point.height = s.height;
            axis.push_back(point);
        }
        break;
    case SweepKind::Jpeg:
        // Quality is 100 - level: the lower the level, the more bytes a frame takes.
        for (int level = 100; level >= 0; --level) {
            SweepPoint point{kind, QStringLiteral("jpeg level %1").arg(level), double(101 - level)};
            point.jpegLevel = uint32_t(level);
            axis.push_back(point);
        }
        break;
    }
    return axis;
}

CapacitySearch::CapacitySearch(std::vector<SweepPoint> axis, TrialCriteria criteria, RunTrial runTrial)
    : mAxis(std::move(axis)), mCriteria(criteria), mRunTrial(std::move(runTrial))
{
}

const Trial &CapacitySearch::tryAt(size_t index, const std::function<void(const Trial &)> &onTrial)
{
    Trial trial;
    trial.point = mAxis[index];
    trial.figures = mRunTrial(trial.point);
    trial.why = missed(mCriteria, trial.figures);
    trial.passed = trial.why.isEmpty();
    mTrials.push_back(std::move(trial));
    if (onTrial)
        onTrial(mTrials.back());
    return mTrials.back();
}

std::optional<Trial> CapacitySearch::run(const std::function<void(const Trial &)> &onTrial)
{
    mTrials.clear();
    if (mAxis.empty())
        return std::nullopt;
    // As RFC 2544 does: the top first, then halve the span between passed and failed.
    const size_t top = mAxis.size() - 1;
    if (tryAt(top, onTrial).passed)
        return mTrials.back();
    std::optional<size_t> passed; // on the axis
    Trial best;
    size_t failed = top;
    auto settled = [&] {
        if (failed == (passed ? *passed + 1 : 0))
            return true;
        return passed && mAxis[failed].demand - mAxis[*passed].demand <= kPrecision * mAxis[failed].demand;
    };
    while (int(mTrials.size()) < kMaxTrials && !settled()) {
        // Halving the span by ratio, not by difference, brings 1 to 1000 fps to 2% within the
        // trials allowed wherever the capacity lies.
        const size_t first = passed ? *passed + 1 : 0;
        const double low = mAxis[passed ? *passed : 0].demand;
        const double target = std::sqrt(low * mAxis[failed].demand);
        const auto at = std::lower_bound(mAxis.begin() + ptrdiff_t(first), mAxis.begin() + ptrdiff_t(failed), target,
                                         [](const SweepPoint &p, double demand) { return p.demand < demand; });
        const size_t middle = std::min(size_t(at - mAxis.begin()), failed - 1);
        const Trial &trial = tryAt(middle, onTrial);
        if (trial.passed) {
            passed = middle;
            best = trial;
        } else {
            failed = middle;
        }
    }
    return passed ? std::optional<Trial>(best) : std::nullopt;
}
