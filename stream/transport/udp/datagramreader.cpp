#include "transport/udp/datagramreader.h"

#include <netinet/udp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

#ifndef UDP_GRO
#define UDP_GRO 104
#endif

namespace zun {
namespace {

// Beyond this many slots a run of tiny datagrams is copied instead.
constexpr size_t kMaxSlots = 256;

// A parity piece's longer header runs on past its slot, so it is never taken in place.
bool announcesParity(const iovec &headerSlot)
{
    return static_cast<const uint8_t *>(headerSlot.iov_base)[4] == WireHeader::kParityVersion;
}

} // namespace

DatagramReader::DatagramReader()
    : mHeaderSlots(kMaxSlots * WireHeader::kSize), mSpill(kMaxMessage), mCopy(kMaxMessage)
{
    mParts.reserve(2 * kMaxSlots + 1);
}

bool DatagramReader::enableOffload(int fd)
{
    const int on = 1;
    return setsockopt(fd, SOL_UDP, UDP_GRO, &on, sizeof on) == 0;
}

void DatagramReader::enableDropCount(int fd)
{
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
}

size_t DatagramReader::prepare(FrameReassembler &reassembler)
{
    mParts.clear();
    const size_t piece = mPieceGuess ? mPieceGuess : kMaxMessage;
    const size_t slots = std::min(kMaxSlots, (kMaxMessage + WireHeader::kSize + piece - 1) / (WireHeader::kSize + piece));
    const std::span<uint8_t> zone = reassembler.landingZone(slots * piece);
    if (zone.empty()) {
        mParts.push_back({mCopy.data(), mCopy.size()});
        return 0;
    }
    size_t used = 0;
    for (size_t slot = 0; used < zone.size(); ++slot) {
        const size_t length = std::min(piece, zone.size() - used);
        mParts.push_back({mHeaderSlots.data() + slot * WireHeader::kSize, WireHeader::kSize});
        mParts.push_back({zone.data() + used, length});
        used += length;
    }
    mParts.push_back({mSpill.data(), mSpill.size()});
    return mParts.size() / 2;
}

void DatagramReader::copyOut(size_t from, size_t length, std::vector<uint8_t> &to) const
{
    size_t at = 0;
    size_t done = 0;
    for (const iovec &part : mParts) {
        if (done == length)
            break;
        const size_t partEnd = at + part.iov_len;
        if (from + done < partEnd) {
            const size_t offset = from + done - at;
            const size_t take = std::min(part.iov_len - offset, length - done);
            std::memcpy(to.data() + done, static_cast<const uint8_t *>(part.iov_base) + offset, take);
            done += take;
        }
        at = partEnd;
    }
}

void DatagramReader::learnSegment(const WireHeader &header)
{
    if (size_t(header.pieceOffset) + header.pieceLength < header.totalLength)
        mPieceGuess = header.pieceLength;
}

std::optional<WireHeader> DatagramReader::check(std::span<const uint8_t> headerBytes, size_t length,
                                                const char *&rejection)
{
    auto header = WireHeader::read(headerBytes);
    if (!header)
        rejection = WireHeader::rejection(headerBytes);
    else if (length != header->size() + header->pieceLength)
        rejection = "length does not match its header";
    else
        return header;
    return std::nullopt;
}

DatagramReader::Outcome DatagramReader::handle(FrameReassembler &reassembler,
                                               std::span<const uint8_t> datagram, uint64_t nowNs)
{
    const char *rejection = nullptr;
    const auto header = check(datagram.first(std::min(datagram.size(), WireHeader::kParitySize)),
                              datagram.size(), rejection);
    if (!header)
        return {FrameReassembler::Result::Rejected, rejection};
    if (!header->parity)
        learnSegment(*header);
    return {reassembler.add(*header, datagram.subspan(header->size()), nowNs), nullptr};
}

bool DatagramReader::read(int fd, FrameReassembler &reassembler, sockaddr_in &from,
                          const OnDatagram &onDatagram)
{
    const size_t slots = prepare(reassembler);
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int)) + CMSG_SPACE(sizeof(uint32_t))];
    msghdr message{};
    message.msg_iov = mParts.data();
    message.msg_iovlen = mParts.size();
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t got = ::recvmsg(fd, &message, 0);
    if (got < 0)
        return false;
    const size_t total = size_t(got);
    if (message.msg_flags & MSG_TRUNC) {
        onDatagram({FrameReassembler::Result::Rejected, "length does not match its header"});
        return true;
    }
    size_t segment = total;
    mDroppedOnFullBuffer = 0;
    for (cmsghdr *c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == SOL_UDP && c->cmsg_type == UDP_GRO) {
            int size = 0;
            std::memcpy(&size, CMSG_DATA(c), sizeof size);
            if (size > 0)
                segment = size_t(size);
        } else if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
            std::memcpy(&mDroppedOnFullBuffer, CMSG_DATA(c), sizeof mDroppedOnFullBuffer);
        }
    }
    deliver(total, segment, slots, reassembler, onDatagram);
    return true;
}

void DatagramReader::take(std::span<const uint8_t> bytes, size_t segment, FrameReassembler &reassembler,
                          const OnDatagram &onDatagram)
{
    const size_t slots = prepare(reassembler);
    size_t done = 0;
    for (const iovec &part : mParts) {
        const size_t length = std::min(part.iov_len, bytes.size() - done);
        std::memcpy(part.iov_base, bytes.data() + done, length);
        done += length;
    }
    if (done < bytes.size()) {
        onDatagram({FrameReassembler::Result::Rejected, "length does not match its header"});
        return;
    }
    deliver(bytes.size(), segment ? segment : bytes.size(), slots, reassembler, onDatagram);
}

void DatagramReader::deliver(size_t total, size_t segment, size_t slots, FrameReassembler &reassembler,
                             const OnDatagram &onDatagram)
{
    mBytesRead += total;
    if (segment < total)
        mCoalesced += (total + segment - 1) / segment;
    const uint64_t now = monotonicNowNs();
    if (total == 0) {
        onDatagram(handle(reassembler, {}, now));
        return;
    }
    if (slots == 0) {
        for (size_t at = 0; at < total; at += segment)
            onDatagram(handle(reassembler, std::span<const uint8_t>(mCopy.data() + at, std::min(segment, total - at)), now));
        return;
    }
    // Slot i's header and payload came as laid out when the segments have the guessed size.
    const size_t slotSize = mParts[0].iov_len + mParts[1].iov_len;
    bool inPlace = true;
    size_t copyStart = 0;
    for (size_t at = 0, index = 0; at < total; at += segment, ++index) {
        const size_t length = std::min(segment, total - at);
        if (inPlace && index < slots && at == index * slotSize && length >= WireHeader::kSize
            && length - WireHeader::kSize <= mParts[2 * index + 1].iov_len
            && !announcesParity(mParts[2 * index])) {
            const char *rejection = nullptr;
            const auto header = check({static_cast<const uint8_t *>(mParts[2 * index].iov_base), WireHeader::kSize},
                                      length, rejection);
            if (!header) {
                onDatagram({FrameReassembler::Result::Rejected, rejection});
                continue;
            }
            // It belongs where it landed only if that is where its frame goes on now.
            const uint8_t *landed = static_cast<const uint8_t *>(mParts[2 * index + 1].iov_base);
            const std::span<uint8_t> next = reassembler.landingZone(header->pieceLength);
            if (next.data() == landed && reassembler.landsInZone(*header)) {
                learnSegment(*header);
                ++mLandedInPlace;
                onDatagram({reassembler.addLanded(*header, now), nullptr});
                continue;
            }
        }
        if (inPlace) {
            // Nothing has written to the buffer yet: take the rest out before anything does.
            copyOut(at, total - at, mCopy);
            inPlace = false;
            copyStart = at;
        }
        onDatagram(handle(reassembler, std::span<const uint8_t>(mCopy.data() + (at - copyStart), length), now));
    }
}

} // namespace zun
