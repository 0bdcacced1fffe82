#include "commands.h"

#include "console.h"
#include "endpoints.h"
#include "linkstatus.h"
#include "report.h"
#include "sendloop.h"
#include "stopsignal.h"
#include "testpicture.h"

int runSend(const Options &o)
{
    TestPicture picture(o.pattern, o.format);
    if (!picture.isValid()) {
        console::error("send", QStringLiteral("no test picture at %1 bits").arg(depthBits(o.format.depth)));
        return kExitUsage;
    }
    QString why;
    const uint32_t encoder = openEncoder(o, o.address, &why);
    if (encoder == 0) {
        console::error("send", why);
        return kExitUsage;
    }
    const QString header = QStringLiteral("sending %1 to %2 at %3 fps")
                               .arg(settingName(o), o.protocol == ZUN_PROTOCOL_MEMORY ? QStringLiteral("this host") : o.address)
                               .arg(o.fps);
    // The lines for people go to stderr when stdout carries the JSON.
    const auto text = o.json ? console::err : console::out;
    text(header + (o.pacingMbps ? QStringLiteral(", paced at %1 Mbit/s").arg(*o.pacingMbps) : QString()));
    text(textreport::sendHeader());

    SendLoop loop(encoder, o, picture);
    LoopHooks hooks;
    hooks.keepGoing = [] { return !stopRequested(); };
    const SendFigures total = loop.run(hooks, [&](const SendFigures &second) {
        if (o.json)
            console::json(jsonreport::sendSecond(second));
        text(textreport::sendSecond(second));
    });
    const QString problem = statusText(encoder);
    zunDeleteEncoder(encoder);
    const int exitCode = total.sentTotal > 0 ? kExitPassed : kExitFailed;
    if (o.json) {
        QJsonObject summary = jsonreport::sendSummary(total);
        summary[QStringLiteral("exit_code")] = exitCode;
        console::json(summary);
    } else {
        console::out(textreport::sendSummary(total));
    }
    if (exitCode != kExitPassed)
        console::error("send", QStringLiteral("no frame was sent: %1")
                                   .arg(problem.isEmpty() ? QStringLiteral("the library was %1").arg(total.status.state) : problem));
    return exitCode;
}
