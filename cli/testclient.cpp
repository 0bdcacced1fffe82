#include "testclient.h"

#include "keyproof.h"
#include "options.h"
#include "testrun.h"

#include <deque>

namespace {

constexpr int kConnectMs = 5000;
constexpr int kAnswerMs = 5000;
// The far end's result follows its last frames and their late ones.
constexpr int kResultWaitMs = 5000;

struct HostPort {
    QString host;
    uint16_t port = kControlPort;
};

std::optional<HostPort> hostPort(const QString &text)
{
    HostPort hp{text};
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon >= 0) {
        bool ok = false;
        const uint port = text.mid(colon + 1).toUInt(&ok);
        if (!ok || port < 1 || port > 65535)
            return std::nullopt;
        hp.host = text.left(colon);
        hp.port = uint16_t(port);
    }
    if (hp.host.isEmpty())
        return std::nullopt;
    return hp;
}

// The server's answer to a step, or the line that ends the agreement.
std::optional<control::Message> answerOf(ControlPeer &peer, const QString &name, Agreement &agreement, const char *wanted)
{
    const std::optional<control::Message> m = peer.take(kAnswerMs);
    if (m && m->type == QLatin1String(wanted))
        return m;
    agreement.exitCode = 1;
    if (!m)
        agreement.error = QStringLiteral("%1: %2").arg(name, peer.broken() ? peer.problem() : QStringLiteral("no answer within 5 s"));
    else if (m->type == QLatin1String("busy"))
        agreement.error = QStringLiteral("%1: %2").arg(name, m->body.value(QLatin1String("reason")).toString());
    else {
        agreement.exitCode = 2;
        agreement.error = QStringLiteral("%1: %2").arg(name, m->body.value(QLatin1String("reason")).toString(m->type));
        agreement.pastRateLimit = m->body.value(QLatin1String("limit")) == QLatin1String("max_mbps");
    }
    return std::nullopt;
}

} // namespace

Agreement agreeTest(const QStringList &hosts, const TestSettings &settings, const std::optional<QByteArray> &key)
{
    Agreement agreement;
    for (const QString &name : hosts) {
        const std::optional<HostPort> hp = hostPort(name);
        if (!hp) {
            agreement.error = QStringLiteral("'%1': give HOST or HOST:PORT").arg(name);
            agreement.exitCode = 2;
            return agreement;
        }
        QString why;
        std::unique_ptr<ControlPeer> peer = ControlPeer::connectTo(hp->host, hp->port, kConnectMs, &why);
        if (!peer) {
            agreement.error = why;
            agreement.exitCode = 1;
            return agreement;
        }
        peer->send(control::message(QStringLiteral("hello"), {{QStringLiteral("protocol_version"), control::kProtocolVersion},
                                                              {QStringLiteral("program"), QStringLiteral("zunstream " ZUNSTREAM_VERSION)}}));
        const std::optional<control::Message> hello = answerOf(*peer, name, agreement, "hello");
        if (!hello)
            return agreement;
        QJsonObject request{{QStringLiteral("test"), settingsToJson(settings)}};
        const QByteArray challenge = hello->body.value(QLatin1String("challenge")).toString().toLatin1();
        if (!challenge.isEmpty() && key)
            request[QStringLiteral("answer")] = QString::fromLatin1(keyproof::answer(*key, challenge));
        peer->send(control::message(QStringLiteral("request"), request));
        if (!answerOf(*peer, name, agreement, "accepted"))
            return agreement;
        agreement.peers.push_back(std::move(peer));
        agreement.names << name;
    }
    return agreement;
}

TestOutcome runAgreedTest(Agreement &agreement, const TestSettings &settings, const QString &groupAt,
                          const IntervalSink &onInterval)
{
    TestOutcome outcome;
    std::vector<ControlPeer *> peers;
    for (const auto &peer : agreement.peers)
        peers.push_back(peer.get());
    const bool sending = !settings.reverse;
    // This end sends to the server it talks to, or to the group.
    const QString address = sending ? (settings.group.isEmpty() ? peers.front()->peerAddress() : groupAt) : groupAt;
    TestRun run(settings, sending, address, peers);
    QString why;
    if (!run.open(&why)) {
        for (ControlPeer *peer : peers)
            peer->send(control::message(QStringLiteral("error"), {{QStringLiteral("reason"), why}}));
        outcome.aborted = why;
        return outcome;
    }
    for (ControlPeer *peer : peers)
        peer->send(control::message(QStringLiteral("start")));

    // Each end's intervals in the order they came, paired as both are in.
    std::vector<std::deque<QJsonObject>> theirs(peers.size());
    std::vector<size_t> ownTold(peers.size(), 0);
    std::deque<QJsonObject> ownAll;
    auto tell = [&](size_t i, const QJsonObject &mine, const QJsonObject &peer) {
        if (onInterval)
            onInterval(sending ? mine : peer, sending ? peer : mine, agreement.names[qsizetype(i)]);
    };
    auto pair = [&](size_t i) {
        while (!theirs[i].empty() && ownTold[i] < ownAll.size()) {
            const QJsonObject peer = theirs[i].front();
            theirs[i].pop_front();
            tell(i, ownAll[ownTold[i]++], peer);
        }
    };
    // At the end one side may have an interval more than the other: it still counts.
    auto flush = [&](size_t i) {
        pair(i);
        while (ownTold[i] < ownAll.size())
            tell(i, ownAll[ownTold[i]++], {});
        for (; !theirs[i].empty(); theirs[i].pop_front())
            tell(i, {}, theirs[i].front());
    };
    TestRun::Hooks hooks;
    hooks.ownInterval = [&](const QJsonObject &figures) {
        ownAll.push_back(figures);
        for (size_t i = 0; i < peers.size(); ++i)
            pair(i);
    };
    hooks.peerInterval = [&](size_t i, const QJsonObject &figures) {
        theirs[i].push_back(figures);
        pair(i);
    };
    const QJsonObject mine = run.run(hooks);
    run.awaitPeerResults(kResultWaitMs, hooks);
    for (size_t i = 0; i < peers.size(); ++i)
        flush(i);
    outcome.aborted = run.aborted();
    if (sending) {
        outcome.senderName = QStringLiteral("here");
        outcome.sender = mine;
        for (size_t i = 0; i < peers.size(); ++i)
            outcome.receivers.push_back({agreement.names[qsizetype(i)], run.peerResults()[i]});
    } else {
        outcome.senderName = agreement.names.front();
        outcome.sender = run.peerResults().front();
        outcome.receivers.push_back({QStringLiteral("here"), mine});
    }
    return outcome;
}
