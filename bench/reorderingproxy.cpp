#include "reorderingproxy.h"

#include "loopbackaddress.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace bench {

namespace {

constexpr size_t kBatch = 64;
constexpr size_t kLargestDatagram = 65536;
constexpr int kSocketBuffer = 32 << 20;

int bigBufferedSocket()
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int size = kSocketBuffer;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size);
    return fd;
}

} // namespace

ReorderingProxy::ReorderingProxy(uint16_t listenPort, uint16_t toPort, double share) : mShare(share)
{
    mIn = bigBufferedSocket();
    mOut = bigBufferedSocket();
    const sockaddr_in from = loopback(listenPort);
    const sockaddr_in to = loopback(toPort);
    if (mIn < 0 || mOut < 0 || ::bind(mIn, reinterpret_cast<const sockaddr *>(&from), sizeof from) != 0
        || ::connect(mOut, reinterpret_cast<const sockaddr *>(&to), sizeof to) != 0) {
        if (mIn >= 0)
            ::close(mIn);
        if (mOut >= 0)
            ::close(mOut);
        mIn = mOut = -1;
        return;
    }
    mThread = std::jthread([this](std::stop_token stop) { run(stop); });
}

ReorderingProxy::~ReorderingProxy()
{
    if (mThread.joinable()) {
        mThread.request_stop();
        mThread.join();
    }
    if (mIn >= 0)
        ::close(mIn);
    if (mOut >= 0)
        ::close(mOut);
}

void ReorderingProxy::forward(const uint8_t *bytes, size_t length)
{
    // A full socket loses the datagram, as a congested link would.
    (void)!::send(mOut, bytes, length, MSG_DONTWAIT);
    ++mForwarded;
}

void ReorderingProxy::releaseHeld(bool all)
{
    for (auto it = mHeld.begin(); it != mHeld.end();) {
        if (all || --it->passBy <= 0) {
            forward(it->bytes.data(), it->bytes.size());
            it = mHeld.erase(it);
        } else {
            ++it;
        }
    }
}

void ReorderingProxy::run(std::stop_token stop)
{
    std::vector<uint8_t> buffers(kBatch * kLargestDatagram);
    std::vector<iovec> vectors(kBatch);
    std::vector<mmsghdr> messages(kBatch);
    std::uniform_real_distribution<double> chance(0, 1);
    std::uniform_int_distribution<int> behind(1, 8);
    while (!stop.stop_requested()) {
        pollfd pfd{mIn, POLLIN, 0};
        if (::poll(&pfd, 1, 2) <= 0) {
            releaseHeld(true); // a pause: what was held back goes now
            continue;
        }
        for (size_t i = 0; i < kBatch; ++i) {
            vectors[i] = {buffers.data() + i * kLargestDatagram, kLargestDatagram};
            messages[i] = {};
            messages[i].msg_hdr.msg_iov = &vectors[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        const int got = ::recvmmsg(mIn, messages.data(), kBatch, MSG_DONTWAIT, nullptr);
        for (int i = 0; i < got; ++i) {
            const uint8_t *bytes = buffers.data() + size_t(i) * kLargestDatagram;
            const size_t length = messages[size_t(i)].msg_len;
            if (chance(mRandom) < mShare) {
                mHeld.push_back({std::vector<uint8_t>(bytes, bytes + length), behind(mRandom)});
                ++mReordered;
                continue;
            }
            forward(bytes, length);
            releaseHeld(false);
        }
    }
}

} // namespace bench
