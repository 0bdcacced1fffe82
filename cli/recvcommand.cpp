#include "commands.h"

#include "console.h"
#include "endpoints.h"
#include "linkstatus.h"
#include "receiveloop.h"
#include "report.h"
#include "stopsignal.h"
#include "thresholds.h"

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

    QString problemSeen;
    QString formatTold;
    LoopHooks hooks;
    hooks.keepGoing = [] { return !stopRequested(); };
    const RunSummary summary = ReceiveLoop(decoder, o).run(hooks, [&](const SecondFigures &second) {
        const LinkStatus status = receiveStatus(o, decoder, problemSeen);
        if (second.format && second.frames > 0 && textreport::recvFormat(second) != formatTold) {
            formatTold = textreport::recvFormat(second);
            text(formatTold);
        }
        if (o.json)
            console::json(jsonreport::recvSecond(second, status));
        text(textreport::recvSecond(second, status.text, o.verify));
    });
    zunDeleteDecoder(decoder);
    const QStringList failures = failedThresholds(o.thresholds, summary);
    o.json ? console::json(jsonreport::recvSummary(summary, failures))
           : console::out(textreport::recvSummary(summary, failures));
    return failures.isEmpty() ? kExitPassed : kExitFailed;
}
