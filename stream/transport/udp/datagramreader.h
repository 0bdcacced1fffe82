#pragma once

#include "transport/udp/framereassembler.h"
#include "transport/wireheader.h"

#include <netinet/in.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace zun {

// Reads what a UDP socket holds next: one datagram, or, with receive offload, a run of
// equal-size datagrams the kernel coalesced. The buffer alternates header slots and the
// frame's next places at the segment size seen last, so pieces that come in order land
// straight in their frame; any other piece is copied from where it landed. Every datagram
// is still checked on its own, as if it had come alone.
class DatagramReader {
public:
    // What became of one datagram: the reassembler's answer, or why it was refused.
    struct Outcome {
        FrameReassembler::Result result = FrameReassembler::Result::Accepted;
        const char *rejection = nullptr;
    };
    using OnDatagram = std::function<void(const Outcome &)>;

    static constexpr size_t kMaxMessage = 65536;

    DatagramReader();
    // Asks the kernel to coalesce; false where it cannot, which changes nothing else.
    static bool enableOffload(int fd);
    // Asks the kernel to tell, with each read, how many datagrams it dropped on a full buffer.
    static void enableDropCount(int fd);
    // False when nothing is waiting.
    bool read(int fd, FrameReassembler &reassembler, sockaddr_in &from, const OnDatagram &onDatagram);
    // As read, for bytes the caller has: a run of datagrams of segment bytes each but the
    // last (0: one datagram), laid out in the buffer as the kernel would.
    void take(std::span<const uint8_t> bytes, size_t segment, FrameReassembler &reassembler,
              const OnDatagram &onDatagram);

    // Datagrams that came coalesced with others, and those received straight into their frame.
    uint64_t coalesced() const { return mCoalesced; }
    uint64_t landedInPlace() const { return mLandedInPlace; }
    // Datagrams the kernel had dropped on the full buffer of the socket last read, as that
    // read told (a socket tells once it has dropped any: 0 until then).
    uint32_t droppedOnFullBuffer() const { return mDroppedOnFullBuffer; }
    // Bytes of every datagram read or taken, whatever became of it.
    uint64_t bytesRead() const { return mBytesRead; }

private:
    // Lays out the buffer for the next message; returns how many header slots it has.
    size_t prepare(FrameReassembler &reassembler);
    void deliver(size_t total, size_t segment, size_t slots, FrameReassembler &reassembler,
                 const OnDatagram &onDatagram);
    void copyOut(size_t from, size_t length, std::vector<uint8_t> &to) const;
    // The header of a datagram of length bytes that begins with headerBytes, or why not.
    static std::optional<WireHeader> check(std::span<const uint8_t> headerBytes, size_t length,
                                           const char *&rejection);
    Outcome handle(FrameReassembler &reassembler, std::span<const uint8_t> datagram, uint64_t nowNs);
    void learnSegment(const WireHeader &header);

    uint64_t mCoalesced = 0;
    uint64_t mLandedInPlace = 0;
    uint32_t mDroppedOnFullBuffer = 0;
    uint64_t mBytesRead = 0;
    size_t mPieceGuess = 0; // payload bytes of a datagram that is not its frame's last
    std::vector<uint8_t> mHeaderSlots;
    std::vector<uint8_t> mSpill;
    std::vector<uint8_t> mCopy;
    std::vector<iovec> mParts;
};

} // namespace zun
