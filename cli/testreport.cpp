#include "testreport.h"

#include <QJsonArray>

namespace {

QString fixed(double value, int decimals = 1)
{
    return QString::number(value, 'f', decimals);
}

double number(const QJsonObject &o, const char *field)
{
    return o.value(QLatin1String(field)).toDouble();
}

QString percent(double share)
{
    return QStringLiteral("%1%").arg(share * 100, 0, 'f', 0);
}

QString cell(const QString &text, int width)
{
    return QStringLiteral("%1").arg(text, width);
}

// Wide enough for "100% of a core, 50% of the machine".
constexpr int kSenderColumn = 36;

QString row(const QString &name, const QString &sender, const QString &receiver)
{
    return QStringLiteral("  %1 %2 %3\n").arg(name, -11).arg(sender, -kSenderColumn).arg(receiver);
}

QString latencyOf(const QJsonObject &r)
{
    if (!r.value(QLatin1String("clock_shared")).toBool(true))
        return QStringLiteral("other clock");
    if (r.value(QLatin1String("latency_p99_ms")).isNull())
        return QStringLiteral("-");
    return fixed(number(r, "latency_p99_ms"), 2);
}

} // namespace

namespace testreport {

void putCpu(QJsonObject &figures, const CpuShare &cpu)
{
    figures[QStringLiteral("cpu_seconds")] = cpu.cpuSeconds;
    figures[QStringLiteral("cpu_core")] = cpu.ofOneCore;
    figures[QStringLiteral("cpu_machine")] = cpu.ofMachine;
}

CpuShare cpuOf(const QJsonObject &figures)
{
    CpuShare cpu;
    cpu.cpuSeconds = number(figures, "cpu_seconds");
    cpu.ofOneCore = number(figures, "cpu_core");
    cpu.ofMachine = number(figures, "cpu_machine");
    return cpu;
}

QString header()
{
    return QStringLiteral("       |--------- sender ---------|------------------ receiver -------------------\n"
                          "  time |   fps  Mbit/s  drop   cpu |   fps  Mbit/s  lost repair  ovfl  p99 ms   cpu  at");
}

QString intervalLine(const QJsonObject &s, const QJsonObject &r, const QString &receiverName)
{
    // An end without this interval leaves its columns blank rather than show zeros it never measured.
    const QString sender = s.isEmpty() ? QString(26, QLatin1Char(' '))
                                       : cell(fixed(number(s, "fps")), 6) + cell(fixed(number(s, "wire_mbps")), 8) +
                                             cell(QString::number(qint64(number(s, "dropped"))), 6) +
                                             cell(percent(number(s, "cpu_core")), 6);
    const QString receiver = r.isEmpty() ? QString(47, QLatin1Char(' '))
                                         : cell(fixed(number(r, "fps")), 6) + cell(fixed(number(r, "wire_mbps")), 8) +
                                               cell(QString::number(qint64(number(r, "lost"))), 6) +
                                               cell(QString::number(qint64(number(r, "repaired_datagrams"))), 7) +
                                               cell(QString::number(qint64(number(r, "buffer_overflow"))), 6) +
                                               cell(latencyOf(r), 8) + cell(percent(number(r, "cpu_core")), 6);
    return cell(fixed(number(r.isEmpty() ? s : r, "elapsed_s")), 6) + QStringLiteral(" |") + sender + QStringLiteral(" |") +
           receiver + QStringLiteral("  ") + receiverName;
}

QJsonObject intervalEvent(const QJsonObject &s, const QJsonObject &r, const QString &receiverName)
{
    return {{QStringLiteral("event"), QStringLiteral("interval")},
            {QStringLiteral("sender"), s},
            {QStringLiteral("receiver"), r},
            {QStringLiteral("server"), receiverName}};
}

LimitVerdict limitOf(const TestSettings &settings, const QJsonObject &s, const QJsonObject &r)
{
    LimitFigures f;
    f.askedFps = settings.fps;
    f.madeFps = number(s, "seconds") > 0 ? number(s, "made_total") / number(s, "seconds") : f.askedFps;
    f.sentFps = number(s, "fps");
    f.receivedFps = number(r, "fps");
    f.senderCpu = cpuOf(s);
    f.receiverCpu = cpuOf(r);
    f.overflowed = uint64_t(number(r, "buffer_overflow"));
    // Datagrams rebuilt from parity were lost on the way; an incomplete frame lost one at least.
    if (settings.protocol == QLatin1String("udp"))
        f.lostBetween = uint64_t(number(r, "repaired_datagrams") + number(r, "incomplete"));
    f.framesLost = uint64_t(number(r, "lost"));
    f.droppedAtReceiver = uint64_t(number(r, "dropped"));
    return whoLimits(f);
}

QStringList failures(const TestOutcome &o)
{
    QStringList why;
    if (!o.aborted.isEmpty())
        why << QStringLiteral("the test ended early: ") + o.aborted;
    if (o.sender.isEmpty())
        why << QStringLiteral("no summary from the sender %1").arg(o.senderName);
    else if (o.sender.value(QLatin1String("sent_total")).toDouble() == 0)
        why << QStringLiteral("the sender sent no frame");
    for (const TestOutcome::Receiver &r : o.receivers) {
        if (r.summary.isEmpty()) {
            why << QStringLiteral("no summary from the receiver %1").arg(r.name);
            continue;
        }
        for (const QJsonValue &reason : r.summary.value(QLatin1String("failures")).toArray()) {
            const QString text = reason.toString();
            if (!why.contains(text) && !text.startsWith(QLatin1String("the test ended early")))
                why << (o.receivers.size() > 1 ? QStringLiteral("%1: %2").arg(r.name, text) : text);
        }
    }
    return why;
}

QString summary(const TestSettings &settings, const TestOutcome &o)
{
    const QJsonObject &s = o.sender;
    QString text;
    for (const TestOutcome::Receiver &receiver : o.receivers) {
        const QJsonObject &r = receiver.summary;
        text += QStringLiteral("summary      %1 %2\n").arg(QStringLiteral("sender ") + o.senderName, -kSenderColumn)
                    .arg(QStringLiteral("receiver ") + receiver.name);
        text += row(QStringLiteral("frames"),
                    QStringLiteral("%1 sent, %2 dropped").arg(qint64(number(s, "sent_total"))).arg(qint64(number(s, "dropped_total"))),
                    QStringLiteral("%1 arrived, %2 lost (%3 %)").arg(qint64(number(r, "frames"))).arg(qint64(number(r, "lost")))
                        .arg(fixed(number(r, "loss_percent"), 2)));
        text += row(QStringLiteral("rate"),
                    QStringLiteral("%1 fps, %2 Mbit/s").arg(fixed(number(s, "fps")), fixed(number(s, "wire_mbps"))),
                    QStringLiteral("%1 fps, %2 Mbit/s").arg(fixed(number(r, "fps")), fixed(number(r, "wire_mbps"))));
        text += row(QStringLiteral("repairs"), QString(),
                    QStringLiteral("%1 datagrams rebuilt, %2 incomplete, %3 overflow")
                        .arg(qint64(number(r, "repaired_datagrams"))).arg(qint64(number(r, "incomplete")))
                        .arg(qint64(number(r, "buffer_overflow"))));
        text += row(QStringLiteral("latency"), QString(),
                    latencyOf(r) == QLatin1String("-") || latencyOf(r) == QLatin1String("other clock")
                        ? latencyOf(r)
                        : QStringLiteral("median %1 ms, p99 %2 ms").arg(fixed(number(r, "latency_median_ms"), 2), latencyOf(r)));
        if (r.value(QLatin1String("verified")).toBool())
            text += row(QStringLiteral("verify"), QString(),
                        QStringLiteral("%1 checked, %2 damaged").arg(qint64(number(r, "checked"))).arg(qint64(number(r, "damaged"))));
        text += row(QStringLiteral("cpu"),
                    QStringLiteral("%1 of a core, %2 of the machine").arg(percent(number(s, "cpu_core")), percent(number(s, "cpu_machine"))),
                    QStringLiteral("%1 of a core, %2 of the machine").arg(percent(number(r, "cpu_core")), percent(number(r, "cpu_machine"))));
        const LimitVerdict limit = limitOf(settings, s, r);
        text += QStringLiteral("  %1 %2: %3\n").arg(QStringLiteral("limited by"), -11).arg(limit.word, limit.figure);
    }
    const QStringList why = failures(o);
    text += QStringLiteral("  %1 %2\n").arg(QStringLiteral("result"), -11).arg(why.isEmpty() ? QStringLiteral("PASS") : QStringLiteral("FAIL"));
    for (const QString &reason : why)
        text += QStringLiteral("    - %1\n").arg(reason);
    return text;
}

QJsonObject endEvent(const TestSettings &settings, const TestOutcome &o)
{
    QJsonArray receivers;
    for (const TestOutcome::Receiver &r : o.receivers) {
        QJsonObject entry{{QStringLiteral("server"), r.name}, {QStringLiteral("summary"), r.summary}};
        const LimitVerdict limit = limitOf(settings, o.sender, r.summary);
        entry[QStringLiteral("limited_by")] = limit.word;
        entry[QStringLiteral("limit_figure")] = limit.figure;
        receivers.append(entry);
    }
    const QStringList why = failures(o);
    QJsonObject end{{QStringLiteral("event"), QStringLiteral("end")},
                    {QStringLiteral("sender"), o.sender},
                    {QStringLiteral("receivers"), receivers},
                    {QStringLiteral("passed"), why.isEmpty()},
                    {QStringLiteral("failures"), QJsonArray::fromStringList(why)},
                    {QStringLiteral("exit_code"), why.isEmpty() ? 0 : 1}};
    if (!o.receivers.empty())
        end[QStringLiteral("receiver")] = o.receivers.front().summary;
    if (!o.aborted.isEmpty())
        end[QStringLiteral("aborted")] = o.aborted;
    return end;
}

} // namespace testreport
