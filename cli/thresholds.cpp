#include "thresholds.h"

#include "linkmeter.h"
#include "options.h"

#include <algorithm>

namespace {

// A stream quiet this long, or for three of its frame intervals when those are longer, has
// stopped: the library calls a source stalled after a second.
constexpr double kLongestQuietSeconds = 1.0;

QString formatText(const StreamFormat &f)
{
    return QStringLiteral("%1x%2x%3").arg(f.width).arg(f.height).arg(depthBits(f.depth));
}

} // namespace

QStringList failedThresholds(const Thresholds &t, const RunSummary &run)
{
    QStringList why;
    if (run.frames == 0) {
        why << QStringLiteral("no frame arrived");
        return why;
    }
    if (run.quietAtEnd > std::max(kLongestQuietSeconds, run.fps > 0 ? 3 / run.fps : 0))
        why << QStringLiteral("no frame for the last %1 s").arg(run.quietAtEnd, 0, 'f', 1);
    if (t.minFps && run.fps < *t.minFps)
        why << QStringLiteral("%1 fps is below --min-fps %2").arg(run.fps, 0, 'f', 1).arg(*t.minFps);
    if (t.maxLossPercent && run.lossPercent > *t.maxLossPercent)
        why << QStringLiteral("%1 % of frames lost is above --max-loss %2")
                   .arg(run.lossPercent, 0, 'f', 2).arg(*t.maxLossPercent);
    if (t.maxLatencyMs) {
        if (!run.latency)
            why << QStringLiteral("latency not measurable (the sender's clock is not this host's), "
                                  "--max-latency-ms cannot be met");
        else if (run.latency->p99Ms > *t.maxLatencyMs)
            why << QStringLiteral("latency p99 %1 ms is above --max-latency-ms %2")
                       .arg(run.latency->p99Ms, 0, 'f', 1).arg(*t.maxLatencyMs);
    }
    if (run.verified && run.damaged > 0)
        why << QStringLiteral("%1 of %2 frames damaged").arg(run.damaged).arg(run.checked);
    if (t.minPsnr) {
        if (!run.worstPsnr)
            why << QStringLiteral("no JPEG frame to score, --min-psnr cannot be met");
        else if (*run.worstPsnr < *t.minPsnr)
            why << QStringLiteral("worst PSNR %1 dB is below --min-psnr %2").arg(*run.worstPsnr, 0, 'f', 1).arg(*t.minPsnr);
    }
    if (t.expect) {
        for (const StreamFormat &f : run.formats) {
            if (f.width != t.expect->width || f.height != t.expect->height || f.depth != t.expect->depth)
                why << QStringLiteral("frames of %1 arrived, --expect %2").arg(formatText(f), formatText(*t.expect));
        }
    }
    return why;
}
