#include "transport/udp/udpsender.h"

#include "transport/destinationstatus.h"
#include "transport/udp/framecrc.h"
#include "transport/wireheader.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>

namespace zun {
namespace {

constexpr size_t kIpUdpOverhead = 20 + 8;
constexpr size_t kMaxUdpPayload = 65507;
constexpr int kSendBuffer = 4 << 20;

bool isMulticast(const in_addr &addr)
{
    return (ntohl(addr.s_addr) & 0xF0000000u) == 0xE0000000u;
}

} // namespace

bool UdpSender::setDestination(const std::string &address, uint16_t port)
{
    return setDestinationReporting(mResolver, report(), "udp", address, port, ZUN_STATE_SENDING);
}

bool UdpSender::failTarget(const DestinationResolver::Target &target)
{
    report().fail(errno, targetText("udp", target) + ": " + errorText(errno));
    return false;
}

bool UdpSender::applyTarget()
{
    const DestinationResolver::Target target = mResolver.current();
    if (target.generation == mAppliedGeneration)
        return mSocket.valid();
    if (target.state == DestinationResolver::State::Resolving)
        return false;
    mAppliedGeneration = target.generation;
    mSocket.reset();
    mRoom = 0;
    reportTarget(report(), "udp", mResolver, target, ZUN_STATE_SENDING);
    if (target.state != DestinationResolver::State::Ready)
        return false;

    SocketFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd.valid())
        return failTarget(target);
    const int size = kSendBuffer;
    if (setsockopt(fd.get(), SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size) != 0)
        setsockopt(fd.get(), SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    // A stalled send must not keep the encoder's thread from stopping.
    const timeval sendTimeout{0, 50000};
    setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout);
    if (isMulticast(target.address.sin_addr)) {
        const unsigned char ttl = 1;
        const unsigned char loop = 1;
        setsockopt(fd.get(), IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
        setsockopt(fd.get(), IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop);
        if (target.interface) {
            ip_mreqn request{};
            request.imr_address = *target.interface;
            if (setsockopt(fd.get(), IPPROTO_IP, IP_MULTICAST_IF, &request, sizeof request) != 0)
                return failTarget(target);
        }
    }
    // Connecting picks the route once, which also tells the MTU of the interface it leaves by.
    if (::connect(fd.get(), reinterpret_cast<const sockaddr *>(&target.address),
                  sizeof target.address) != 0)
        return failTarget(target); // no route: a multicast group where no interface carries it
    int mtu = 0;
    socklen_t length = sizeof mtu;
    if (getsockopt(fd.get(), IPPROTO_IP, IP_MTU, &mtu, &length) != 0 || mtu <= int(kIpUdpOverhead + WireHeader::kSize))
        mtu = 1500;
    mRoom = std::min(size_t(mtu) - kIpUdpOverhead, kMaxUdpPayload) - WireHeader::kSize;
    mSocket = std::move(fd);
    return true;
}

size_t UdpSender::pieceSize() const
{
    return pieceSizeFor(mRedundancy.load());
}

size_t UdpSender::pieceSizeFor(uint32_t redundancy) const
{
    if (mRoom == 0 || redundancy == 0)
        return mRoom;
    return mRoom - (WireHeader::kParitySize - WireHeader::kSize);
}

bool UdpSender::send(const FrameMeta &meta, std::span<const uint8_t> payload)
{
    if (!applyTarget() || payload.empty() || payload.size() > UINT32_MAX)
        return false;
    WireHeader header;
    header.meta = meta;
    header.totalLength = uint32_t(payload.size());
    uint8_t bytes[WireHeader::kSize];
    bool whole = true;
    int index = 0;
    const uint32_t redundancy = mRedundancy.load();
    const size_t pieceSize = pieceSizeFor(redundancy);
    for (size_t offset = 0; offset < payload.size(); offset += pieceSize, ++index) {
        header.pieceOffset = uint32_t(offset);
        header.pieceLength = uint32_t(std::min(pieceSize, payload.size() - offset));
        if (index == mSkippedPiece)
            continue;
        header.write(bytes);
        if (!sendPiece(bytes, payload.data() + offset, header.pieceLength)) {
            whole = false;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return false;
        }
    }
    return (redundancy == 0 || sendParity(header, payload, pieceSize, redundancy)) && whole;
}

bool UdpSender::sendParity(WireHeader header, std::span<const uint8_t> payload, size_t pieceSize,
                           uint32_t redundancy)
{
    const ParityLayout layout = ParityLayout::choose(uint32_t(payload.size()), uint32_t(pieceSize), redundancy);
    mParity.encode(payload, layout);
    const uint32_t crc = frameCrc(payload);
    header.pieceOffset = 0;
    header.pieceLength = layout.pieceSize;
    uint8_t bytes[WireHeader::kParitySize];
    bool whole = true;
    // Row by row across the blocks, so a burst at the end costs each block little.
    for (uint32_t row = 0; row < layout.parityPerBlock; ++row) {
        for (uint32_t block = 0; block < layout.blockCount; ++block) {
            header.parity = WireHeader::Parity{layout, block, row, crc};
            header.write(bytes);
            if (!sendPiece(bytes, mParity.piece(block, row).data(), layout.pieceSize)) {
                whole = false;
                if (errno == EAGAIN || errno == EWOULDBLOCK)
                    return false;
            }
        }
    }
    return whole;
}

bool UdpSender::sendPiece(std::span<const uint8_t> header, const uint8_t *data, size_t length)
{
    iovec parts[2] = {{const_cast<uint8_t *>(header.data()), header.size()},
                      {const_cast<uint8_t *>(data), length}};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = 2;
    // A refusal reported for an earlier datagram (no receiver yet) is not this one's fault.
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (::sendmsg(mSocket.get(), &message, MSG_NOSIGNAL) >= 0)
            return true;
        if (errno == ECONNREFUSED)
            noteRefused();
        if (errno != EINTR && errno != ECONNREFUSED)
            return false;
    }
    return false;
}

void UdpSender::noteRefused()
{
    // The host answers that no one listens on the port: a channel that does not match.
    const int error = errno;
    report().problem(ZUN_LOG_WARNING, error, targetText("udp", mResolver.current())
                         + ": " + errorText(error) + ", no receiver on this port");
    errno = error;
}

} // namespace zun
