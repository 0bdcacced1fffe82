#pragma once

#include "transport/destinationresolver.h"
#include "transport/networktransport.h"
#include "transport/socketfd.h"
#include "transport/udp/datagrambatch.h"
#include "transport/udp/pacer.h"
#include "transport/udp/parityencoder.h"
#include "transport/wireheader.h"

#include <algorithm>
#include <atomic>
#include <vector>

namespace zun {

// Cuts each frame into datagrams that fit the path it leaves by, to a unicast address or
// an IPv4 multicast group (TTL 1, looped back to this host), followed by parity pieces
// from which the receiver rebuilds lost ones.
class UdpSender : public NetworkSender {
public:
    // Parity as a share of the frame's pieces: at 1% random loss it brings 99.9% of raw
    // 1280x720 frames through at MTU 1500 for about 5% more bytes (table in the README).
    static constexpr uint32_t kDefaultRedundancy = 5;

    bool setDestination(const std::string &address, uint16_t port) override;
    bool send(const FrameMeta &meta, std::span<const uint8_t> payload) override;
    bool setPacingRate(uint64_t bytesPerSecond) override;
    bool setPacingBurst(uint64_t bytes) override;
    // Percent of parity (0 to 100, 0: none); any thread.
    bool setRedundancy(uint32_t percent) override
    {
        mRedundancy = std::min<uint32_t>(percent, 100);
        return true;
    }

    // Frame bytes per data datagram on the current path; 0 before the first send. With
    // parity on, pieces leave room for the longer header of the parity pieces.
    size_t pieceSize() const;
    // Test hook: the piece with this index is never sent (-1: send all).
    void setSkippedPiece(int index) { mSkippedPiece = index; }
    // Test hook: one datagram per system call, as where the kernel lacks offload.
    void disableOffload() { mNoOffload = true; }
    bool offloading() const { return mBatch.offloading(); }

private:
    bool applyTarget();
    // False when a datagram could not go; stops early on a full link or when told to stop.
    bool sendPaced(uint64_t sendTimeNs);
    size_t pieceSizeFor(uint32_t redundancy) const;
    // Lists the frame's parity pieces after its data pieces, their headers from slot on.
    void addParity(WireHeader header, std::span<const uint8_t> payload, const ParityLayout &layout, size_t slot);
    bool failTarget(const DestinationResolver::Target &target);
    void noteRefused();

    DestinationResolver mResolver;
    uint64_t mAppliedGeneration = 0;
    SocketFd mSocket;
    size_t mRoom = 0; // payload bytes a datagram with the short header can carry
    int mSkippedPiece = -1;
    bool mNoOffload = false;
    std::vector<uint8_t> mHeaders;
    std::vector<Datagram> mDatagrams;
    size_t mParityFrom = 0; // mDatagrams from here on are parity pieces
    DatagramBatch mBatch;
    Pacer mPacer;
    std::atomic<uint32_t> mRedundancy{kDefaultRedundancy};
    ParityEncoder mParity;
};

} // namespace zun
