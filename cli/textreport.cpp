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

// A column of the lines a second: its width holds the figure and the spaces before it, so
// that a line fits a terminal of 100 characters.
struct Column {
    const char *name;
    int width;
};

constexpr Column kRecvColumns[] = {{"time", 6},   {"fps", 7},  {"Mbit/s", 8}, {"frames", 8},
                                   {"lost", 6},   {"incomp", 8}, {"repair", 8}, {"ovfl", 6},
                                   {"drop", 6},   {"rej", 5},  {"latency ms", 13}, {"jitter", 8}};
constexpr Column kVerifyColumns[] = {{"dmg", 5}, {"psnr", 6}};
constexpr Column kSendColumns[] = {{"time", 6}, {"fps", 7}, {"Mbit/s", 8}, {"sent", 7}, {"dropped", 9},
                                   {"sent total", 12}, {"dropped total", 15}};

template <size_t N>
QString header(const Column (&columns)[N])
{
    QString line;
    for (const Column &c : columns)
        line += QStringLiteral("%1").arg(QLatin1String(c.name), c.width);
    return line;
}

template <size_t N>
QString cells(const Column (&columns)[N], const QStringList &values)
{
    QString line;
    for (size_t i = 0; i < N; ++i)
        line += QStringLiteral("%1").arg(values.value(qsizetype(i)), columns[i].width);
    return line;
}

} // namespace

QString formatName(const StreamFormat &format, bool compressed)
{
    return QStringLiteral("%1x%2x%3 %4")
        .arg(format.width).arg(format.height).arg(depthBits(format.depth))
        .arg(compressed ? QStringLiteral("jpeg") : QStringLiteral("raw"));
}

namespace textreport {

QString recvHeader(bool verify)
{
    return header(kRecvColumns) + (verify ? header(kVerifyColumns) : QString());
}

QString recvSecond(const SecondFigures &s, const QString &status, bool verify)
{
    // A second with nothing to count says why instead; a frame-less second with losses still counts them.
    if (s.frames == 0 && s.counters.incomplete == 0 && s.counters.arrivedBytes == 0)
        return QStringLiteral("%1  %2").arg(fixed(s.elapsed), 6).arg(status);
    QString latency = QStringLiteral("-");
    if (!s.clockShared)
        latency = QStringLiteral("other clock");
    else if (s.latency)
        latency = QStringLiteral("%1/%2").arg(fixed(s.latency->medianMs, 2), fixed(s.latency->p99Ms, 2));
    const Counters &c = s.counters;
    QString line = cells(kRecvColumns, {fixed(s.elapsed), fixed(s.fps), fixed(s.wireMbps), QString::number(s.frames),
                                        QString::number(s.lost), QString::number(c.incomplete),
                                        QString::number(c.repairedDatagrams), QString::number(c.overflowed),
                                        QString::number(c.dropped), QString::number(c.rejected), latency,
                                        fixed(s.jitterMs, 2)});
    if (verify)
        line += cells(kVerifyColumns, {QString::number(s.damaged), s.worstPsnr ? fixed(*s.worstPsnr) : QStringLiteral("-")});
    return line;
}

QString recvFormat(const SecondFigures &s)
{
    return QStringLiteral("frames of %1").arg(formatName(*s.format, s.compressed));
}

QString recvSummary(const RunSummary &r, const QStringList &failures)
{
    QString text = QStringLiteral("summary\n");
    text += row(QStringLiteral("run"), r.frames == 0 ? QStringLiteral("%1 s").arg(fixed(r.seconds))
                                                      : QStringLiteral("%1 s, the first frame after %2 s, the last %3 s before the end")
                                                            .arg(fixed(r.seconds), fixed(r.firstFrameAt), fixed(r.quietAtEnd)));
    QStringList formats;
    for (const StreamFormat &f : r.formats)
        formats << formatName(f, false).section(QLatin1Char(' '), 0, 0);
    if (r.lastFormat)
        text += row(QStringLiteral("format"), QStringLiteral("%1 %2").arg(formats.join(QStringLiteral(", ")),
                                                                         r.compressed ? QStringLiteral("jpeg") : QStringLiteral("raw")));
    const Counters &c = r.counters;
    text += row(QStringLiteral("frames"), QStringLiteral("%1 (%2 fps from the first frame on)").arg(r.frames).arg(fixed(r.fps)));
    text += row(QStringLiteral("lost"), QStringLiteral("%1 (%2 %) frame numbers never seen, incomplete ones among them")
                                            .arg(r.lost).arg(fixed(r.lossPercent, 2)));
    text += row(QStringLiteral("delivered"), QString::number(c.delivered));
    text += row(QStringLiteral("dropped"), QString::number(c.dropped));
    text += row(QStringLiteral("incomplete"), QStringLiteral("%1 (pieces missing that parity could not rebuild)").arg(c.incomplete));
    text += row(QStringLiteral("repaired"), QStringLiteral("%1 datagrams rebuilt from parity, in %2 frames")
                                                .arg(c.repairedDatagrams).arg(c.repairedFrames));
    text += row(QStringLiteral("overflow"), QStringLiteral("%1 datagrams dropped on this host's full socket buffer")
                                                .arg(c.overflowed));
    text += row(QStringLiteral("rejected"), QString::number(c.rejected));
    text += row(QStringLiteral("wire"), QStringLiteral("%1 Mbit/s as arrived").arg(fixed(r.wireMbps)));
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

QString sendHeader()
{
    return header(kSendColumns);
}

QString sendSecond(const SendFigures &s)
{
    QString line = cells(kSendColumns, {fixed(s.elapsed), fixed(s.fps), fixed(s.wireMbps), QString::number(s.sent),
                                        QString::number(s.dropped), QString::number(s.sentTotal),
                                        QString::number(s.droppedTotal)});
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
