#include "report.h"

#include "options.h"

namespace {

QString fixed(double value, int decimals = 1)
{
    return QString::number(value, 'f', decimals);
}

QString latencyText(const std::optional<Latency> &latency, bool clockShared)
{
    if (!clockShared)
        return QStringLiteral("not shown (the sender's clock is not this host's)");
    if (!latency)
        return QStringLiteral("-");
    return QStringLiteral("median %1 ms, p99 %2 ms, max %3 ms")
        .arg(fixed(latency->medianMs, 2), fixed(latency->p99Ms, 2), fixed(latency->maxMs, 2));
}

QString row(const QString &name, const QString &value)
{
    return QStringLiteral("  %1 %2\n").arg(name, -12).arg(value);
}

} // namespace

QString formatName(const StreamFormat &format, bool compressed)
{
    return QStringLiteral("%1x%2x%3 %4")
        .arg(format.width).arg(format.height).arg(depthBits(format.depth))
        .arg(compressed ? QStringLiteral("jpeg") : QStringLiteral("raw"));
}

namespace textreport {

QString recvSecond(const SecondFigures &s, const QString &status)
{
    const QString time = QStringLiteral("%1 s").arg(fixed(s.elapsed), 6);
    if (s.frames == 0)
        return QStringLiteral("%1  %2").arg(time, status);
    QString latency;
    if (!s.clockShared)
        latency = QStringLiteral("latency n/a (other clock)");
    else if (s.latency)
        latency = QStringLiteral("latency %1/%2 ms").arg(fixed(s.latency->medianMs, 2), fixed(s.latency->p99Ms, 2));
    const auto pair = [](uint64_t now, uint64_t total) { return QStringLiteral("%1/%2").arg(now).arg(total); };
    QString line = QStringLiteral("%1  %2  %3 fps  wire %4 Mbit/s  picture %5 Mbit/s  frames %6  dropped %7  "
                                  "incomplete %8  rejected %9")
                       .arg(time, formatName(*s.format, s.compressed), fixed(s.fps), fixed(s.wireMbps),
                            fixed(s.pictureMbps), pair(s.frames, s.framesTotal),
                            pair(s.counters.dropped, s.countersTotal.dropped),
                            pair(s.counters.incomplete, s.countersTotal.incomplete),
                            pair(s.counters.rejected, s.countersTotal.rejected));
    line += QStringLiteral("  gaps %1  %2  jitter %3 ms").arg(pair(s.gaps, s.gapsTotal), latency, fixed(s.jitterMs, 2));
    if (s.damagedTotal > 0 || s.worstPsnr)
        line += QStringLiteral("  damaged %1").arg(pair(s.damaged, s.damagedTotal));
    if (s.worstPsnr)
        line += QStringLiteral("  psnr %1 dB").arg(fixed(*s.worstPsnr));
    return line;
}

QString recvSummary(const RunSummary &r, const QStringList &failures)
{
    QString text = QStringLiteral("summary\n");
    text += row(QStringLiteral("run"), QStringLiteral("%1 s, frames over %2 s").arg(fixed(r.seconds), fixed(r.activeSeconds)));
    QStringList formats;
    for (const StreamFormat &f : r.formats)
        formats << formatName(f, false).section(QLatin1Char(' '), 0, 0);
    if (r.lastFormat)
        text += row(QStringLiteral("format"), QStringLiteral("%1 %2").arg(formats.join(QStringLiteral(", ")),
                                                                         r.compressed ? QStringLiteral("jpeg") : QStringLiteral("raw")));
    text += row(QStringLiteral("frames"), QStringLiteral("%1 (%2 fps)").arg(r.frames).arg(fixed(r.fps)));
    text += row(QStringLiteral("lost"), QStringLiteral("%1 (%2 %) frame numbers never seen").arg(r.lost).arg(fixed(r.lossPercent, 2)));
    text += row(QStringLiteral("delivered"), QString::number(r.counters.delivered));
    text += row(QStringLiteral("dropped"), QString::number(r.counters.dropped));
    text += row(QStringLiteral("incomplete"), QString::number(r.counters.incomplete));
    text += row(QStringLiteral("rejected"), QString::number(r.counters.rejected));
    text += row(QStringLiteral("wire"), QStringLiteral("%1 Mbit/s").arg(fixed(r.wireMbps)));
    text += row(QStringLiteral("picture"), QStringLiteral("%1 Mbit/s").arg(fixed(r.pictureMbps)));
    text += row(QStringLiteral("latency"), latencyText(r.latency, r.clockShared));
    text += row(QStringLiteral("jitter"), QStringLiteral("%1 ms").arg(fixed(r.jitterMs, 2)));
    if (r.verified) {
        QString verify = QStringLiteral("%1 checked, %2 damaged").arg(r.checked).arg(r.damaged);
        if (r.worstPsnr)
            verify += QStringLiteral(", worst PSNR %1 dB").arg(fixed(*r.worstPsnr));
        text += row(QStringLiteral("verify"), verify);
    }
    text += row(QStringLiteral("result"), failures.isEmpty() ? QStringLiteral("PASS") : QStringLiteral("FAIL"));
    for (const QString &why : failures)
        text += QStringLiteral("    - %1\n").arg(why);
    return text;
}

QString sendSecond(const SendFigures &s)
{
    QString line = QStringLiteral("%1 s  sent %2/%3 frames  %4 fps  dropped %5/%6  wire %7 Mbit/s")
                       .arg(fixed(s.elapsed), 6).arg(s.sent).arg(s.sentTotal).arg(fixed(s.fps))
                       .arg(s.dropped).arg(s.droppedTotal).arg(fixed(s.wireMbps));
    // The library's words only while frames do not leave; a problem once met stays in its status.
    if (s.sent == 0 && !s.status.text.isEmpty())
        line += QStringLiteral("  ") + s.status.text;
    return line;
}

QString sendSummary(const SendFigures &t)
{
    return QStringLiteral("summary: %1 frames made, %2 sent, %3 dropped in %4 s (%5 fps, %6 Mbit/s)\n")
        .arg(t.madeTotal).arg(t.sentTotal).arg(t.droppedTotal).arg(fixed(t.elapsed)).arg(fixed(t.fps))
        .arg(fixed(t.wireMbps));
}

QString check(const CheckResult &c)
{
    const RunSummary &r = c.receive;
    QString text = QStringLiteral("check: %1, %2 s flat out in one process\n").arg(c.setting, fixed(r.seconds));
    text += row(QStringLiteral("made"), QStringLiteral("%1 frames (%2 a second)").arg(c.send.madeTotal).arg(fixed(c.send.fps)));
    text += row(QStringLiteral("received"), QStringLiteral("%1 frames (%2 fps)").arg(r.frames).arg(fixed(r.fps)));
    text += row(QStringLiteral("dropped"), QStringLiteral("%1 by the sender, %2 by the receiver, %3 incomplete")
                                               .arg(c.send.droppedTotal).arg(r.counters.dropped).arg(r.counters.incomplete));
    text += row(QStringLiteral("wire"), QStringLiteral("%1 Mbit/s (picture %2 Mbit/s)").arg(fixed(r.wireMbps), fixed(r.pictureMbps)));
    text += row(QStringLiteral("latency"), latencyText(r.latency, r.clockShared));
    QString verdict = QStringLiteral("this machine carries about %1 fps of this setting").arg(fixed(r.fps));
    if (c.wantedFps)
        verdict = c.passed ? QStringLiteral("%1 fps fits (%2 times over)").arg(*c.wantedFps).arg(fixed(r.fps / *c.wantedFps))
                           : QStringLiteral("%1 fps is out of reach: about %2 fps at most").arg(*c.wantedFps).arg(fixed(r.fps));
    text += row(QStringLiteral("result"), verdict);
    return text;
}

} // namespace textreport
