#include "controlpeer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr int kWriteWaitMs = 1000;

int remainingMs(ControlPeer::Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - ControlPeer::Clock::now());
    return int(std::max<long long>(0, left.count()));
}

QString addressText(const sockaddr_in &address)
{
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return QString::fromLatin1(text);
}

} // namespace

ControlPeer::ControlPeer(int socket, QString peerAddress) : mSocket(socket), mPeerAddress(std::move(peerAddress))
{
    fcntl(mSocket, F_SETFL, fcntl(mSocket, F_GETFL) | O_NONBLOCK);
    const int on = 1;
    setsockopt(mSocket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

ControlPeer::~ControlPeer()
{
    ::close(mSocket);
}

std::unique_ptr<ControlPeer> ControlPeer::connectTo(const QString &host, uint16_t port, int timeoutMs, QString *why)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    const QByteArray name = host.toLocal8Bit();
    if (const int error = getaddrinfo(name.constData(), nullptr, &hints, &found); error != 0 || !found) {
        *why = QStringLiteral("cannot resolve '%1': %2").arg(host, QString::fromLocal8Bit(gai_strerror(error)));
        return nullptr;
    }
    sockaddr_in address = *reinterpret_cast<const sockaddr_in *>(found->ai_addr);
    freeaddrinfo(found);
    address.sin_port = htons(port);
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (s < 0) {
        *why = QStringLiteral("no socket: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return nullptr;
    }
    int error = ::connect(s, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0 ? 0 : errno;
    if (error == EINPROGRESS) {
        pollfd p{s, POLLOUT, 0};
        if (poll(&p, 1, timeoutMs) == 1) {
            socklen_t length = sizeof error;
            getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length);
        } else {
            error = ETIMEDOUT;
        }
    }
    if (error != 0) {
        ::close(s);
        *why = QStringLiteral("cannot connect to %1 port %2: %3")
                   .arg(addressText(address)).arg(port).arg(QString::fromLocal8Bit(std::strerror(error)));
        return nullptr;
    }
    return std::make_unique<ControlPeer>(s, addressText(address));
}

QString ControlPeer::localAddress() const
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(mSocket, reinterpret_cast<sockaddr *>(&address), &length);
    return addressText(address);
}

void ControlPeer::readAvailable()
{
    char chunk[16384];
    while (!broken()) {
        // Never more than a line's limit (and its newline) waits in the buffer.
        const qsizetype room = control::kLineLimit + 1 - mBuffer.size();
        if (room <= 0)
            return;
        const ssize_t n = ::recv(mSocket, chunk, size_t(std::min<qsizetype>(room, sizeof chunk)), 0);
        if (n > 0) {
            mBuffer.append(chunk, n);
            mLastHeard = Clock::now();
        } else if (n == 0) {
            mProblem = QStringLiteral("the peer closed the control connection");
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return;
        } else if (errno != EINTR) {
            mProblem = QStringLiteral("the control connection failed: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        }
    }
}

std::optional<control::Message> ControlPeer::nextLine()
{
    const qsizetype end = mBuffer.indexOf('\n');
    if (end < 0) {
        if (mBuffer.size() > control::kLineLimit) {
            mProblem = QStringLiteral("a line past %1 KiB").arg(control::kLineLimit / 1024);
            mBrokeProtocol = true;
        }
        return std::nullopt;
    }
    const QByteArray line = mBuffer.left(end + 1);
    mBuffer.remove(0, end + 1);
    control::ParsedLine parsed = control::parseControlLine(line);
    if (!parsed.message) {
        mProblem = parsed.error;
        mBrokeProtocol = true;
        return std::nullopt;
    }
    return parsed.message;
}

std::optional<control::Message> ControlPeer::take(int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        // Lines already read go first: a peer that said its piece and left was still heard.
        if (std::optional<control::Message> message = nextLine())
            return message;
        if (broken())
            return std::nullopt;
        readAvailable();
        if (std::optional<control::Message> message = nextLine())
            return message;
        if (broken())
            return std::nullopt;
        const int wait = remainingMs(deadline);
        if (wait == 0)
            return std::nullopt;
        pollfd p{mSocket, POLLIN, 0};
        poll(&p, 1, wait);
    }
}

bool ControlPeer::send(const QJsonObject &message)
{
    const QByteArray line = control::lineOf(message);
    const auto deadline = Clock::now() + std::chrono::milliseconds(kWriteWaitMs);
    qsizetype written = 0;
    while (written < line.size()) {
        const ssize_t n = ::send(mSocket, line.constData() + written, size_t(line.size() - written), MSG_NOSIGNAL);
        if (n > 0) {
            written += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && remainingMs(deadline) > 0) {
            pollfd p{mSocket, POLLOUT, 0};
            poll(&p, 1, remainingMs(deadline));
            continue;
        }
        if (mProblem.isEmpty())
            mProblem = n < 0 && errno != EAGAIN ? QStringLiteral("the control connection failed: %1").arg(QString::fromLocal8Bit(std::strerror(errno)))
                                                : QStringLiteral("the peer reads nothing of the control connection");
        return false;
    }
    mLastSent = Clock::now();
    return true;
}

void ControlPeer::keepAlive()
{
    if (Clock::now() - mLastSent >= kHeartbeatEvery)
        send(control::message(QStringLiteral("heartbeat")));
}
