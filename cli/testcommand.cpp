#include "commands.h"

#include "console.h"
#include "keyproof.h"
#include "sweeprun.h"
#include "testclient.h"
#include "testoptions.h"
#include "testreport.h"

#include <QJsonArray>

namespace {

void fail(const Options &o, const QString &reason, int exitCode)
{
    if (o.json)
        console::json({{QStringLiteral("event"), QStringLiteral("error")}, {QStringLiteral("reason"), reason},
                       {QStringLiteral("exit_code"), exitCode}});
    console::error("test", reason);
}

} // namespace

int runTest(const Options &o)
{
    std::optional<QByteArray> key;
    if (!o.keyFile.isEmpty()) {
        QString why;
        key = keyproof::readKey(o.keyFile, &why);
        if (!key) {
            fail(o, why, kExitUsage);
            return kExitUsage;
        }
    }
    // What a server would refuse is refused here first, in the same words.
    const ParsedSettings checked = settingsFromJson(settingsToJson(settingsOfOptions(o)));
    if (!checked.settings) {
        fail(o, checked.error, kExitUsage);
        return kExitUsage;
    }
    const TestSettings &settings = *checked.settings;
    if (o.sweep)
        return runSweep(o, settings, key);

    Agreement agreement = agreeTest(o.hosts, settings, key);
    if (!agreement.error.isEmpty()) {
        fail(o, agreement.error, agreement.exitCode);
        return agreement.exitCode;
    }
    const auto text = o.json ? console::err : console::out;
    if (o.json)
        console::json({{QStringLiteral("event"), QStringLiteral("start")},
                       {QStringLiteral("test"), settingsToJson(settings)},
                       {QStringLiteral("client"), agreement.peers.front()->localAddress()},
                       {QStringLiteral("servers"), QJsonArray::fromStringList(agreement.names)}});
    text(QStringLiteral("testing %1x%2x%3 %4 over %5 port %6 at %7 fps for %8 s: %9 sends, %10 receives")
             .arg(settings.size.width).arg(settings.size.height).arg(settings.size.depth)
             .arg(settings.jpegLevel ? QStringLiteral("jpeg level %1").arg(*settings.jpegLevel) : QStringLiteral("raw"))
             .arg(settings.protocol).arg(settings.port).arg(settings.fps).arg(settings.seconds)
             .arg(settings.reverse ? agreement.names.front() : QStringLiteral("this host"),
                  settings.reverse ? QStringLiteral("this host") : agreement.names.join(QStringLiteral(", "))));
    text(testreport::header());
    const TestOutcome outcome = runAgreedTest(agreement, settings, o.group, [&](const QJsonObject &sender, const QJsonObject &receiver, const QString &name) {
        if (o.json)
            console::json(testreport::intervalEvent(sender, receiver, name));
        text(testreport::intervalLine(sender, receiver, name));
    });
    const QJsonObject end = testreport::endEvent(settings, outcome);
    o.json ? console::json(end) : console::out(testreport::summary(settings, outcome));
    return end.value(QLatin1String("exit_code")).toInt(kExitFailed);
}
