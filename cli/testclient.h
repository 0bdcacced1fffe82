#pragma once

#include "controlpeer.h"
#include "testreport.h"
#include "testsettings.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

// The servers a test was agreed with, or why it was not.
struct Agreement {
    std::vector<std::unique_ptr<ControlPeer>> peers;
    QStringList names; // as the user gave them
    QString error;     // "" when every server accepted
    int exitCode = 0;  // 1: busy or unreachable, 2: refused
    bool pastRateLimit = false; // refused as faster than the server's --max-mbps
};

// Connects to each HOST[:PORT] and agrees the test with it: hello, the key's proof when the
// server asks for one, the request.
Agreement agreeTest(const QStringList &hosts, const TestSettings &settings, const std::optional<QByteArray> &key);

// Runs this end of an agreed test: sends, or receives under --reverse (from the group at
// `groupAt`, "G@IF", when given). `onInterval` (when set) sees each pair of the sender's and a
// receiver's figures; one is empty where the other end's last interval has no partner.
using IntervalSink = std::function<void(const QJsonObject &sender, const QJsonObject &receiver, const QString &name)>;
TestOutcome runAgreedTest(Agreement &agreement, const TestSettings &settings, const QString &groupAt,
                          const IntervalSink &onInterval);
