#include "transport/udp/udpsender.h"

#include "transport/destinationstatus.h"
#include "transport/udp/framecrc.h"
#include "transport/wireheader.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <optional>
#include <thread>

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
    mBatch.reset();
    if (mNoOffload)
        mBatch.disableOffload();
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
    const uint32_t redundancy = mRedundancy.load();
    const size_t pieceSize = pieceSizeFor(redundancy);
    const size_t pieces = (payload.size() + pieceSize - 1) / pieceSize;
    std::optional<ParityLayout> layout;
    if (redundancy > 0)
        layout = ParityLayout::choose(uint32_t(payload.size()), uint32_t(pieceSize), redundancy);
    const size_t parityPieces = layout ? size_t(layout->blockCount) * layout->parityPerBlock : 0;
    // Sized before any span points into it; a slot holds either kind of header.
    mHeaders.resize((pieces + parityPieces) * WireHeader::kParitySize);
    mDatagrams.clear();
    for (size_t index = 0; index < pieces; ++index) {
        const size_t offset = index * pieceSize;
        header.pieceOffset = uint32_t(offset);
        header.pieceLength = uint32_t(std::min(pieceSize, payload.size() - offset));
        if (int(index) == mSkippedPiece)
            continue;
        const std::span<uint8_t> bytes(mHeaders.data() + index * WireHeader::kParitySize, WireHeader::kSize);
        header.write(bytes);
        mDatagrams.push_back({bytes, payload.subspan(offset, header.pieceLength)});
    }
    mParityFrom = mDatagrams.size();
    if (layout)
        addParity(header, payload, *layout, pieces);
    const bool whole = sendPaced(meta.sendTimeNs);
    mParity.forget();
    return whole;
}

void UdpSender::addParity(WireHeader header, std::span<const uint8_t> payload, const ParityLayout &layout,
                          size_t slot)
{
    // Parity is computed while the data pieces are paced out, and the rest of it before the
    // first parity piece leaves: it never holds back a frame that loses nothing.
    mParity.start(payload, layout);
    const uint32_t crc = frameCrc(payload);
    header.pieceOffset = 0;
    header.pieceLength = layout.pieceSize;
    // Row by row across the blocks, so a burst at the end costs each block little.
    for (uint32_t row = 0; row < layout.parityPerBlock; ++row) {
        for (uint32_t block = 0; block < layout.blockCount; ++block, ++slot) {
            header.parity = WireHeader::Parity{layout, block, row, crc};
            const std::span<uint8_t> bytes(mHeaders.data() + slot * WireHeader::kParitySize,
                                           WireHeader::kParitySize);
            header.write(bytes);
            mDatagrams.push_back({bytes, mParity.piece(block, row)});
        }
    }
}

bool UdpSender::sendPaced(uint64_t sendTimeNs)
{
    // Sleeps are short, so a stopping encoder or a newer frame is noticed soon.
    constexpr uint64_t kLongestSleepNs = 2'000'000;
    size_t bytes = 0;
    for (const Datagram &d : mDatagrams)
        bytes += d.size();
    mPacer.startFrame(bytes, sendTimeNs, monotonicNowNs());
    const auto refused = [this] { noteRefused(); };
    bool whole = true;
    std::span<const Datagram> rest(mDatagrams);
    while (!rest.empty()) {
        if (watch().stop.stop_requested())
            return false;
        if (!mPacer.fixedRate() && watch().newerWaiting())
            mPacer.hurry();
        uint64_t waitNs = 0;
        const size_t due = mPacer.due(rest, monotonicNowNs(), waitNs);
        if (due == 0) {
            if (!mParity.encodeNextBlock())
                std::this_thread::sleep_for(std::chrono::nanoseconds(std::min(waitNs, kLongestSleepNs)));
            continue;
        }
        if (mDatagrams.size() - rest.size() + due > mParityFrom)
            mParity.finish();
        const size_t went = mBatch.send(mSocket.get(), rest.first(due), refused);
        for (size_t i = 0; i < went; ++i)
            mPacer.sent(rest[i].size());
        if (went == due) {
            rest = rest.subspan(went);
            continue;
        }
        whole = false;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            break;
        mPacer.sent(rest[went].size());
        rest = rest.subspan(went + 1); // that one is lost; the others may still make the frame
    }
    return whole;
}

bool UdpSender::setPacingRate(uint64_t bytesPerSecond)
{
    mPacer.setFixedRate(bytesPerSecond);
    return true;
}

bool UdpSender::setPacingBurst(uint64_t bytes)
{
    mPacer.setBurst(bytes);
    return true;
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
