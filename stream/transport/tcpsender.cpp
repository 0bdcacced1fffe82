#include "tcpsender.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace zun {

TcpSender::TcpSender() : mWake(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
{
    mThread = std::jthread([this](std::stop_token stop) { run(stop); });
}

TcpSender::~TcpSender()
{
    mThread.request_stop();
    wake();
}

bool TcpSender::setDestination(const std::string &address, uint16_t port)
{
    const bool ok = mResolver.set(address, port);
    wake();
    return ok;
}

bool TcpSender::send(const FrameMeta &meta, std::span<const uint8_t> payload)
{
    if (!mConnected.load() || payload.empty() || payload.size() > UINT32_MAX)
        return false;
    WireHeader header;
    header.meta = meta;
    header.totalLength = uint32_t(payload.size());
    header.pieceOffset = 0;
    header.pieceLength = header.totalLength;
    {
        std::lock_guard lock(mMutex);
        if (mQueued.pending)
            ++mReplaced;
        header.write(mQueued.header);
        mQueued.payload.assign(payload.begin(), payload.end());
        mQueued.written = 0;
        mQueued.pending = true;
    }
    wake();
    return true;
}

void TcpSender::wake()
{
    const uint64_t one = 1;
    [[maybe_unused]] const auto n = ::write(mWake.get(), &one, sizeof one);
}

void TcpSender::run(std::stop_token stop)
{
    while (!stop.stop_requested()) {
        uint64_t now = monotonicNowNs();
        const auto target = mResolver.current();
        if (target.generation != mGeneration) {
            mGeneration = target.generation;
            drop(0);
            mNextAttemptNs = 0;
        }
        if (mLink == Link::Down && target.state == DestinationResolver::State::Ready
            && now >= mNextAttemptNs)
            startConnect(target, now);
        if (mLink == Link::Connecting && now - mConnectStartNs > kConnectTimeoutNs)
            drop(now);
        if (mLink == Link::Up && !mInFlight.pending) {
            std::lock_guard lock(mMutex);
            if (mQueued.pending) {
                std::swap(mInFlight, mQueued);
                mQueued.pending = false;
            }
        }

        pollfd fds[2] = {{mWake.get(), POLLIN, 0}, {mSocket.get(), 0, 0}};
        if (mLink == Link::Connecting || (mLink == Link::Up && mInFlight.pending))
            fds[1].events = POLLOUT;
        else if (mLink == Link::Up)
            fds[1].events = POLLIN; // idle: only the peer closing or resetting shows
        int waitMs = 100;
        if (mLink == Link::Down && target.state == DestinationResolver::State::Ready)
            waitMs = int(std::clamp<int64_t>(int64_t(mNextAttemptNs - now) / 1000000 + 1, 1, 100));
        const int count = ::poll(fds, mSocket.valid() ? 2 : 1, waitMs);
        if (count < 0 && errno != EINTR)
            break;
        if (fds[0].revents & POLLIN) {
            uint64_t value = 0;
            [[maybe_unused]] const auto n = ::read(mWake.get(), &value, sizeof value);
        }
        now = monotonicNowNs();
        if (!mSocket.valid() || fds[1].revents == 0)
            continue;
        if (mLink == Link::Connecting) {
            finishConnect(now);
        } else if (fds[1].revents & POLLOUT) {
            writeSome(now);
        } else {
            uint8_t scratch[256];
            const ssize_t n = ::recv(mSocket.get(), scratch, sizeof scratch, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
                drop(now);
        }
    }
    mConnected = false;
}

void TcpSender::startConnect(const DestinationResolver::Target &target, uint64_t nowNs)
{
    mNextAttemptNs = nowNs + kRetryNs;
    SocketFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.valid())
        return;
    const int on = 1;
    setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    const int rc = ::connect(fd.get(), reinterpret_cast<const sockaddr *>(&target.address),
                             sizeof target.address);
    if (rc != 0 && errno != EINPROGRESS)
        return;
    mSocket = std::move(fd);
    mConnectStartNs = nowNs;
    mLink = Link::Connecting;
    if (rc == 0)
        finishConnect(nowNs);
}

void TcpSender::finishConnect(uint64_t nowNs)
{
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(mSocket.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
        drop(nowNs);
        return;
    }
    mLink = Link::Up;
    mConnected = true;
}

void TcpSender::writeSome(uint64_t nowNs)
{
    Message &m = mInFlight;
    const size_t total = m.header.size() + m.payload.size();
    while (m.written < total) {
        iovec parts[2];
        int count = 0;
        if (m.written < m.header.size())
            parts[count++] = {m.header.data() + m.written, m.header.size() - m.written};
        const size_t payloadDone = m.written > m.header.size() ? m.written - m.header.size() : 0;
        parts[count++] = {m.payload.data() + payloadDone, m.payload.size() - payloadDone};
        msghdr message{};
        message.msg_iov = parts;
        message.msg_iovlen = size_t(count);
        const ssize_t n = ::sendmsg(mSocket.get(), &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                return;
            drop(nowNs);
            return;
        }
        m.written += size_t(n);
    }
    m.pending = false;
    m.written = 0;
}

void TcpSender::drop(uint64_t nowNs)
{
    // A frame cut off mid-message cannot be resumed on a new connection.
    mSocket.reset();
    mLink = Link::Down;
    mConnected = false;
    mInFlight.pending = false;
    mInFlight.written = 0;
    {
        std::lock_guard lock(mMutex);
        mQueued.pending = false;
    }
    mNextAttemptNs = std::max(mNextAttemptNs, nowNs);
}

} // namespace zun
