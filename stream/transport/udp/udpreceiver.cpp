#include "transport/udp/udpreceiver.h"

#include "status.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <set>
#include <thread>

namespace zun {
namespace {

// Room for a third of a second of the largest frames at one a second, so a receiver that
// stalls for a moment (a fresh frame buffer is being cleared) loses nothing.
constexpr int kReceiveBuffer = 128 << 20;
// Set by the benchmark and tests: what receivers get from then on, as where
// net.core.rmem_max is this and the process may not exceed it; 0: off.
std::atomic<int> gReceiveBufferCeiling{0};
constexpr int kDatagramsPerTimeCheck = 64;
// How far a receiver that has a frame ready reads on looking for a newer one.
constexpr int kMaxCatchUpDatagrams = 512;
constexpr size_t kMaxTrackedStreams = 16;
// How long the quickest trip of a stream is trusted, so clock drift cannot build up.
constexpr uint64_t kQuickestMemoryNs = 10'000'000'000;

// What the kernel granted, in the terms it is asked in: it reports double, for its own
// bookkeeping.
int receiveBufferOf(int fd)
{
    int granted = 0;
    socklen_t length = sizeof granted;
    getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &length);
    return granted / 2;
}

void enlargeReceiveBuffer(int fd, int size)
{
    if (const int ceiling = gReceiveBufferCeiling.load(); ceiling > 0)
        size = std::min(size, ceiling);
    // Force goes past net.core.rmem_max where the process may (CAP_NET_ADMIN); otherwise
    // take what is allowed.
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

static_assert(SocketSpread::kMaxSockets <= 32, "one bit a socket in mMayHoldData");

// What a burst may need while the receiving thread waits for a core: every stream measured
// came through whole with a buffer this size.
constexpr int kSpreadTarget = 4 << 20;

size_t socketsToSpreadOver(int granted)
{
    if (granted <= 0 || granted >= kSpreadTarget)
        return 1;
    return std::min(SocketSpread::kMaxSockets, size_t((kSpreadTarget + granted - 1) / granted));
}

SocketFd openSocket()
{
    SocketFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.valid())
        return fd;
    const int on = 1;
    // Several receivers on one host share a multicast port.
    setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
#ifdef IP_MULTICAST_ALL
    // Only the groups a socket joined: a spread port's other sockets get no multicast.
    const int off = 0;
    setsockopt(fd.get(), IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off);
#endif
    enlargeReceiveBuffer(fd.get(), kReceiveBuffer);
    DatagramReader::enableOffload(fd.get());
    DatagramReader::enableDropCount(fd.get());
    return fd;
}

bool shareThePort(int fd)
{
    const int on = 1;
    return setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) == 0;
}

bool bindTo(int fd, uint16_t port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    return ::bind(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0;
}

std::string sizeText(int bytes)
{
    if (bytes >= (1 << 20) && bytes % (1 << 20) == 0)
        return std::to_string(bytes >> 20) + " MiB";
    return std::to_string(bytes / 1024) + " KiB";
}

} // namespace

UdpReceiver::UdpReceiver() : UdpReceiver(FrameReassembler::Limits{}) {}

UdpReceiver::UdpReceiver(const FrameReassembler::Limits &limits, int64_t behindNs)
    : mReassembler(limits), mBehindNs(behindNs)
{
    inet_pton(AF_INET, kGroup, &mGroup);
}

void UdpReceiver::setGroup(in_addr group, std::optional<in_addr> interface)
{
    mGroup = group;
    mInterface = interface;
}

bool UdpReceiver::listen(uint16_t port)
{
    mSockets.clear();
    mDropsBySocket.clear();
    mLastRead = 0;
    mMayHoldData = ~0u;
    if (port == 0)
        return false;
    SocketFd fd = openSocket();
    if (!fd.valid())
        return false;
    mReceiveBufferBytes = receiveBufferOf(fd.get());
    size_t count = socketsToSpreadOver(mReceiveBufferBytes);
    if (count > 1 && !shareThePort(fd.get()))
        count = 1;
    if (!bindTo(fd.get(), port))
        return false;
    mSockets.push_back(std::move(fd));
    if (!joinGroup()) {
        const int error = errno;
        mSockets.clear();
        errno = error;
        return false;
    }
    spreadOver(count, port);
    mDropsBySocket.assign(mSockets.size(), 0);
    return true;
}

void UdpReceiver::spreadOver(size_t count, uint16_t port)
{
    while (mSockets.size() < count) {
        SocketFd fd = openSocket();
        if (!fd.valid() || !shareThePort(fd.get()) || !bindTo(fd.get(), port))
            break;
        mSockets.push_back(std::move(fd));
    }
    // Without the program the kernel would keep a stream on one socket: no use in the rest.
    if (mSockets.size() > 1 && !SocketSpread::attach(mSockets.front().get(), mSockets.size()))
        mSockets.resize(1);
}

bool UdpReceiver::isLocalAddress(in_addr address)
{
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return false;
    bool found = false;
    for (const ifaddrs *ifa = list; ifa && !found; ifa = ifa->ifa_next) {
        found = ifa->ifa_addr && ifa->ifa_addr->sa_family == AF_INET
            && reinterpret_cast<const sockaddr_in *>(ifa->ifa_addr)->sin_addr.s_addr == address.s_addr;
    }
    freeifaddrs(list);
    return found;
}

bool UdpReceiver::joinGroup()
{
    if (mInterface) {
        ip_mreqn request{};
        request.imr_multiaddr = mGroup;
        request.imr_address = *mInterface;
        return setsockopt(mSockets.front().get(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request) == 0;
    }
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return true;
    std::set<unsigned> joined;
    for (const ifaddrs *ifa = list; ifa; ifa = ifa->ifa_next) {
        if (!ifa->ifa_addr || ifa->ifa_addr->sa_family != AF_INET || !(ifa->ifa_flags & IFF_UP))
            continue;
        // Loopback rarely says it carries multicast, yet same-host streams need it.
        if (!(ifa->ifa_flags & (IFF_MULTICAST | IFF_LOOPBACK)))
            continue;
        const unsigned index = if_nametoindex(ifa->ifa_name);
        if (index == 0 || !joined.insert(index).second)
            continue;
        ip_mreqn request{};
        request.imr_multiaddr = mGroup;
        request.imr_ifindex = int(index);
        // A failed join (no address yet, table full) leaves unicast and other interfaces working.
        setsockopt(mSockets.front().get(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request);
    }
    freeifaddrs(list);
    return true;
}

bool UdpReceiver::receive(EncodedFrame &frame, std::chrono::milliseconds timeout)
{
    // The caller is done with the buffer it holds: the next frame may land in it. Kept until
    // a frame is whole, it would leave that frame a fresh buffer to fault in while it comes.
    mReassembler.recycle(std::move(frame.payload));
    frame.payload.clear();
    const auto wait = std::max(timeout, std::chrono::milliseconds(0));
    if (mSockets.empty()) {
        // Nothing to wait on: still honour the time, so a polling caller does not spin.
        std::this_thread::sleep_for(wait);
        return false;
    }
    const uint64_t deadline = monotonicNowNs() + uint64_t(wait.count()) * 1000000;
    int sinceReady = 0;
    for (;;) {
        // A frame is handed on as soon as it is whole, unless it came late: then the caller
        // has fallen behind, and the newest frame of the same stream already queued is
        // taken instead, so latency stays bounded.
        bool drained = false;
        bool deliver = false;
        for (int i = 0; i < kDatagramsPerTimeCheck && !deliver; ++i) {
            const uint64_t completedBefore = mCompleted;
            if (!readOne()) {
                drained = true;
                break;
            }
            if (mReady.empty())
                continue;
            ++sinceReady;
            deliver = sinceReady >= kMaxCatchUpDatagrams
                || (mCompleted != completedBefore && !mLastCompletedLate);
        }
        if (!mReady.empty() && (drained || deliver)) {
            std::swap(frame.meta, mReady.front().meta);
            std::swap(frame.payload, mReady.front().payload);
            mReady.erase(mReady.begin());
            return true;
        }
        const uint64_t now = monotonicNowNs();
        mReassembler.expire(now);
        if (now >= deadline)
            return false;
        if (!drained)
            continue;
        std::array<pollfd, SocketSpread::kMaxSockets> waiting{};
        for (size_t i = 0; i < mSockets.size(); ++i)
            waiting[i] = {mSockets[i].get(), POLLIN, 0};
        const int waitMs = int(std::min<uint64_t>((deadline - now + 999999) / 1000000, 1000));
        if (::poll(waiting.data(), nfds_t(mSockets.size()), waitMs) < 0 && errno != EINTR)
            return false;
        for (size_t i = 0; i < mSockets.size(); ++i) {
            if (waiting[i].revents != 0)
                mMayHoldData |= 1u << i;
        }
    }
}

bool UdpReceiver::cameLate(const FrameMeta &meta)
{
    // The sender's clock is not ours, but its offset cancels out: a frame is late when its
    // trip took longer than the quickest trip of its stream seen lately.
    const uint64_t now = monotonicNowNs();
    const int64_t trip = int64_t(now - meta.sendTimeNs);
    auto it = std::find_if(mTrips.begin(), mTrips.end(),
                           [&](const Trip &t) { return t.streamId == meta.streamId; });
    if (it == mTrips.end()) {
        if (mTrips.size() >= kMaxTrackedStreams)
            mTrips.erase(std::min_element(mTrips.begin(), mTrips.end(),
                [](const Trip &a, const Trip &b) { return a.seenNs < b.seenNs; }));
        mTrips.push_back({meta.streamId, trip, now, now});
        return false;
    }
    it->seenNs = now;
    if (trip < it->quickest || now - it->quickestNs > kQuickestMemoryNs) {
        it->quickest = trip;
        it->quickestNs = now;
    }
    return trip - it->quickest > mBehindNs;
}

void UdpReceiver::keepCompleted()
{
    EncodedFrame completed;
    mReassembler.take(completed);
    ++mCompleted;
    mLastCompletedLate = cameLate(completed.meta);
    for (auto &ready : mReady) {
        if (ready.meta.streamId == completed.meta.streamId) {
            ++mSkipped;
            mReassembler.recycle(std::move(ready.payload));
            ready = std::move(completed);
            return;
        }
    }
    mReady.push_back(std::move(completed));
}

size_t UdpReceiver::socketToReadFirst() const
{
    if (mSockets.size() == 1)
        return 0;
    if (const auto next = mReassembler.nextPiece())
        return SocketSpread::socketFor(next->frameNumber, next->offset, mSockets.size());
    return mLastRead;
}

bool UdpReceiver::readOne()
{
    const auto onDatagram = [this](const DatagramReader::Outcome &outcome) {
        switch (outcome.result) {
        case FrameReassembler::Result::Completed:
            keepCompleted();
            break;
        case FrameReassembler::Result::Rejected:
            noteRejected(outcome.rejection ? outcome.rejection : "piece does not fit its frame");
            break;
        default:
            break;
        }
    };
    // The socket of the frame's next piece is always tried; another found empty only once
    // poll says it holds something, so a receiver that keeps up makes no call in vain on
    // the sockets of other runs.
    const size_t first = socketToReadFirst();
    for (size_t i = 0; i < mSockets.size(); ++i) {
        const size_t at = (first + i) % mSockets.size();
        if (i > 0 && !(mMayHoldData & (1u << at)))
            continue;
        if (mReader.read(mSockets[at].get(), mReassembler, mFrom, onDatagram)) {
            // Each socket counts its own drops, and says so only once it has some.
            mDropsBySocket[at] = std::max(mDropsBySocket[at], mReader.droppedOnFullBuffer());
            mLastRead = at;
            return true;
        }
        mMayHoldData &= ~(1u << at);
    }
    return false;
}

void UdpReceiver::noteRejected(const char *reason)
{
    ++mRejected;
    mRejectReason = reason;
    mRejectFrom = mFrom;
}

std::string UdpReceiver::lastRejection() const
{
    if (!mRejectReason)
        return {};
    return std::string(" (") + mRejectReason + ") from "
        + addressText(mRejectFrom.sin_addr.s_addr, ntohs(mRejectFrom.sin_port));
}

std::string UdpReceiver::lossDetail() const
{
    const uint64_t dropped = droppedOnFullBuffer();
    if (dropped == 0)
        return {};
    return "; " + std::to_string(dropped) + " datagrams dropped on a full receive buffer (" + bufferText() + ")";
}

std::string UdpReceiver::bufferText() const
{
    return sizeText(mReceiveBufferBytes) + " granted of " + sizeText(kReceiveBuffer) + " asked"
        + (mReceiveBufferBytes < kReceiveBuffer ? ", net.core.rmem_max" : "")
        + (mSockets.size() > 1 ? ", on each of " + std::to_string(mSockets.size()) + " sockets" : "");
}

std::string UdpReceiver::listenProblem() const
{
    if (mSockets.empty() || mReceiveBufferBytes >= kReceiveBuffer)
        return {};
    return "receive buffer " + bufferText();
}

void UdpReceiver::limitReceiveBuffer(int bytes)
{
    for (const SocketFd &fd : mSockets)
        setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    if (!mSockets.empty())
        mReceiveBufferBytes = receiveBufferOf(mSockets.front().get());
}

void UdpReceiver::setReceiveBufferCeiling(int bytes)
{
    gReceiveBufferCeiling = bytes;
}

ReceiveCounters UdpReceiver::counters() const
{
    return {mRejected, mReassembler.framesIncomplete(), mSkipped, mReassembler.framesRepaired(),
            mReassembler.piecesRebuilt(), mReader.bytesRead(), droppedOnFullBuffer()};
}

uint64_t UdpReceiver::droppedOnFullBuffer() const
{
    uint64_t dropped = 0;
    for (uint32_t count : mDropsBySocket)
        dropped += count;
    return dropped;
}

} // namespace zun
