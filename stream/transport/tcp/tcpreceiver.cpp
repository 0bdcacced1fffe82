#include "transport/tcp/tcpreceiver.h"

#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <thread>

namespace zun {
namespace {

constexpr int kMaxEvents = 16;
constexpr int kReceiveBuffer = 8 << 20; // the kernel doubles it; the window gets part of that
// Waking once per this many bytes of a large frame, not per few segments, saves the system
// calls and thread wakeups that held the stream to two thirds of a plain one; small enough
// that reading still overlaps the sending of the rest, which keeps latency.
constexpr size_t kMaxLowWater = size_t(1) << 20;

size_t lowWaterCap(int fd)
{
    int size = 0;
    socklen_t length = sizeof size;
    if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, &length) != 0 || size <= 0)
        return 1;
    // What the kernel reports is twice what it lets the window hold; a mark above the window
    // would wait on the sender, which waits on the window.
    return std::clamp<size_t>(size_t(size) / 4, 1, kMaxLowWater);
}

} // namespace

bool TcpReceiver::listen(uint16_t port)
{
    mConnections.clear();
    mListener.reset();
    mEpoll.reset();
    if (port == 0)
        return false;
    SocketFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    SocketFd epoll(::epoll_create1(EPOLL_CLOEXEC));
    if (!fd.valid() || !epoll.valid())
        return false;
    const int on = 1;
    setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    // Set before the handshake, so every connection opens a window that holds a raw 1080p
    // frame; not more, so a slow reader does not let many stale frames pile up in the kernel.
    const int size = kReceiveBuffer;
    if (setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
        setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(fd.get(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0
        || ::listen(fd.get(), 16) != 0)
        return false;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = nullptr; // the listener
    if (epoll_ctl(epoll.get(), EPOLL_CTL_ADD, fd.get(), &event) != 0)
        return false;
    mListener = std::move(fd);
    mEpoll = std::move(epoll);
    return true;
}

bool TcpReceiver::receive(EncodedFrame &frame, std::chrono::milliseconds timeout)
{
    const auto wait = std::max(timeout, std::chrono::milliseconds(0));
    if (!mListener.valid()) {
        // Nothing to wait on: still honour the time, so a polling caller does not spin.
        std::this_thread::sleep_for(wait);
        return false;
    }
    const uint64_t deadline = monotonicNowNs() + uint64_t(wait.count()) * 1000000;
    for (;;) {
        uint64_t now = monotonicNowNs();
        closeStalled(now);
        const int waitMs = now >= deadline ? 0 : int(std::min<uint64_t>((deadline - now + 999999) / 1000000, 500));
        epoll_event events[kMaxEvents];
        const int count = epoll_wait(mEpoll.get(), events, kMaxEvents, waitMs);
        if (count < 0 && errno != EINTR)
            return false;
        now = monotonicNowNs();
        for (int i = 0; i < count; ++i) {
            auto *connection = static_cast<Connection *>(events[i].data.ptr);
            if (!connection) {
                acceptAll(now);
                continue;
            }
            // Events for a connection closed earlier in this batch are stale.
            const auto it = std::find_if(mConnections.begin(), mConnections.end(),
                                         [connection](const auto &c) { return c.get() == connection; });
            if (it == mConnections.end())
                continue;
            switch (readFrom(*connection, now)) {
            case ReadResult::Frame:
                connection->reader.take(frame);
                connection->delivered = true;
                return true;
            case ReadResult::Closed:
                close(size_t(it - mConnections.begin()));
                break;
            case ReadResult::More:
                break;
            }
        }
        if (monotonicNowNs() >= deadline)
            return false;
    }
}

void TcpReceiver::acceptAll(uint64_t nowNs)
{
    for (;;) {
        SocketFd fd(::accept4(mListener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!fd.valid())
            return;
        if (mConnections.size() >= kMaxConnections && !makeRoom())
            continue; // closed at once: the table is full of senders
        auto connection = std::make_unique<Connection>();
        connection->socket = std::move(fd);
        connection->lastProgressNs = nowNs;
        connection->lowWaterCap = int(lowWaterCap(connection->socket.get()));
        epoll_event event{};
        event.events = EPOLLIN | EPOLLRDHUP;
        event.data.ptr = connection.get();
        if (epoll_ctl(mEpoll.get(), EPOLL_CTL_ADD, connection->socket.get(), &event) == 0)
            mConnections.push_back(std::move(connection));
    }
}

bool TcpReceiver::makeRoom()
{
    // Peers that connect and never send a frame must not keep a sender out: the one that
    // has been quiet longest, of those that have not yet sent a whole frame, gives way.
    size_t victim = mConnections.size();
    for (size_t i = 0; i < mConnections.size(); ++i) {
        const Connection &c = *mConnections[i];
        if (!c.delivered && (victim == mConnections.size()
                             || c.lastProgressNs < mConnections[victim]->lastProgressNs))
            victim = i;
    }
    if (victim == mConnections.size())
        return false;
    close(victim);
    return true;
}

TcpReceiver::ReadResult TcpReceiver::readFrom(Connection &c, uint64_t nowNs)
{
    // Reads while the socket fills what is asked, up to one whole message, so a busy sender
    // cannot starve the others: the next message waits for the next call. A short read means
    // the socket is empty for now, and epoll says when the low-water mark is reached.
    for (;;) {
        const std::span<uint8_t> space = c.reader.space();
        const ssize_t n = ::recv(c.socket.get(), space.data(), space.size(), 0);
        if (n < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? ReadResult::More
                                                                             : ReadResult::Closed;
        if (n == 0)
            return ReadResult::Closed;
        c.lastProgressNs = nowNs;
        mBytesRead += uint64_t(n);
        const TcpMessageReader::Status status = c.reader.commit(size_t(n));
        if (status == TcpMessageReader::Status::Bad) {
            ++mRejected;
            return ReadResult::Closed;
        }
        // Never above what the message still lacks, so its last bytes and the next header
        // wake the reader at once.
        setLowWater(c, c.reader.payloadAwaited());
        if (status == TcpMessageReader::Status::Frame)
            return ReadResult::Frame;
        if (size_t(n) < space.size())
            return ReadResult::More;
    }
}

void TcpReceiver::setLowWater(Connection &c, size_t bytes)
{
    const int wanted = int(std::clamp<size_t>(bytes, 1, size_t(c.lowWaterCap)));
    if (wanted != c.lowWater
        && setsockopt(c.socket.get(), SOL_SOCKET, SO_RCVLOWAT, &wanted, sizeof wanted) == 0)
        c.lowWater = wanted;
}

void TcpReceiver::close(size_t index)
{
    if (mConnections[index]->reader.midMessage())
        ++mIncomplete;
    epoll_ctl(mEpoll.get(), EPOLL_CTL_DEL, mConnections[index]->socket.get(), nullptr);
    mConnections.erase(mConnections.begin() + ptrdiff_t(index));
}

void TcpReceiver::closeStalled(uint64_t nowNs)
{
    for (size_t i = mConnections.size(); i-- > 0;) {
        Connection &c = *mConnections[i];
        if (!c.reader.midMessage())
            continue;
        const uint64_t quietNs = nowNs - c.lastProgressNs;
        if (quietNs > kStallNs)
            close(i);
        else if (quietNs > kStallNs / 4)
            setLowWater(c, 1); // bytes that trickle in below the mark are progress too
    }
}

ReceiveCounters TcpReceiver::counters() const
{
    ReceiveCounters counters;
    counters.packetsRejected = mRejected;
    counters.framesIncomplete = mIncomplete;
    counters.bytesReceived = mBytesRead;
    return counters;
}

} // namespace zun
