#include "sweepreport.h"

#include <QJsonArray>

namespace {

QString fixed(double value, int decimals = 1)
{
    return QString::number(value, 'f', decimals);
}

QString percentOfCore(const CpuShare &cpu)
{
    return QStringLiteral("%1%").arg(cpu.ofOneCore * 100, 0, 'f', 0);
}

void putCpu(QJsonObject &o, const QString &side, const CpuShare &cpu)
{
    o[side + QStringLiteral("_cpu_seconds")] = cpu.cpuSeconds;
    o[side + QStringLiteral("_cpu_core")] = cpu.ofOneCore;
    o[side + QStringLiteral("_cpu_machine")] = cpu.ofMachine;
}

} // namespace

namespace sweepreport {

QString trialLine(int number, const Trial &t)
{
    const TrialFigures &f = t.figures;
    QString line = QStringLiteral("trial %1  %2").arg(number, 2).arg(t.point.label, -16);
    if (!f.failure.isEmpty())
        return line + QStringLiteral("  fail: ") + f.failure;
    line += QStringLiteral("  fps %1  loss %2 %  p99 %3  cpu %4/%5 of a core  %6")
                .arg(fixed(f.fps), 6)
                .arg(fixed(f.lossPercent, 2))
                .arg(f.p99LatencyMs ? QStringLiteral("%1 ms").arg(fixed(*f.p99LatencyMs)) : QStringLiteral("-"))
                .arg(percentOfCore(f.senderCpu), percentOfCore(f.receiverCpu))
                .arg(t.passed ? QStringLiteral("pass") : QStringLiteral("fail"));
    if (!t.passed)
        line += QStringLiteral(": ") + t.why.join(QStringLiteral(", "));
    return line;
}

QString result(const std::optional<Trial> &best, int trials)
{
    if (!best)
        return QStringLiteral("no setting passed in %1 trials").arg(trials);
    return QStringLiteral("highest passing: %1 (%2 fps, %3 Mbit/s)")
        .arg(best->point.label, fixed(best->figures.fps), fixed(best->figures.wireMbps));
}

QJsonObject trialJson(int number, const Trial &t)
{
    const TrialFigures &f = t.figures;
    QJsonObject o;
    o[QStringLiteral("event")] = QStringLiteral("trial");
    o[QStringLiteral("trial")] = number;
    o[QStringLiteral("setting")] = t.point.label;
    switch (t.point.kind) {
    case SweepKind::Fps:
        o[QStringLiteral("setting_fps")] = t.point.fps;
        break;
    case SweepKind::Size:
        o[QStringLiteral("setting_width")] = t.point.width;
        o[QStringLiteral("setting_height")] = t.point.height;
        break;
    case SweepKind::Jpeg:
        o[QStringLiteral("setting_jpeg_level")] = int(t.point.jpegLevel);
        break;
    }
    o[QStringLiteral("fps")] = f.fps;
    o[QStringLiteral("wire_mbps")] = f.wireMbps;
    o[QStringLiteral("loss_percent")] = f.lossPercent;
    o[QStringLiteral("latency_p99_ms")] = f.p99LatencyMs ? QJsonValue(*f.p99LatencyMs) : QJsonValue();
    o[QStringLiteral("damaged")] = qint64(f.damaged);
    putCpu(o, QStringLiteral("sender"), f.senderCpu);
    putCpu(o, QStringLiteral("receiver"), f.receiverCpu);
    o[QStringLiteral("passed")] = t.passed;
    o[QStringLiteral("why")] = QJsonArray::fromStringList(t.why);
    return o;
}

} // namespace sweepreport
