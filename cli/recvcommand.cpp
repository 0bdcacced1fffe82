#include "commands.h"

#include "console.h"
#include "endpoints.h"
#include "framereceiver.h"
#include "linkstatus.h"
#include "report.h"
#include "stopsignal.h"
#include "thresholds.h"

#include <chrono>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

} // namespace

int runRecv(const Options &o)
{
    QString why;
    const uint32_t decoder = openDecoder(o, &why);
    if (decoder == 0) {
        console::error("recv", why);
        return kExitUsage;
    }
    const QString header = QStringLiteral("receiving on %1 port %2%3%4").arg(protocolName(o.protocol)).arg(o.port)
                               .arg(o.group.isEmpty() ? QString() : QStringLiteral(", group ") + o.group)
                               .arg(o.verify ? QStringLiteral(", verifying the bars pattern") : QString());
    o.json ? console::err(header) : console::out(header);

    LinkMeter meter(o.verify);
    FrameReceiver receiver(decoder, meter, o.verify);
    const auto start = Clock::now();
    auto nextReport = start + std::chrono::seconds(1);
    auto elapsed = [&start] { return std::chrono::duration<double>(Clock::now() - start).count(); };
    uint64_t frames = 0;
    auto report = [&](const SecondFigures &second) {
        const LinkStatus status = receiveStatus(o, decoder);
        const QString line = textreport::recvSecond(second, status.text);
        if (o.json) {
            console::json(jsonreport::recvSecond(second, status));
            console::err(line);
        } else {
            console::out(line);
        }
    };
    while (!stopRequested()) {
        if (o.seconds > 0 && elapsed() >= o.seconds)
            break;
        if (o.frames > 0 && frames >= o.frames)
            break;
        if (Clock::now() >= nextReport) {
            ZunStreamStats stats{};
            zunGetStreamStats(decoder, &stats);
            report(meter.closeSecond(stats, elapsed()));
            nextReport += std::chrono::seconds(1);
        }
        if (receiver.takeOne())
            ++frames;
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ZunStreamStats stats{};
    zunGetStreamStats(decoder, &stats);
    const double ran = elapsed();
    // The part of a second since the last line, so the lines add up to the summary.
    const double lastLine = std::chrono::duration<double>(nextReport - start).count() - 1;
    if (ran - lastLine > 0.05)
        report(meter.closeSecond(stats, ran));
    const RunSummary summary = meter.summary(stats, ran);
    zunDeleteDecoder(decoder);
    const QStringList failures = failedThresholds(o.thresholds, summary);
    o.json ? console::json(jsonreport::recvSummary(summary, failures))
           : console::out(textreport::recvSummary(summary, failures));
    return failures.isEmpty() ? kExitPassed : kExitFailed;
}
