#pragma once

// A zunstream child process as the tests run one: its stdout read as JSON lines, its stderr
// watched for a line, stopped by a signal when asked.

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <gtest/gtest.h>

#include <csignal>

struct Finished {
    int exitCode = -1;
    QList<QJsonObject> objects; // every stdout line, each of which must be a JSON object
    bool stdoutAllJson = true;
    QString out, err;
    QJsonObject last() const { return objects.isEmpty() ? QJsonObject() : objects.last(); }
};

class Zunstream {
public:
    // `wrapper`: a command that runs zunstream, such as nsenter into another namespace.
    explicit Zunstream(const QStringList &arguments, const QStringList &wrapper = {})
    {
        if (wrapper.isEmpty())
            mProcess.start(QStringLiteral(ZUNSTREAM), arguments);
        else
            mProcess.start(wrapper.first(), wrapper.mid(1) + QStringList{QStringLiteral(ZUNSTREAM)} + arguments);
        EXPECT_TRUE(mProcess.waitForStarted(5000));
    }
    ~Zunstream()
    {
        if (mProcess.state() != QProcess::NotRunning) {
            mProcess.kill();
            mProcess.waitForFinished(5000);
        }
    }
    // Until stderr shows `text` (a receiver says it listens before frames can come).
    bool waitForStderr(const QString &text, int ms = 5000)
    {
        QElapsedTimer timer;
        timer.start();
        while (!mErr.contains(text) && timer.elapsed() < ms) {
            mProcess.waitForReadyRead(50);
            mErr += QString::fromLocal8Bit(mProcess.readAllStandardError());
        }
        return mErr.contains(text);
    }
    // Reads what the process wrote so far, so that a talkative one never blocks on a full pipe.
    void drain()
    {
        mProcess.waitForReadyRead(0);
        mOut += mProcess.readAllStandardOutput();
        mErr += QString::fromLocal8Bit(mProcess.readAllStandardError());
    }
    void interrupt() { ::kill(pid_t(mProcess.processId()), SIGINT); }
    void killHard() { ::kill(pid_t(mProcess.processId()), SIGKILL); }
    bool running() const { return mProcess.state() != QProcess::NotRunning; }
    Finished finish(int ms = 20000)
    {
        Finished f;
        EXPECT_TRUE(mProcess.waitForFinished(ms)) << "zunstream did not end";
        f.exitCode = mProcess.exitStatus() == QProcess::NormalExit ? mProcess.exitCode() : -1;
        f.out = QString::fromLocal8Bit(mOut + mProcess.readAllStandardOutput());
        f.err = mErr + QString::fromLocal8Bit(mProcess.readAllStandardError());
        for (const QString &line : f.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
            const QJsonDocument document = QJsonDocument::fromJson(line.toUtf8());
            f.stdoutAllJson = f.stdoutAllJson && document.isObject();
            if (document.isObject())
                f.objects.append(document.object());
        }
        return f;
    }

private:
    QProcess mProcess;
    QByteArray mOut;
    QString mErr;
};

