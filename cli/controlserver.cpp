#include "controlserver.h"

#include "keyproof.h"
#include "testrun.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QJsonArray>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

namespace {

constexpr auto kRequestWithin = std::chrono::seconds(5);
constexpr auto kStartWithin = std::chrono::seconds(5);
// Clients waiting at once; more are turned away so none can pin the server's memory.
constexpr size_t kMostPending = 256;

QJsonObject event(const char *name, const QJsonObject &fields = {})
{
    QJsonObject o = fields;
    o[QStringLiteral("event")] = QLatin1String(name);
    return o;
}

bool onThisHost(const ControlPeer &peer)
{
    return peer.peerAddress() == peer.localAddress() || peer.peerAddress().startsWith(QLatin1String("127."));
}

} // namespace

ControlServer::~ControlServer()
{
    if (mListener >= 0)
        ::close(mListener);
}

bool ControlServer::listen(uint16_t port, QString *why)
{
    mListener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const int on = 1;
    setsockopt(mListener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (mListener < 0 || ::bind(mListener, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(mListener, 128) != 0) {
        *why = QStringLiteral("cannot listen on tcp port %1: %2").arg(port).arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    return true;
}

QString ControlServer::refusal(const TestSettings &s, const ServerLimits &limits, bool clientOnThisHost)
{
    if (s.seconds + s.omit > limits.maxSeconds)
        return QStringLiteral("seconds: %1 s is past this server's --max-seconds %2").arg(s.seconds + s.omit).arg(limits.maxSeconds);
    if (pastRateLimit(s, limits))
        return QStringLiteral("rate: %1 Mbit/s is past this server's --max-mbps %2")
            .arg(pictureMbps(s), 0, 'f', 1).arg(*limits.maxMbps);
    if (s.protocol == QLatin1String("memory") && !clientOnThisHost)
        return QStringLiteral("protocol: memory needs the client on this host");
    if (s.reverse && !s.group.isEmpty() && !limits.allowMulticast)
        return QStringLiteral("group: this server sends to a multicast group only with --allow-multicast");
    return {};
}

bool ControlServer::pastRateLimit(const TestSettings &s, const ServerLimits &limits)
{
    return limits.maxMbps && pictureMbps(s) > *limits.maxMbps;
}

void ControlServer::refuse(Pending &pending, const QString &type, const QString &reason, const QJsonObject &fields)
{
    QJsonObject body = fields;
    body[QStringLiteral("reason")] = reason;
    pending.peer->send(control::message(type, body));
    mLog(event("error", {{QStringLiteral("client"), pending.peer->peerAddress()}, {QStringLiteral("reason"), reason}}),
         QStringLiteral("%1 from %2: %3").arg(type, pending.peer->peerAddress(), reason));
    pending.peer.reset();
}

void ControlServer::acceptAll(bool busy)
{
    for (;;) {
        sockaddr_in address{};
        socklen_t length = sizeof address;
        const int s = ::accept4(mListener, reinterpret_cast<sockaddr *>(&address), &length, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (s < 0)
            return;
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
        Pending pending;
        pending.peer = std::make_unique<ControlPeer>(s, QString::fromLatin1(text));
        pending.deadline = Clock::now() + kRequestWithin;
        if (busy) {
            const auto left = std::chrono::duration<double>(mRunningUntil - Clock::now()).count();
            refuse(pending, QStringLiteral("busy"), QStringLiteral("busy: a test from %1 runs, %2 s left")
                                                       .arg(mRunningFrom).arg(std::max(0.0, std::ceil(left))));
        } else if (mPending.size() >= kMostPending) {
            refuse(pending, QStringLiteral("busy"), QStringLiteral("busy: %1 clients wait already").arg(kMostPending));
        } else {
            mPending.push_back(std::move(pending));
        }
    }
}

std::optional<TestSettings> ControlServer::advance(Pending &p)
{
    while (const std::optional<control::Message> m = p.peer->take()) {
        if (!p.greeted) {
            if (m->type != QLatin1String("hello")) {
                refuse(p, QStringLiteral("refused"), QStringLiteral("refused: the first message must be 'hello', not '%1'").arg(m->type));
                return std::nullopt;
            }
            const int version = m->body.value(QLatin1String("protocol_version")).toInt();
            if (version != control::kProtocolVersion) {
                refuse(p, QStringLiteral("refused"), QStringLiteral("refused: protocol version %1, this server speaks %2")
                                                         .arg(version).arg(control::kProtocolVersion));
                return std::nullopt;
            }
            QJsonObject hello{{QStringLiteral("protocol_version"), control::kProtocolVersion},
                              {QStringLiteral("program"), QStringLiteral("zunstream " ZUNSTREAM_VERSION)}};
            if (mLimits.key) {
                p.challenge = keyproof::challenge();
                hello[QStringLiteral("challenge")] = QString::fromLatin1(p.challenge);
            }
            p.peer->send(control::message(QStringLiteral("hello"), hello));
            p.greeted = true;
            continue;
        }
        if (m->type != QLatin1String("request")) {
            refuse(p, QStringLiteral("refused"), QStringLiteral("refused: expected 'request', not '%1'").arg(m->type));
            return std::nullopt;
        }
        if (mLimits.key && !keyproof::matches(*mLimits.key, p.challenge,
                                              m->body.value(QLatin1String("answer")).toString().toLatin1())) {
            refuse(p, QStringLiteral("refused"), QStringLiteral("refused: wrong key"));
            return std::nullopt;
        }
        const ParsedSettings parsed = settingsFromJson(m->body.value(QLatin1String("test")).toObject());
        if (!parsed.settings) {
            refuse(p, QStringLiteral("refused"), QStringLiteral("refused: ") + parsed.error);
            return std::nullopt;
        }
        if (const QString why = refusal(*parsed.settings, mLimits, onThisHost(*p.peer)); !why.isEmpty()) {
            QJsonObject fields;
            if (pastRateLimit(*parsed.settings, mLimits))
                fields[QStringLiteral("limit")] = QStringLiteral("max_mbps");
            refuse(p, QStringLiteral("refused"), QStringLiteral("refused: ") + why, fields);
            return std::nullopt;
        }
        return parsed.settings;
    }
    if (p.peer->broken()) {
        // A protocol error gets its one line; a peer that just left gets nothing.
        if (p.peer->brokeProtocol())
            refuse(p, QStringLiteral("refused"), QStringLiteral("refused: ") + p.peer->problem());
        else
            p.peer.reset();
    } else if (Clock::now() >= p.deadline) {
        refuse(p, QStringLiteral("refused"), QStringLiteral("refused: no request within %1 s")
                                                 .arg(std::chrono::duration_cast<std::chrono::seconds>(kRequestWithin).count()));
    }
    return std::nullopt;
}

void ControlServer::waitForEvents(int timeoutMs)
{
    std::vector<pollfd> fds{{mListener, POLLIN, 0}};
    for (const Pending &p : mPending)
        fds.push_back({p.peer->socket(), POLLIN, 0});
    poll(fds.data(), nfds_t(fds.size()), timeoutMs);
}

int ControlServer::serve(bool once, const std::function<bool()> &stopRequested)
{
    int exitCode = 0;
    while (!stopRequested()) {
        waitForEvents(200);
        acceptAll(false);
        for (Pending &p : mPending) {
            if (!p.peer)
                continue;
            if (const std::optional<TestSettings> settings = advance(p)) {
                std::unique_ptr<ControlPeer> peer = std::move(p.peer);
                // The others wait for nothing: the server is busy now.
                for (Pending &other : mPending) {
                    if (other.peer)
                        refuse(other, QStringLiteral("busy"),
                               QStringLiteral("busy: a test from %1 starts").arg(peer->peerAddress()));
                }
                mPending.clear();
                exitCode = runTest(std::move(peer), *settings);
                if (once)
                    return exitCode;
                break;
            }
        }
        std::erase_if(mPending, [](const Pending &p) { return !p.peer; });
    }
    return exitCode;
}

int ControlServer::runTest(std::unique_ptr<ControlPeer> peer, const TestSettings &s)
{
    const QString client = peer->peerAddress();
    const bool sending = s.reverse;
    // Traffic goes only to the control connection's peer, or to the group the client named.
    const QString address = sending ? (s.group.isEmpty() ? client : s.group) : s.group;
    TestRun run(s, sending, address, {peer.get()});
    QString why;
    if (!sending && !run.open(&why)) {
        peer->send(control::message(QStringLiteral("refused"), {{QStringLiteral("reason"), QStringLiteral("refused: ") + why}}));
        mLog(event("error", {{QStringLiteral("client"), client}, {QStringLiteral("reason"), why}}), QStringLiteral("refused %1: %2").arg(client, why));
        return 1;
    }
    peer->send(control::message(QStringLiteral("accepted"), {{QStringLiteral("test"), settingsToJson(s)}}));
    const std::optional<control::Message> start = peer->take(int(std::chrono::milliseconds(kStartWithin).count()));
    if (!start || start->type != QLatin1String("start")) {
        mLog(event("error", {{QStringLiteral("client"), client}, {QStringLiteral("reason"), QStringLiteral("no start")}}),
             QStringLiteral("%1 accepted the test but did not start it").arg(client));
        return 1;
    }
    if (sending && !run.open(&why)) {
        peer->send(control::message(QStringLiteral("error"), {{QStringLiteral("reason"), why}}));
        mLog(event("error", {{QStringLiteral("client"), client}, {QStringLiteral("reason"), why}}), QStringLiteral("test from %1: %2").arg(client, why));
        return 1;
    }
    mLog(event("start", {{QStringLiteral("client"), client}, {QStringLiteral("test"), settingsToJson(s)}}),
         QStringLiteral("test from %1: %2 %3x%4x%5 at %6 fps for %7 s, this end %8")
             .arg(client, s.protocol).arg(s.size.width).arg(s.size.height).arg(s.size.depth).arg(s.fps).arg(s.seconds)
             .arg(sending ? QStringLiteral("sends") : QStringLiteral("receives")));
    mRunningFrom = client;
    mRunningUntil = Clock::now() + std::chrono::milliseconds(qint64((s.seconds + s.omit) * 1000));
    TestRun::Hooks hooks;
    hooks.tick = [this] { acceptAll(true); };
    const QJsonObject result = run.run(hooks);
    run.awaitPeerResults(2000);
    const int exitCode = result.value(QLatin1String("exit_code")).toInt(1);
    QJsonObject end = event("end", {{QStringLiteral("client"), client}, {QStringLiteral("result"), result}});
    if (!run.aborted().isEmpty())
        end[QStringLiteral("aborted")] = run.aborted();
    mLog(end, QStringLiteral("test from %1 ended%2: %3").arg(client,
                                                           run.aborted().isEmpty() ? QString() : QStringLiteral(" early (%1)").arg(run.aborted()),
                                                           exitCode == 0 ? QStringLiteral("passed") : QStringLiteral("failed")));
    return exitCode;
}
