#pragma once

#include "limitverdict.h"
#include "testsettings.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <vector>

// What a test ended with: the sender's summary and each receiver's, as the ends sent them.
struct TestOutcome {
    QString senderName;
    QJsonObject sender;
    struct Receiver {
        QString name;
        QJsonObject summary;
    };
    std::vector<Receiver> receivers;
    QString aborted; // why the test ended early, "" when it ran its course
};

// The lines and JSON events of `zunstream test`, from the figures both ends send as JSON (those
// of send and recv, with "cpu_core", "cpu_machine" and "cpu_seconds").
namespace testreport {
// An end's CPU share as its figures carry it, and back.
void putCpu(QJsonObject &figures, const CpuShare &cpu);
CpuShare cpuOf(const QJsonObject &figures);

QString header();
// One interval: the sender's figures and one receiver's, on a line.
QString intervalLine(const QJsonObject &sender, const QJsonObject &receiver, const QString &receiverName);
QJsonObject intervalEvent(const QJsonObject &sender, const QJsonObject &receiver, const QString &receiverName);

LimitVerdict limitOf(const TestSettings &settings, const QJsonObject &sender, const QJsonObject &receiver);
// Why the test failed, one line each; empty when every receiver met the thresholds.
QStringList failures(const TestOutcome &outcome);
QString summary(const TestSettings &settings, const TestOutcome &outcome);
QJsonObject endEvent(const TestSettings &settings, const TestOutcome &outcome);
} // namespace testreport
