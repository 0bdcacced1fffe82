#include "sweeprun.h"

#include "capacitysearch.h"
#include "console.h"
#include "sweepreport.h"
#include "testclient.h"
#include "testreport.h"

#include <QJsonArray>
#include <QThread>

namespace {

// A server takes this long after a test to be free for the next.
constexpr int kBetweenTrialsMs = 300;

TestSettings trialSettings(TestSettings s, const SweepPoint &point, double seconds)
{
    // The user's --omit holds for every trial: a policer's burst or a slow start is spent there.
    s.seconds = seconds;
    s.interval = seconds;
    switch (point.kind) {
    case SweepKind::Fps: s.fps = point.fps; break;
    case SweepKind::Size: s.size.width = point.width; s.size.height = point.height; break;
    case SweepKind::Jpeg: s.jpegLevel = int(point.jpegLevel); break;
    }
    return s;
}

} // namespace

int runSweep(const Options &o, const TestSettings &settings, const std::optional<QByteArray> &key)
{
    const SweepKind kind = *o.sweep == QLatin1String("fps") ? SweepKind::Fps
                           : *o.sweep == QLatin1String("size") ? SweepKind::Size : SweepKind::Jpeg;
    TrialCriteria criteria;
    criteria.maxLossPercent = o.thresholds.maxLossPercent.value_or(0);
    criteria.maxLatencyMs = o.thresholds.maxLatencyMs;
    const auto text = o.json ? console::err : console::out;
    int refusedExit = 0;
    CapacitySearch search(sweepAxis(kind), criteria, [&](const SweepPoint &point) {
        TrialFigures f;
        if (refusedExit != 0) {
            f.failure = QStringLiteral("the server refused the search");
            return f;
        }
        const TestSettings trial = trialSettings(settings, point, o.trialSeconds);
        Agreement agreement = agreeTest(o.hosts, trial, key);
        if (!agreement.error.isEmpty()) {
            // Past the server's rate limit is a setting too demanding, as a lost frame is.
            if (agreement.exitCode == kExitUsage && !agreement.pastRateLimit)
                refusedExit = kExitUsage;
            f.failure = agreement.error;
            return f;
        }
        const TestOutcome outcome = runAgreedTest(agreement, trial, o.group, {});
        QThread::msleep(kBetweenTrialsMs);
        const QJsonObject &r = outcome.receivers.empty() ? QJsonObject() : outcome.receivers.front().summary;
        if (!outcome.aborted.isEmpty() || r.isEmpty()) {
            f.failure = outcome.aborted.isEmpty() ? QStringLiteral("no summary from the receiver") : outcome.aborted;
            return f;
        }
        f.fps = r.value(QLatin1String("fps")).toDouble();
        f.wireMbps = r.value(QLatin1String("wire_mbps")).toDouble();
        // Frames never whole over those the sender sent, as RFC 2544 counts frame loss.
        const double sent = outcome.sender.value(QLatin1String("sent_total")).toDouble();
        const double arrived = r.value(QLatin1String("frames")).toDouble();
        f.lossPercent = sent > 0 ? std::max(0.0, 100.0 * (sent - arrived) / sent) : 100;
        if (!r.value(QLatin1String("latency_p99_ms")).isNull())
            f.p99LatencyMs = r.value(QLatin1String("latency_p99_ms")).toDouble();
        f.damaged = uint64_t(r.value(QLatin1String("damaged")).toDouble());
        f.senderCpu = testreport::cpuOf(outcome.sender);
        f.receiverCpu = testreport::cpuOf(r);
        return f;
    });
    text(QStringLiteral("searching the highest %1 that %2 carries, %3 s a trial").arg(*o.sweep, o.hosts.front()).arg(o.trialSeconds));
    int number = 0;
    const std::optional<Trial> best = search.run([&](const Trial &trial) {
        ++number;
        if (o.json)
            console::json(sweepreport::trialJson(number, trial));
        text(sweepreport::trialLine(number, trial));
    });
    const QString result = sweepreport::result(best, int(search.trials().size()));
    const int exitCode = refusedExit != 0 ? refusedExit : best ? kExitPassed : kExitFailed;
    if (o.json) {
        QJsonObject end{{QStringLiteral("event"), QStringLiteral("end")}, {QStringLiteral("result"), result},
                        {QStringLiteral("passed"), best.has_value()}, {QStringLiteral("exit_code"), exitCode}};
        if (best)
            end[QStringLiteral("best")] = sweepreport::trialJson(0, *best);
        console::json(end);
    }
    text(result);
    return exitCode;
}
