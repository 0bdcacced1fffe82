#include "commands.h"
#include "console.h"
#include "options.h"
#include "settingsfile.h"
#include "stopsignal.h"

#include <QCoreApplication>

#include <utility>

namespace {

const QString kOverview = QStringLiteral(
    "Usage: zunstream COMMAND [options]\n"
    "Tests a video link: does it carry this video, and how well? Answers with numbers and an exit code.\n"
    "\n"
    "Commands:\n"
    "  send    streams a test picture (--pattern lines or bars) over udp, tcp or memory\n"
    "  recv    receives it, reports once a second and at the end, checks thresholds\n"
    "  check   sends and receives in one process: what this machine carries at a setting\n"
    "  serve   waits for `test` on a control port and runs the far end of a test\n"
    "  test    tests the link to a server: both ends' figures, a verdict, or the capacity (--sweep)\n"
    "\n"
    "Options:\n"
    "  -h, --help     Shows this help; zunstream COMMAND --help shows a command's options.\n"
    "  --help-all     Shows this help and that of every command.\n"
    "  -v, --version  Shows the version.\n"
    "\n"
    "Exit status: 0 the run met its thresholds, 1 it did not (the summary says why) or send\n"
    "sent no frame (the library's reason on stderr), 2 bad arguments or a setting the library\n"
    "refuses (nothing was started).\n");

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zunstream"));
    QCoreApplication::setOrganizationName(QStringLiteral("tarvel"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ZUNSTREAM_VERSION));

    QStringList arguments = QCoreApplication::arguments();
    arguments.removeFirst();
    if (arguments.isEmpty()) {
        console::err(kOverview);
        return kExitUsage;
    }
    const QString first = arguments.takeFirst();
    if (first == QLatin1String("-h") || first == QLatin1String("--help")) {
        console::out(kOverview);
        return kExitPassed;
    }
    if (first == QLatin1String("--help-all")) {
        QString all = kOverview;
        // A heading per command over its indented text, which help2man makes a section of.
        for (const auto &[command, name] : {std::pair{Command::Send, "send"}, std::pair{Command::Recv, "recv"},
                                            std::pair{Command::Check, "check"},
                                            std::pair{Command::Serve, "serve"}, std::pair{Command::Test, "test"}}) {
            QStringList lines = commandHelp(command).split(QLatin1Char('\n'));
            lines.removeAll(QStringLiteral("Options:"));
            lines[0] = QStringLiteral("Command %1:").arg(QLatin1String(name));
            for (qsizetype i = 1; i < lines.size(); ++i) {
                if (!lines[i].isEmpty() && !lines[i].startsWith(QLatin1Char(' ')))
                    lines[i].prepend(QStringLiteral("  "));
            }
            all += QLatin1Char('\n') + lines.join(QLatin1Char('\n'));
        }
        console::out(all);
        return kExitPassed;
    }
    if (first == QLatin1String("-v") || first == QLatin1String("--version")) {
        console::out(QStringLiteral("zunstream %1").arg(QCoreApplication::applicationVersion()));
        return kExitPassed;
    }
    Command command;
    if (first == QLatin1String("send"))
        command = Command::Send;
    else if (first == QLatin1String("recv"))
        command = Command::Recv;
    else if (first == QLatin1String("check"))
        command = Command::Check;
    else if (first == QLatin1String("serve"))
        command = Command::Serve;
    else if (first == QLatin1String("test"))
        command = Command::Test;
    else {
        console::err(QStringLiteral("zunstream: unknown command '%1' (send, recv, check, serve or test; zunstream --help)").arg(first));
        return kExitUsage;
    }

    const QByteArray name = first.toLatin1();
    const ParsedCommandLine parsed = parseCommandLine(command, arguments, settingsFilePath());
    if (parsed.outcome == ParsedCommandLine::ShowText) {
        console::out(parsed.text);
        return kExitPassed;
    }
    if (parsed.outcome == ParsedCommandLine::Error) {
        console::error(name.constData(), parsed.text);
        return kExitUsage;
    }
    installStopHandlers();
    switch (command) {
    case Command::Send: return runSend(parsed.options);
    case Command::Recv: return runRecv(parsed.options);
    case Command::Check: return runCheck(parsed.options);
    case Command::Serve: return runServe(parsed.options);
    case Command::Test: return runTest(parsed.options);
    }
    return kExitUsage;
}
