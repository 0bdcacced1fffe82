#pragma once

#include "controlpeer.h"
#include "testsettings.h"

#include <QJsonObject>
#include <QString>

#include <functional>
#include <vector>

// One end of an agreed test: sends or receives the stream while it keeps the control
// connections to the other ends alive, tells them its figures every interval and its summary
// at the end, and hears theirs. A peer silent for three seconds, or one that reports an error,
// ends the test at once.
class TestRun
{
public:
    // `address`: where a sender sends; the group (with its interface) a receiver joins, or "".
    TestRun(const TestSettings &settings, bool sending, const QString &address, std::vector<ControlPeer *> peers);
    ~TestRun();
    TestRun(const TestRun &) = delete;
    TestRun &operator=(const TestRun &) = delete;

    // Makes the encoder or decoder; false with *why set when the library refuses it.
    bool open(QString *why);

    struct Hooks {
        std::function<void()> tick;                                // other work of the process
        std::function<void(const QJsonObject &)> ownInterval;     // this end's figures
        std::function<void(size_t, const QJsonObject &)> peerInterval; // a peer's, by its index
    };
    // Runs to the end and tells the peers this end's result: the summary of send or recv
    // (recv's judged by the agreed thresholds) with "cpu_*" fields and "side".
    QJsonObject run(const Hooks &hooks);

    // The result a peer sent, once it came; waits up to `timeoutMs` for those still missing,
    // hearing the intervals that come before them.
    void awaitPeerResults(int timeoutMs, const Hooks &hooks = {});
    const std::vector<QJsonObject> &peerResults() const { return mPeerResults; }
    // Why the test ended early ("" when it ran its course), naming the peer.
    QString aborted() const { return mAborted; }

private:
    void hearPeers(const Hooks &hooks);
    bool hear(size_t index, const control::Message &message, const Hooks &hooks);

    TestSettings mSettings;
    bool mSending;
    QString mAddress;
    std::vector<ControlPeer *> mPeers;
    std::vector<bool> mPeerDone;
    std::vector<QJsonObject> mPeerResults;
    uint32_t mHandle = 0;
    QString mAborted;
};
