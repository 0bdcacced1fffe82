#pragma once

#include "controlpeer.h"
#include "testsettings.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

// What a server allows and how it tells what it does.
struct ServerLimits {
    double maxSeconds = 300;
    std::optional<double> maxMbps;
    std::optional<QByteArray> key;
    bool allowMulticast = false;
};

// The server of `zunstream serve`: waits on a TCP control port, agrees one test at a time with
// a client and runs its end of it. Any number of clients may be connected while it waits;
// each must make its request within 5 s. One that comes while a test runs is told it is busy.
// A bad, slow or vanished client costs it nothing but that client.
class ControlServer
{
public:
    using Log = std::function<void(const QJsonObject &event, const QString &line)>;

    ControlServer(ServerLimits limits, Log log) : mLimits(std::move(limits)), mLog(std::move(log)) {}
    ~ControlServer();

    // Listens on `port` on every address; false with *why set when it cannot.
    bool listen(uint16_t port, QString *why);
    // Serves until stopped, or until one test ran when `once`; the exit code of the last test
    // (0 its thresholds met, 1 not).
    int serve(bool once, const std::function<bool()> &stopRequested);

    // Why a request is refused ("" when it may run), naming the field or the limit.
    static QString refusal(const TestSettings &settings, const ServerLimits &limits, bool clientOnThisHost);
    // A picture too fast for --max-mbps: the refusal says "limit": "max_mbps", so that a capacity
    // search counts it a failed trial and looks lower.
    static bool pastRateLimit(const TestSettings &settings, const ServerLimits &limits);

private:
    using Clock = ControlPeer::Clock;
    struct Pending {
        std::unique_ptr<ControlPeer> peer;
        Clock::time_point deadline;
        bool greeted = false;
        QByteArray challenge;
    };

    void acceptAll(bool busy);
    // Advances one waiting client; a test it asked for comes back to run.
    std::optional<TestSettings> advance(Pending &pending);
    void refuse(Pending &pending, const QString &type, const QString &reason, const QJsonObject &fields = {});
    int runTest(std::unique_ptr<ControlPeer> peer, const TestSettings &settings);
    void waitForEvents(int timeoutMs);

    ServerLimits mLimits;
    Log mLog;
    int mListener = -1;
    std::vector<Pending> mPending;
    // While a test runs: who and until when, for the busy answer.
    QString mRunningFrom;
    Clock::time_point mRunningUntil;
};
