// The tool's own main(), run as a process: it exits with 0 once its window is closed.

#include "windowtestkit.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

class TestExitCode : public QObject
{
    Q_OBJECT

private slots:
    void closingTheWindowEndsTheProcessWithZero();
};

void TestExitCode::closingTheWindowEndsTheProcessWithZero()
{
    QTemporaryDir configHome;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), configHome.path());
    QProcess tool;
    tool.setProcessEnvironment(environment);
    tool.start(QStringLiteral(CLOSING_TOOL), {QStringLiteral("-platform"), QStringLiteral("offscreen")});
    QVERIFY(tool.waitForStarted(10000));
    if (!tool.waitForFinished(60000)) {
        tool.kill();
        tool.waitForFinished();
        QFAIL("the tool did not end after its window was closed");
    }
    QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
    QCOMPARE(tool.exitCode(), 0);
    // The tool prints nothing of its own.
    QCOMPARE(tool.readAllStandardOutput(), QByteArray());
    // Opening and closing wrote no settings.
    QVERIFY(!QFile::exists(configHome.path() + QStringLiteral("/tarvel")));
}

WINDOW_TEST_MAIN(TestExitCode)
#include "tst_exitcode.moc"
