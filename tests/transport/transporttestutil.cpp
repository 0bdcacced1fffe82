#include "transporttestutil.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

namespace zuntest {

sockaddr_in loopback(uint16_t port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

int listenerThatNeverReads(uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in addr = loopback(port);
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0 || ::listen(fd, 4) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::vector<uint8_t> pattern(size_t size, uint32_t seed)
{
    std::vector<uint8_t> bytes(size);
    uint32_t x = seed * 2654435761u + 1;
    for (auto &b : bytes) {
        x = x * 1664525u + 1013904223u;
        b = uint8_t(x >> 24);
    }
    return bytes;
}

zun::FrameMeta meta(StreamFormat format, uint32_t frameNumber, bool compressed, uint32_t streamId)
{
    zun::FrameMeta m;
    m.format = format;
    m.compressed = compressed;
    m.streamId = streamId;
    m.frameNumber = frameNumber;
    m.sendTimeNs = zun::monotonicNowNs();
    return m;
}

zun::WireHeader header(const zun::FrameMeta &meta, uint32_t total, uint32_t offset, uint32_t length)
{
    zun::WireHeader h;
    h.meta = meta;
    h.totalLength = total;
    h.pieceOffset = offset;
    h.pieceLength = length;
    return h;
}

std::vector<uint8_t> datagram(const zun::WireHeader &header, const std::vector<uint8_t> &payload)
{
    std::vector<uint8_t> bytes(header.size());
    header.write(bytes);
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    return bytes;
}

bool send(zun::FrameDestination &destination, const zun::FrameMeta &meta, std::span<const uint8_t> payload)
{
    uint8_t *room = destination.reserve(payload.size());
    if (!room)
        return false;
    std::copy(payload.begin(), payload.end(), room);
    destination.commit(meta);
    return true;
}

bool receiveWithin(zun::NetworkReceiver &receiver, zun::EncodedFrame &frame,
                   std::chrono::milliseconds limit)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (receiver.receive(frame, std::chrono::milliseconds(20)))
            return true;
    }
    return false;
}

RawUdp::RawUdp() : mFd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}

RawUdp::~RawUdp()
{
    ::close(mFd);
}

void RawUdp::send(uint16_t port, const std::vector<uint8_t> &bytes) const
{
    const sockaddr_in addr = loopback(port);
    ::sendto(mFd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr *>(&addr), sizeof addr);
}

RawTcp::RawTcp(uint16_t port) : mFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
{
    const sockaddr_in addr = loopback(port);
    mConnected = ::connect(mFd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0;
}

RawTcp::~RawTcp()
{
    ::close(mFd);
}

void RawTcp::write(const std::vector<uint8_t> &bytes) const
{
    [[maybe_unused]] auto n = ::send(mFd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

bool RawTcp::closedByPeer() const
{
    pollfd pfd{mFd, POLLIN, 0};
    if (::poll(&pfd, 1, 0) <= 0)
        return false;
    char c;
    return ::recv(mFd, &c, 1, MSG_DONTWAIT) <= 0;
}

std::vector<uint8_t> tcpMessage(const zun::FrameMeta &meta, const std::vector<uint8_t> &payload)
{
    const auto size = uint32_t(payload.size());
    return datagram(header(meta, size, 0, size), payload);
}

size_t residentBytes()
{
    std::ifstream statm("/proc/self/statm");
    size_t pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * size_t(sysconf(_SC_PAGESIZE));
}

} // namespace zuntest
