#include "udplimit.h"

#include "netns.h"

#include <netinet/udp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <span>
#include <thread>
#include <vector>

#ifndef UDP_SEGMENT
#define UDP_SEGMENT 103
#endif
#ifndef UDP_GRO
#define UDP_GRO 104
#endif

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kBatch = 32;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Three frames in turn, each cut into pieces behind headers of the library's size, as its
// transport puts a frame on the wire and lands it.
class FrameCutter {
public:
    static constexpr size_t kHeader = 44;
    static constexpr size_t kFrames = 3;

    explicit FrameCutter(const UdpLimitSetup &setup)
        : mFrames(setup.mode == UdpLimitSetup::Mode::OffloadFrames ? kFrames * setup.frameBytes : 0, 'x'),
          mFrameBytes(setup.frameBytes), mPiece(setup.datagram - kHeader)
    {
    }
    // In OffloadFrames, the header and piece parts of the next count datagrams, fewer where
    // a frame ends; otherwise whole, the one buffer every mode reuses.
    std::span<iovec> next(size_t count, iovec &whole)
    {
        if (mFrames.empty())
            return {&whole, 1};
        mHeaders.resize(count * kHeader);
        mParts.clear();
        for (size_t i = 0; i < count; ++i) {
            const size_t length = std::min(mPiece, mFrameBytes - mOffset);
            mParts.push_back({mHeaders.data() + i * kHeader, kHeader});
            mParts.push_back({mFrames.data() + mFrame * mFrameBytes + mOffset, length});
            mOffset += length;
            if (mOffset == mFrameBytes) { // a short last piece ends a segmentation run
                mOffset = 0;
                mFrame = (mFrame + 1) % kFrames;
                break;
            }
        }
        return mParts;
    }

private:
    std::vector<char> mFrames;
    std::vector<char> mHeaders;
    std::vector<iovec> mParts;
    size_t mFrameBytes;
    size_t mPiece;
    size_t mFrame = 0;
    size_t mOffset = 0;
};

bool offloads(UdpLimitSetup::Mode mode)
{
    return mode == UdpLimitSetup::Mode::Offload || mode == UdpLimitSetup::Mode::OffloadFrames;
}

int openReceiver(const UdpLimitSetup &setup)
{
    netkit::InNetns in(setup.receiverNetns);
    const int rx = ::socket(AF_INET, SOCK_DGRAM, 0);
    const int size = 32 << 20;
    setsockopt(rx, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
    const timeval tick{0, 100000};
    setsockopt(rx, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
    if (offloads(setup.mode)) {
        const int on = 1;
        setsockopt(rx, SOL_UDP, UDP_GRO, &on, sizeof on);
    }
    ::bind(rx, reinterpret_cast<const sockaddr *>(&setup.to), sizeof setup.to);
    return rx;
}

// One burst of the sender's mode; bytes that went. frames cuts the datagrams in
// OffloadFrames.
uint64_t sendSome(int tx, const UdpLimitSetup &setup, std::vector<char> &buf, FrameCutter &frames)
{
    const size_t datagram = setup.datagram;
    uint64_t sent = 0;
    switch (setup.mode) {
    case UdpLimitSetup::Mode::OneByOne:
        for (int i = 0; i < kBatch; ++i)
            sent += ::send(tx, buf.data(), datagram, 0) > 0 ? datagram : 0;
        break;
    case UdpLimitSetup::Mode::Sendmmsg: {
        iovec part{buf.data(), datagram};
        mmsghdr batch[kBatch]{};
        for (auto &m : batch) {
            m.msg_hdr.msg_iov = &part;
            m.msg_hdr.msg_iovlen = 1;
        }
        sent += uint64_t(std::max(0, ::sendmmsg(tx, batch, kBatch, 0))) * datagram;
        break;
    }
    case UdpLimitSetup::Mode::Offload:
    case UdpLimitSetup::Mode::OffloadFrames: {
        const size_t segments = std::max<size_t>(1, 64000 / datagram);
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(uint16_t))]{};
        msghdr message{};
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr *c = CMSG_FIRSTHDR(&message);
        c->cmsg_level = SOL_UDP;
        c->cmsg_type = UDP_SEGMENT;
        c->cmsg_len = CMSG_LEN(sizeof(uint16_t));
        const uint16_t size = uint16_t(datagram);
        std::memcpy(CMSG_DATA(c), &size, sizeof size);
        iovec whole{buf.data(), segments * datagram};
        for (int i = 0; i < 4; ++i) {
            const std::span<iovec> parts = frames.next(segments, whole);
            message.msg_iov = parts.data();
            message.msg_iovlen = parts.size();
            const ssize_t n = ::sendmsg(tx, &message, 0);
            sent += n > 0 ? uint64_t(n) : 0;
        }
        break;
    }
    }
    return sent;
}

} // namespace

Rate udpLimit(const UdpLimitSetup &setup, double seconds)
{
    const int rx = openReceiver(setup);
    const int tx = ::socket(AF_INET, SOCK_DGRAM, 0);
    ::connect(tx, reinterpret_cast<const sockaddr *>(&setup.to), sizeof setup.to);
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> received{0};
    std::thread reader([&] {
        std::vector<char> buf(65536);
        FrameCutter frames(setup);
        while (!stop) {
            msghdr message{};
            iovec whole{buf.data(), buf.size()};
            const std::span<iovec> parts = frames.next(65536 / setup.datagram, whole);
            message.msg_iov = parts.data();
            message.msg_iovlen = parts.size();
            const ssize_t n = ::recvmsg(rx, &message, 0);
            if (n > 0)
                received += uint64_t(n);
        }
    });
    std::vector<char> buf(65536, 'x');
    FrameCutter frames(setup);
    uint64_t sent = 0;
    const auto start = Clock::now();
    while (secondsSince(start) < seconds)
        sent += sendSome(tx, setup, buf, frames);
    const double elapsed = secondsSince(start);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    stop = true;
    reader.join();
    ::close(rx);
    ::close(tx);
    return {double(sent) / elapsed, double(received) / elapsed};
}

} // namespace bench
