#pragma once

#include "transport/destinationresolver.h"
#include "transport/networktransport.h"
#include "transport/socketfd.h"
#include "transport/udp/datagrambatch.h"
#include "transport/udp/pacer.h"

#include <vector>

namespace zun {

// Cuts each frame into datagrams that fit the path it leaves by, to a unicast address or
// an IPv4 multicast group (TTL 1, looped back to this host).
class UdpSender : public NetworkSender {
public:
    bool setDestination(const std::string &address, uint16_t port) override;
    bool send(const FrameMeta &meta, std::span<const uint8_t> payload) override;
    bool setPacingRate(uint64_t bytesPerSecond) override;

    // Payload bytes per datagram on the current path; 0 before the first send.
    size_t pieceSize() const { return mPieceSize; }
    // Test hook: the piece with this index is never sent (-1: send all).
    void setSkippedPiece(int index) { mSkippedPiece = index; }
    // Test hook: one datagram per system call, as where the kernel lacks offload.
    void disableOffload() { mNoOffload = true; }
    bool offloading() const { return mBatch.offloading(); }

private:
    bool applyTarget();
    // False when a datagram could not go; stops early on a full link or when told to stop.
    bool sendPaced(uint64_t sendTimeNs);
    bool failTarget(const DestinationResolver::Target &target);
    void noteRefused();

    DestinationResolver mResolver;
    uint64_t mAppliedGeneration = 0;
    SocketFd mSocket;
    size_t mPieceSize = 0;
    int mSkippedPiece = -1;
    bool mNoOffload = false;
    std::vector<uint8_t> mHeaders;
    std::vector<Datagram> mDatagrams;
    DatagramBatch mBatch;
    Pacer mPacer;
};

} // namespace zun
