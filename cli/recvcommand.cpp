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
    // The lines for people go to stderr when stdout carries the JSON.
    const auto text = o.json ? console::err : console::out;
    text(header);
    text(textreport::recvHeader(o.verify));

    const auto start = Clock::now();
    LinkMeter meter(o.verify, monotonicNowNs());
    FrameReceiver receiver(decoder, meter, o.verify);
    auto nextReport = start + std::chrono::seconds(1);
    auto elapsed = [&start] { return std::chrono::duration<double>(Clock::now() - start).count(); };
    uint64_t frames = 0;
    QString problemSeen;
    QString formatTold;
    auto report = [&](const SecondFigures &second) {
        const LinkStatus status = receiveStatus(o, decoder, problemSeen);
        if (second.format && second.frames > 0 && textreport::recvFormat(second) != formatTold) {
            formatTold = textreport::recvFormat(second);
            text(formatTold);
        }
        if (o.json)
            console::json(jsonreport::recvSecond(second, status));
        text(textreport::recvSecond(second, status.text, o.verify));
    };
    while (!stopRequested()) {
        if (o.seconds > 0 && elapsed() >= o.seconds)
            break;
        if (o.frames > 0 && frames >= o.frames)
            break;
        if (Clock::now() >= nextReport) {
            report(meter.closeSecond(DecoderCounters::of(decoder), elapsed()));
            nextReport += std::chrono::seconds(1);
        }
        if (receiver.takeOne())
            ++frames;
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const DecoderCounters counters = DecoderCounters::of(decoder);
    const double ran = elapsed();
    // The part of a second since the last line, so the lines add up to the summary.
    const double lastLine = std::chrono::duration<double>(nextReport - start).count() - 1;
    if (ran - lastLine > 0.05)
        report(meter.closeSecond(counters, ran));
    const RunSummary summary = meter.summary(counters, ran);
    zunDeleteDecoder(decoder);
    const QStringList failures = failedThresholds(o.thresholds, summary);
    o.json ? console::json(jsonreport::recvSummary(summary, failures))
           : console::out(textreport::recvSummary(summary, failures));
    return failures.isEmpty() ? kExitPassed : kExitFailed;
}
