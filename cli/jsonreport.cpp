#include "report.h"

#include "options.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cmath>

namespace {

constexpr double kIdenticalPsnrDb = 100;

// Rounded so the objects stay readable.
double rounded(double value, int decimals = 3)
{
    const double scale = std::pow(10.0, decimals);
    return std::round(value * scale) / scale;
}

QJsonValue orNull(const std::optional<double> &value)
{
    return value ? QJsonValue(rounded(std::min(*value, kIdenticalPsnrDb))) : QJsonValue();
}

void putFormat(QJsonObject &o, const std::optional<StreamFormat> &format, bool compressed)
{
    o[QStringLiteral("width")] = format ? QJsonValue(format->width) : QJsonValue();
    o[QStringLiteral("height")] = format ? QJsonValue(format->height) : QJsonValue();
    o[QStringLiteral("depth")] = format ? QJsonValue(depthBits(format->depth)) : QJsonValue();
    o[QStringLiteral("jpeg")] = compressed;
}

void putLatency(QJsonObject &o, const std::optional<Latency> &latency, bool clockShared)
{
    o[QStringLiteral("clock_shared")] = clockShared;
    o[QStringLiteral("latency_median_ms")] = latency ? QJsonValue(rounded(latency->medianMs)) : QJsonValue();
    o[QStringLiteral("latency_p99_ms")] = latency ? QJsonValue(rounded(latency->p99Ms)) : QJsonValue();
    o[QStringLiteral("latency_max_ms")] = latency ? QJsonValue(rounded(latency->maxMs)) : QJsonValue();
}

QJsonValue count(uint64_t value)
{
    return QJsonValue(qint64(value));
}

// The library's counters, as "delivered" .. "buffer_overflow" followed by suffix.
void putCounters(QJsonObject &o, const Counters &c, const QString &suffix = {})
{
    o[QStringLiteral("delivered") + suffix] = count(c.delivered);
    o[QStringLiteral("dropped") + suffix] = count(c.dropped);
    o[QStringLiteral("incomplete") + suffix] = count(c.incomplete);
    o[QStringLiteral("rejected") + suffix] = count(c.rejected);
    o[QStringLiteral("repaired_datagrams") + suffix] = count(c.repairedDatagrams);
    o[QStringLiteral("repaired_frames") + suffix] = count(c.repairedFrames);
    o[QStringLiteral("buffer_overflow") + suffix] = count(c.overflowed);
}

} // namespace

namespace jsonreport {

QJsonObject recvSecond(const SecondFigures &s, const LinkStatus &status)
{
    QJsonObject o;
    o[QStringLiteral("type")] = QStringLiteral("second");
    o[QStringLiteral("elapsed_s")] = rounded(s.elapsed);
    putFormat(o, s.format, s.compressed);
    o[QStringLiteral("frames")] = count(s.frames);
    o[QStringLiteral("frames_total")] = count(s.framesTotal);
    o[QStringLiteral("fps")] = rounded(s.fps);
    o[QStringLiteral("wire_mbps")] = rounded(s.wireMbps);
    o[QStringLiteral("picture_mbps")] = rounded(s.pictureMbps);
    putCounters(o, s.counters);
    putCounters(o, s.countersTotal, QStringLiteral("_total"));
    o[QStringLiteral("gaps")] = count(s.gaps);
    o[QStringLiteral("gaps_total")] = count(s.gapsTotal);
    o[QStringLiteral("lost")] = count(s.lost);
    putLatency(o, s.latency, s.clockShared);
    o[QStringLiteral("jitter_ms")] = rounded(s.jitterMs);
    o[QStringLiteral("damaged")] = count(s.damaged);
    o[QStringLiteral("damaged_total")] = count(s.damagedTotal);
    o[QStringLiteral("worst_psnr_db")] = orNull(s.worstPsnr);
    o[QStringLiteral("state")] = status.state;
    o[QStringLiteral("status")] = status.text;
    return o;
}

QJsonObject recvSummary(const RunSummary &r, const QStringList &failures)
{
    QJsonObject o;
    o[QStringLiteral("type")] = QStringLiteral("summary");
    o[QStringLiteral("seconds")] = rounded(r.seconds);
    o[QStringLiteral("active_seconds")] = rounded(r.activeSeconds);
    o[QStringLiteral("first_frame_s")] = rounded(r.firstFrameAt);
    o[QStringLiteral("quiet_at_end_s")] = rounded(r.quietAtEnd);
    putFormat(o, r.lastFormat, r.compressed);
    QJsonArray formats;
    for (const StreamFormat &f : r.formats)
        formats.append(formatName(f, false).section(QLatin1Char(' '), 0, 0));
    o[QStringLiteral("formats")] = formats;
    o[QStringLiteral("frames")] = count(r.frames);
    o[QStringLiteral("fps")] = rounded(r.fps);
    o[QStringLiteral("lost")] = count(r.lost);
    o[QStringLiteral("loss_percent")] = rounded(r.lossPercent);
    putCounters(o, r.counters);
    o[QStringLiteral("wire_mbps")] = rounded(r.wireMbps);
    o[QStringLiteral("picture_mbps")] = rounded(r.pictureMbps);
    putLatency(o, r.latency, r.clockShared);
    o[QStringLiteral("jitter_ms")] = rounded(r.jitterMs);
    o[QStringLiteral("verified")] = r.verified;
    o[QStringLiteral("checked")] = count(r.checked);
    o[QStringLiteral("damaged")] = count(r.damaged);
    o[QStringLiteral("worst_psnr_db")] = orNull(r.worstPsnr);
    o[QStringLiteral("passed")] = failures.isEmpty();
    o[QStringLiteral("failures")] = QJsonArray::fromStringList(failures);
    o[QStringLiteral("exit_code")] = failures.isEmpty() ? kExitPassed : kExitFailed;
    return o;
}

QJsonObject sendSecond(const SendFigures &s)
{
    QJsonObject o;
    o[QStringLiteral("type")] = QStringLiteral("second");
    o[QStringLiteral("elapsed_s")] = rounded(s.elapsed);
    o[QStringLiteral("made")] = count(s.made);
    o[QStringLiteral("made_total")] = count(s.madeTotal);
    o[QStringLiteral("sent")] = count(s.sent);
    o[QStringLiteral("sent_total")] = count(s.sentTotal);
    o[QStringLiteral("dropped")] = count(s.dropped);
    o[QStringLiteral("dropped_total")] = count(s.droppedTotal);
    o[QStringLiteral("fps")] = rounded(s.fps);
    o[QStringLiteral("wire_mbps")] = rounded(s.wireMbps);
    o[QStringLiteral("state")] = s.status.state;
    o[QStringLiteral("status")] = s.status.text;
    return o;
}

QJsonObject sendSummary(const SendFigures &t)
{
    QJsonObject o = sendSecond(t);
    o[QStringLiteral("type")] = QStringLiteral("summary");
    o.remove(QStringLiteral("made"));
    o.remove(QStringLiteral("sent"));
    o.remove(QStringLiteral("dropped"));
    o[QStringLiteral("seconds")] = o.take(QStringLiteral("elapsed_s"));
    return o;
}

QJsonObject check(const CheckResult &c)
{
    QJsonObject o = recvSummary(c.receive, {});
    o[QStringLiteral("type")] = QStringLiteral("check");
    o[QStringLiteral("setting")] = c.setting;
    o[QStringLiteral("made")] = count(c.send.madeTotal);
    o[QStringLiteral("made_fps")] = rounded(c.send.fps);
    o[QStringLiteral("sender_dropped")] = count(c.send.droppedTotal);
    o[QStringLiteral("wanted_fps")] = c.wantedFps ? QJsonValue(*c.wantedFps) : QJsonValue();
    o[QStringLiteral("passed")] = c.passed;
    o[QStringLiteral("exit_code")] = c.passed ? kExitPassed : kExitFailed;
    for (const char *key : {"failures", "verified", "checked", "damaged", "worst_psnr_db", "formats"})
        o.remove(QLatin1String(key));
    return o;
}

QByteArray line(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

} // namespace jsonreport
