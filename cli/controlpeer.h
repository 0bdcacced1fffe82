#pragma once

#include "controlprotocol.h"

#include <QByteArray>
#include <QString>

#include <chrono>
#include <memory>
#include <optional>

// One end of a control connection over a TCP socket: lines in and out, never more than a line
// limit held, never waiting long on a peer. Keeps the time the peer was last heard from, so a
// test can end when it falls silent.
class ControlPeer
{
public:
    using Clock = std::chrono::steady_clock;
    static constexpr auto kHeartbeatEvery = std::chrono::seconds(1);
    static constexpr auto kSilenceEnds = std::chrono::seconds(3);

    // Takes the socket, which it makes non-blocking and closes.
    ControlPeer(int socket, QString peerAddress);
    ~ControlPeer();
    ControlPeer(const ControlPeer &) = delete;
    ControlPeer &operator=(const ControlPeer &) = delete;

    // A connection to HOST:PORT (IPv4) within `timeoutMs`; empty with *why set when none.
    static std::unique_ptr<ControlPeer> connectTo(const QString &host, uint16_t port, int timeoutMs, QString *why);

    int socket() const { return mSocket; }
    QString peerAddress() const { return mPeerAddress; }
    // The address of this end of the connection.
    QString localAddress() const;

    // The next message, reading what has arrived; waits up to `timeoutMs` for one.
    std::optional<control::Message> take(int timeoutMs = 0);
    // False when the connection is gone or `message` could not be written within a second.
    bool send(const QJsonObject &message);
    // A heartbeat when a second has gone by since the last message sent.
    void keepAlive();

    // Whether the peer closed, broke the protocol or the socket failed; problem() says which.
    bool broken() const { return !mProblem.isEmpty(); }
    QString problem() const { return mProblem; }
    // Broken by what the peer sent, not by the peer leaving or the socket failing.
    bool brokeProtocol() const { return mBrokeProtocol; }
    // Silent for kSilenceEnds: the test it belongs to ends.
    bool silent() const { return Clock::now() - mLastHeard >= kSilenceEnds; }

private:
    void readAvailable();
    std::optional<control::Message> nextLine();

    int mSocket;
    QString mPeerAddress;
    QByteArray mBuffer;
    QString mProblem;
    bool mBrokeProtocol = false;
    Clock::time_point mLastHeard = Clock::now();
    Clock::time_point mLastSent = Clock::now();
};
