#pragma once

#include "linkmeter.h"
#include "linkstatus.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <optional>

// What a sender did in one second, and in total.
struct SendFigures {
    double elapsed = 0;
    uint64_t made = 0, madeTotal = 0; // frames handed to zunEncode
    uint64_t sent = 0, sentTotal = 0, dropped = 0, droppedTotal = 0;
    double fps = 0, wireMbps = 0;
    LinkStatus status;
};

// A check run: the receive side's figures with the send side's, and the rate asked about.
struct CheckResult {
    QString setting; // "640x480x24 raw over memory port 10588"
    SendFigures send;
    RunSummary receive;
    std::optional<double> wantedFps;
    bool passed = true;
};

// Human-readable lines, as printed without --json.
namespace textreport {
// The names over the columns of recvSecond; with verify, those of the damaged frames and PSNR.
QString recvHeader(bool verify);
QString recvSecond(const SecondFigures &second, const QString &status, bool verify);
// The size, depth and coding of the frames, told when they change.
QString recvFormat(const SecondFigures &second);
QString recvSummary(const RunSummary &run, const QStringList &failures);
QString sendHeader();
QString sendSecond(const SendFigures &second);
QString sendSummary(const SendFigures &total);
QString check(const CheckResult &result);
} // namespace textreport

// The JSON objects of --json; their field names are documented in the README and stay.
namespace jsonreport {
QJsonObject recvSecond(const SecondFigures &second, const LinkStatus &status);
QJsonObject recvSummary(const RunSummary &run, const QStringList &failures);
QJsonObject sendSecond(const SendFigures &second);
QJsonObject sendSummary(const SendFigures &total);
QJsonObject check(const CheckResult &result);
// One compact line.
QByteArray line(const QJsonObject &object);
} // namespace jsonreport

QString formatName(const StreamFormat &format, bool compressed);
