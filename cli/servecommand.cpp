#include "commands.h"

#include "console.h"
#include "controlserver.h"
#include "keyproof.h"
#include "stopsignal.h"

int runServe(const Options &o)
{
    ServerLimits limits;
    limits.maxSeconds = o.maxSeconds;
    limits.maxMbps = o.maxMbps;
    limits.allowMulticast = o.allowMulticast;
    if (!o.keyFile.isEmpty()) {
        QString why;
        limits.key = keyproof::readKey(o.keyFile, &why);
        if (!limits.key) {
            console::error("serve", why);
            return kExitUsage;
        }
    }
    const auto text = o.json ? console::err : console::out;
    ControlServer server(limits, [&](const QJsonObject &event, const QString &line) {
        if (o.json)
            console::json(event);
        text(line);
    });
    QString why;
    if (!server.listen(o.controlPort, &why)) {
        console::error("serve", why);
        return kExitUsage;
    }
    text(QStringLiteral("serving on tcp port %1, tests up to %2 s%3%4").arg(o.controlPort).arg(o.maxSeconds)
             .arg(o.maxMbps ? QStringLiteral(" and %1 Mbit/s").arg(*o.maxMbps) : QString())
             .arg(limits.key ? QStringLiteral(", clients must hold the key") : QString()));
    return server.serve(o.once, stopRequested);
}
