#include "transport/tcp/tcpsender.h"

#include "transport/destinationstatus.h"

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
namespace {

// The most asked of the kernel, which doubles it to the 4 MiB it grows a send buffer to on its
// own. More queued costs a large frame a third of its rate over loopback: the receiver copies
// out bytes that have left the cache by then.
constexpr size_t kMaxSendBuffer = size_t(2) << 20;

bool wouldBlock()
{
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

// Writes header and payload from done onwards without blocking; bytes written, or -1 when
// the connection broke.
ssize_t writeFrom(int fd, const uint8_t *header, const uint8_t *payload, size_t payloadSize, size_t done)
{
    size_t written = 0;
    const size_t total = WireHeader::kSize + payloadSize;
    while (done + written < total) {
        const size_t at = done + written;
        iovec parts[2];
        size_t count = 0;
        if (at < WireHeader::kSize)
            parts[count++] = {const_cast<uint8_t *>(header) + at, WireHeader::kSize - at};
        const size_t payloadAt = at > WireHeader::kSize ? at - WireHeader::kSize : 0;
        parts[count++] = {const_cast<uint8_t *>(payload) + payloadAt, payloadSize - payloadAt};
        msghdr message{};
        message.msg_iov = parts;
        message.msg_iovlen = count;
        const ssize_t n = ::sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0)
            return wouldBlock() ? ssize_t(written) : -1;
        written += size_t(n);
    }
    return ssize_t(written);
}

} // namespace

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
    const bool ok = setDestinationReporting(mResolver, mStatus, "tcp", address, port, ZUN_STATE_CONNECTING);
    wake();
    return ok;
}

uint8_t *TcpSender::reserve(size_t size)
{
    if (!mConnected.load() || size == 0 || size > UINT32_MAX) {
        ++mDropped;
        mStaging.pending = false;
        return nullptr;
    }
    mStaging.payload.resize(size);
    mStaging.pending = true;
    return mStaging.payload.data();
}

void TcpSender::commit(const FrameMeta &meta)
{
    if (!mStaging.pending)
        return;
    WireHeader header;
    header.meta = meta;
    header.totalLength = uint32_t(mStaging.payload.size());
    header.pieceOffset = 0;
    header.pieceLength = header.totalLength;
    header.write(mStaging.header);
    mStaging.written = 0;
    {
        std::lock_guard lock(mMutex);
        if (mLink != Link::Up || mQueued.pending)
            ++mDropped; // not connected any more, or the frame waiting gives way
        if (mLink != Link::Up) {
            mStaging.pending = false;
            return;
        }
        std::swap(mQueued, mStaging);
    }
    mStaging.pending = false;
    wake();
}

DestinationCounters TcpSender::counters() const
{
    return {mSent.load(), mDropped.load(), mBytes.load()};
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
            mSeenState = DestinationResolver::State::None;
        }
        if (target.state != mSeenState) {
            mSeenState = target.state;
            reportTarget(mStatus, "tcp", mResolver, target, ZUN_STATE_CONNECTING);
        }
        if (mLink == Link::Down && target.state == DestinationResolver::State::Ready
            && now >= mNextAttemptNs)
            startConnect(target, now);
        if (mLink == Link::Connecting && now - mConnectStartNs > kConnectTimeoutNs) {
            retrying(ETIMEDOUT);
            drop(now);
        }

        pollfd fds[2] = {{mWake.get(), POLLIN, 0}, {mSocket.get(), 0, 0}};
        {
            std::lock_guard lock(mMutex);
            if (mLink == Link::Connecting || (mLink == Link::Up && (mInFlight.pending || mQueued.pending)))
                fds[1].events = POLLOUT;
            else if (mLink == Link::Up)
                fds[1].events = POLLIN; // idle: only the peer closing or resetting shows
        }
        int waitMs = 100;
        if (mLink == Link::Down && target.state == DestinationResolver::State::Ready)
            waitMs = int(std::clamp<int64_t>(int64_t(mNextAttemptNs - now) / 1000000 + 1, 1, 100));
        const int count = ::poll(fds, 2, waitMs);
        if (count < 0 && errno != EINTR)
            break;
        if (fds[0].revents & POLLIN) {
            uint64_t value = 0;
            [[maybe_unused]] const auto n = ::read(mWake.get(), &value, sizeof value);
        }
        now = monotonicNowNs();
        if (mLink == Link::Connecting) {
            if (fds[1].revents != 0)
                finishConnect(now);
            continue;
        }
        if (mLink != Link::Up)
            continue;
        bool broken = (fds[1].revents & (POLLERR | POLLHUP)) != 0;
        if (!broken && (fds[1].revents & POLLIN)) {
            uint8_t scratch[256];
            const ssize_t n = ::recv(mSocket.get(), scratch, sizeof scratch, MSG_DONTWAIT);
            broken = n == 0 || (n < 0 && !wouldBlock());
        }
        if (!broken)
            broken = !writeSome();
        if (broken) {
            mStatus.setState(ZUN_STATE_CONNECTING);
            mStatus.problem(ZUN_LOG_WARNING, ECONNRESET, mTargetText + ": connection lost, retrying");
            drop(now);
        }
    }
    mConnected = false;
}

bool TcpSender::writeSome()
{
    for (;;) {
        Message &m = mInFlight;
        if (!m.pending) {
            std::lock_guard lock(mMutex);
            if (!mQueued.pending)
                return true;
            std::swap(mInFlight, mQueued);
            mQueued.pending = false;
        }
        if (m.written == 0) {
            // Room for one whole frame, up to the limit, lets an idle link take it in one call;
            // more would only queue stale frames in the kernel on a slow link.
            const size_t wanted = std::min(WireHeader::kSize + m.payload.size(), kMaxSendBuffer);
            if (wanted > mSendBuffer) {
                const int size = int(wanted);
                if (setsockopt(mSocket.get(), SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size) != 0)
                    setsockopt(mSocket.get(), SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
                mSendBuffer = wanted;
            }
        }
        const ssize_t n = writeFrom(mSocket.get(), m.header.data(), m.payload.data(), m.payload.size(), m.written);
        if (n < 0)
            return false;
        m.written += size_t(n);
        if (m.written < WireHeader::kSize + m.payload.size())
            return true;
        m.pending = false;
        m.written = 0;
        ++mSent;
        mBytes += m.payload.size();
    }
}

void TcpSender::startConnect(const DestinationResolver::Target &target, uint64_t nowNs)
{
    mNextAttemptNs = nowNs + kRetryNs;
    SocketFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.valid())
        return;
    const int on = 1;
    setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    mTargetText = targetText("tcp", target);
    const int rc = ::connect(fd.get(), reinterpret_cast<const sockaddr *>(&target.address),
                             sizeof target.address);
    if (rc != 0 && errno != EINPROGRESS) {
        retrying(errno);
        return;
    }
    {
        std::lock_guard lock(mMutex);
        mSocket = std::move(fd);
        mLink = Link::Connecting;
        mSendBuffer = 0;
    }
    mConnectStartNs = nowNs;
    if (rc == 0)
        finishConnect(nowNs);
}

void TcpSender::finishConnect(uint64_t nowNs)
{
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(mSocket.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
        retrying(error != 0 ? error : errno);
        drop(nowNs);
        return;
    }
    {
        std::lock_guard lock(mMutex);
        mLink = Link::Up;
        mConnected = true;
    }
    mStatus.restart(ZUN_STATE_SENDING);
    mStatus.note(ZUN_LOG_INFO, mTargetText + ": connected");
}

void TcpSender::retrying(int error)
{
    mStatus.setState(ZUN_STATE_CONNECTING);
    mStatus.problem(ZUN_LOG_WARNING, error, mTargetText + ": " + errorText(error) + ", retrying");
}

void TcpSender::drop(uint64_t nowNs)
{
    // A frame cut off mid-message cannot be resumed on a new connection.
    std::lock_guard lock(mMutex);
    mSocket.reset();
    mLink = Link::Down;
    mConnected = false;
    mDropped += uint64_t(mInFlight.pending) + uint64_t(mQueued.pending);
    mInFlight.pending = false;
    mInFlight.written = 0;
    mQueued.pending = false;
    mNextAttemptNs = std::max(mNextAttemptNs, nowNs);
}

} // namespace zun
